// File change stamps: 0 exactly for a missing file, and a new stamp for every
// edit, also for same-length rewrites within one tick of the file clock.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace zyvisa::platform {
namespace {

TEST(FileStamp, ZeroExactlyWhileMissing) {
  test::TestMachine machine;
  const std::string path = machine.root() + "/file.ini";
  EXPECT_EQ(FileStamp(path.c_str()), 0u);
  test::WriteFile(path, "");
  EXPECT_NE(FileStamp(path.c_str()), 0u);
  EXPECT_NE(FileStamp(machine.root().c_str()), 0u);  // folders exist too
  std::filesystem::remove(path);
  EXPECT_EQ(FileStamp(path.c_str()), 0u);
  EXPECT_EQ(FileStamp(nullptr), 0u);
}

TEST(FileStamp, SameLengthRewritesInPlaceBackToBack) {
  test::TestMachine machine;
  const std::string path = machine.root() + "/file.ini";
  test::WriteFile(path, "[S]\nvalue=1\n");
  const uint64_t first = FileStamp(path.c_str());
  EXPECT_EQ(FileStamp(path.c_str()), first);  // unchanged file, same stamp
  // Each rewrite truncates and writes the same inode with the same length,
  // usually within one tick of the file system's clock.
  test::WriteFile(path, "[S]\nvalue=2\n");
  const uint64_t second = FileStamp(path.c_str());
  test::WriteFile(path, "[S]\nvalue=1\n");
  const uint64_t third = FileStamp(path.c_str());
  EXPECT_NE(second, first);
  EXPECT_NE(third, second);
}

// Once a file's times are safely in the past its stamp no longer reads the
// content, and must neither change on its own nor miss the next edit.
TEST(FileStamp, SettledFileKeepsItsStampUntilEdited) {
  test::TestMachine machine;
  const std::string path = machine.root() + "/file.ini";
  test::WriteFile(path, "[S]\nvalue=1\n");
  const uint64_t fresh = FileStamp(path.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(FileStamp(path.c_str()), fresh);
  EXPECT_EQ(FileStamp(path.c_str()), fresh);
  test::WriteFile(path, "[S]\nvalue=2\n");
  EXPECT_NE(FileStamp(path.c_str()), fresh);
}

}  // namespace
}  // namespace zyvisa::platform
