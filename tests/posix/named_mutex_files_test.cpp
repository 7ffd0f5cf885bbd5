// The POSIX named mutexes' files: leftovers of crashed runs and of earlier
// boots never wedge a later user; names that file names must escape stay
// distinct; the files are usable by the machine's group.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/test_machine.h"

namespace {

namespace pf = zyvisa::platform;
using zyvisa::test::Child;
using zyvisa::test::Signal;

constexpr int kChildTimeoutMs = 10000;

class NamedMutexFiles : public ::testing::Test {
 protected:
  void SetUp() override { pf::SetMachineFolder(machine_.shm_dir().c_str()); }
  void TearDown() override { pf::SetMachineFolder(""); }
  std::string Path(const std::string& file) const { return machine_.shm_dir() + "/" + file; }
  bool AcquiredInChild(const std::string& name) {
    return Child("NamedMutexUser", {machine_.shm_dir(), name}).Wait(kChildTimeoutMs) == 0;
  }
  zyvisa::test::TestMachine machine_;
};

TEST_F(NamedMutexFiles, EscapedNamesStayDistinctAndLeftoversNeverWedgeTheNextUser) {
  Signal held;
  Child holder("NamedMutexUser", {machine_.shm_dir(), "Global\\a/b", held.id()});
  ASSERT_TRUE(held.Wait(kChildTimeoutMs));
  const std::string held_file = Path("zyvisa-mutex-Global%5Ca%2Fb");
  // The machine's group may use it, whatever the creator's umask.
  EXPECT_EQ(int(std::filesystem::status(held_file).permissions()) & 0777, 0660);
  // Names that differ only where file names escape '\' and '/' (the portable
  // suite has '%'), and a '\' past the namespace, which is a name here.
  for (const char* name : {"Global/a\\b", "Global\\a\\b"}) EXPECT_TRUE(AcquiredInChild(name)) << name;
  // What a creator killed while writing would leave if files were written in
  // place: the right size without a header, or short.
  zyvisa::test::WriteFile(Path("zyvisa-mutex-half"), std::string(128, '\0'));
  zyvisa::test::WriteFile(Path("zyvisa-mutex-short"), std::string(40, '\0'));
  // A file of an earlier boot: its holder (a live child here) would never let go.
  std::string file = zyvisa::test::ReadFile(held_file);
  ASSERT_EQ(file.size(), 128u);
  zyvisa::test::WriteFile(held_file, file.replace(8, 36, 36, '0'));
  for (const char* name : {"half", "short", "Global\\a/b"}) EXPECT_TRUE(AcquiredInChild(name)) << name;
}

}  // namespace
