// The configuration store: cached lookups, change detection and its
// suspension, bounds and conversions of the exported lookups, and lookups
// racing with a configuration tool that rewrites the file.
#include "config/ini_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/startup.h"
#include "runtime/process_state.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"

namespace zyvisa::config {
namespace {

class IniStore : public ::testing::Test {
 protected:
  void TearDown() override { visaGetIniStringIntoBuffer("", "", "", "", nullptr, 0); }

  void Write(const std::string& text) const { test::WriteFile(path_, text); }
  std::string Get(const char* section, const char* key, const std::string& def = "<default>",
                  const std::string& path = "") const {
    char result[256];
    std::memset(result, 'x', sizeof result);
    visaGetIniString(path.empty() ? path_.c_str() : path.c_str(), section, key, def.c_str(),
                     result);
    return result;
  }
  ViUInt64 Stamp(const std::string& path, ViStatus expected = VI_SUCCESS) const {
    ViUInt64 stamp = 99;
    EXPECT_EQ(visaGetIniTimestamp(path.c_str(), &stamp), expected);
    return stamp;
  }

  test::TestMachine machine_;
  const std::string path_ = machine_.root() + "/visaconf.ini";
};

TEST_F(IniStore, FilesAreReadWhenCreatedEditedAndDeleted) {
  EXPECT_EQ(Get("S", "x"), "<default>");
  // Same length, same inode, back to back: within one tick of the file clock.
  for (const char* value : {"1", "2", "3", "12"}) {
    Write(std::string("[S]\nx=") + value + "\n");
    EXPECT_EQ(Get("S", "x"), value);
  }
  test::WriteFile(path_ + ".new", "[S]\nx=13\n");  // replaced by rename, as tools write
  std::filesystem::rename(path_ + ".new", path_);
  EXPECT_EQ(Get("S", "x"), "13");
  std::filesystem::remove(path_);
  EXPECT_EQ(Get("S", "x"), "<default>");
  Write("\xFF\xFE[S]\nx=1\n");  // refused by the parser
  EXPECT_EQ(Get("S", "x"), "<default>");
  std::filesystem::create_directory(path_ + ".d");
  EXPECT_EQ(Get("S", "x", "<default>", path_ + ".d"), "<default>");
}

TEST_F(IniStore, SuspendedChecksKeepCachedDocumentsUntilRefreshOrResume) {
  // Each step, then the value a lookup finds. Suspensions count: two need two
  // resumes; a resume without a suspend counts as suspended until the next
  // suspend; a file without a document is loaded all the same.
  enum Action { kWrite, kRemove, kSuspend, kResume, kRefresh };
  const struct { Action action; const char* value; const char* found; } steps[] = {
      {kWrite, "1", "1"},   {kSuspend, "", "1"},  {kWrite, "2", "1"},  {kRefresh, "", "2"},
      {kWrite, "3", "2"},   {kSuspend, "", "2"},  {kRemove, "", "2"},  {kResume, "", "2"},
      {kRefresh, "", "<default>"}, {kWrite, "6", "6"}, {kResume, "", "6"}, {kResume, "", "6"},
      {kWrite, "7", "6"},   {kSuspend, "", "7"},
  };
  for (const auto& step : steps) {
    if (step.action == kWrite) Write(std::string("[S]\nx=") + step.value + "\n");
    if (step.action == kRemove) std::filesystem::remove(path_);
    if (step.action == kSuspend || step.action == kResume)
      zyvisaConfigFileCheckUpdates(step.action == kResume ? VI_TRUE : VI_FALSE);
    if (step.action == kRefresh) visaRefreshIniFiles();
    EXPECT_EQ(Get("S", "x"), step.found) << "step " << &step - steps;
  }
}

TEST_F(IniStore, BufferBounds) {
  Write("[S]\nv=abcdefgh\nlong=" + std::string(300, 'L') + "\n");
  // The buffer and the byte after it: a value fills the rest of the buffer
  // with NULs, a default does not.
  auto into = [&](const char* key, const char* def, ViInt32 size) {
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    visaGetIniStringIntoBuffer(path_.c_str(), "S", key, def, buffer, size);
    return std::string(buffer, static_cast<size_t>(size) + 1);
  };
  EXPECT_EQ(into("v", "", 5), std::string("abcd\0x", 6));
  EXPECT_EQ(into("v", "", 12), std::string("abcdefgh\0\0\0\0x", 13));
  EXPECT_EQ(into("missing", "0123456789", 5), std::string("0123\0x", 6));
  EXPECT_EQ(into("v", "", 1), std::string("\0x", 2));
  EXPECT_EQ(into("v", "", 0), "x");
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", nullptr, 8);
  // visaGetIniString cuts values and defaults at 255 characters.
  EXPECT_EQ(Get("S", "long"), std::string(255, 'L'));
  EXPECT_EQ(Get("S", "none", std::string(400, 'D')), std::string(255, 'D'));
  char result[256];
  visaGetIniString(nullptr, "S", "v", "dflt", result);  // nothing to look up
  EXPECT_STREQ(result, "dflt");
}

TEST_F(IniStore, NumbersReadAsAtolAndShortsKeepTheLow16Bits) {
  Write("[S]\nneg=  -42abc\nletters=abc\nplus=+5\nbig=99999999999\nsmall=-99999999999\n"
        "minus=-70000\nwide=" + std::string(79, '0') + "5\n");
  const struct { const char* key; ViInt16 def; ViInt32 as_long; ViInt16 as_short; } cases[] = {
      {"neg", 0, -42, -42}, {"missing", SHRT_MIN, SHRT_MIN, SHRT_MIN}, {"letters", 3, 0, 0},
      {"plus", 0, 5, 5}, {"big", 0, INT32_MAX, -1}, {"small", 0, INT32_MIN, 0},
      {"minus", 0, -70000, -4464}, {"wide", 1, 0, 0}};  // 79 characters are read: no 5
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ViInt32 as_long = 1234;
    ViInt16 as_short = 1234;
    visaGetIniLong(path_.c_str(), "S", c.key, c.def, &as_long);
    visaGetIniShort(path_.c_str(), "S", c.key, c.def, &as_short);
    EXPECT_EQ(as_long, c.as_long);
    EXPECT_EQ(as_short, c.as_short);
  }
}

TEST_F(IniStore, IndexedKeys) {
  Write("[S]\nName0=zero\nName65535=-7\n" + std::string(200, 's') + "1=long\n");
  ViInt32 value = 0;
  visaGetIniIndexLong(path_.c_str(), "S", "Name", 65535, 0, &value);
  EXPECT_EQ(value, -7);
  char result[256];
  visaGetIniIndexString(path_.c_str(), "S", std::string(200, 's').c_str(), 1, "d", result);
  EXPECT_STREQ(result, "long");  // a long stem builds the whole key name
  visaGetIniIndexString(path_.c_str(), "S", nullptr, 1, "d", result);
  EXPECT_STREQ(result, "d");
  visaGetIniIndexStringIntoBuffer(path_.c_str(), "S", "Name", 0, "d", result, 4);
  EXPECT_STREQ(result, "zer");
}

TEST_F(IniStore, TimestampsAndChangeChecks) {
  EXPECT_EQ(Stamp(path_, VI_ERROR_FILE_ACCESS), 0u);
  EXPECT_EQ(Get("S", "x"), "<default>");  // cached while missing
  Write("[S]\nx=1\n");
  const std::string other = path_ + ".other";
  test::WriteFile(other, "x");
  ViUInt64 stamp = 5;
  zyvisaConfigFileCheckUpdates(VI_FALSE);
  EXPECT_EQ(Stamp(path_), 0u);  // the cached stamp, even 0
  EXPECT_EQ(Stamp(other), platform::FileStamp(other.c_str()));  // not cached: its own
  // A change check skips while suspended only when asked to.
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_TRUE, &stamp), VI_FALSE);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_FALSE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, 5u);
  zyvisaConfigFileCheckUpdates(VI_TRUE);
  EXPECT_EQ(Stamp(path_), platform::FileStamp(path_.c_str()));
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_FALSE);
  // Once the file's times are safely in the past its stamp stops reading the
  // content: it must neither change on its own then nor miss the next edit.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_FALSE);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_FALSE);
  Write("[S]\nx=2\n");
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
  std::filesystem::remove(path_);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, 0u);
}

// Readers look values up while a configuration tool replaces the file again
// and again by writing a new one and renaming it over the old, so a reader
// always parses one whole file: each answer must be the old value or the new
// one, never a default or a mix. (A file rewritten in place can be parsed
// half-written; that is the file's state, not the cache's.)
TEST_F(IniStore, LookupsRacingWithRewritesSeeOldOrNew) {
  lifecycle::Startup();  // the store's lock is a process semaphore of the started library
  const std::string old_value(150, 'o'), new_value(90, 'n');
  // The new file differs in length and layout too, and quotes its value.
  const std::string texts[] = {"[S]\nvalue=" + old_value + "\n",
                               "[S]\npad=" + std::string(80, 'p') + "\nvalue='" + new_value +
                                   "'\n"};
  Write(texts[0]);
  EXPECT_EQ(Get("S", "value"), old_value);
  ASSERT_TRUE(HaveIniServiceLock()) << "lookups would race without the INI service lock";
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) {
        const std::string value = Get("S", "value");
        if (value != old_value && value != new_value) bad.fetch_add(1);
        if (r == 0) visaRefreshIniFiles();
      }
    });
  }
  // Windows refuses to replace a file that a reader has open, even one
  // opened for sharing deletion (ERROR_ACCESS_DENIED): a tool then tries
  // again later, and meanwhile readers see the old file.
  int replaced = 0;
  for (int i = 0; replaced < 300 && i < 1000; ++i) {
    test::WriteFile(path_ + ".tmp", texts[(replaced + 1) % 2]);
    std::error_code refused;
    std::filesystem::rename(path_ + ".tmp", path_, refused);
    replaced += refused ? 0 : 1;
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(replaced, 10);
  lifecycle::Shutdown();
  ForgetIniServiceLock();
}

}  // namespace
}  // namespace zyvisa::config
