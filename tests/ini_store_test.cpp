// The configuration store: cached lookups, change detection and its
// suspension, bounds and conversions of the exported lookups, and lookups
// racing with a configuration tool that rewrites the file.
#include "config/ini_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/process_state.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"

namespace zyvisa::config {
namespace {

class IniStore : public ::testing::Test {
 protected:
  void TearDown() override { visaGetIniStringIntoBuffer("", "", "", "", nullptr, 0); }

  void Write(const std::string& text) const { test::WriteFile(path_, text); }
  std::string Get(const char* section, const char* key, const std::string& path = "") const {
    char result[256];
    std::memset(result, 'x', sizeof result);
    visaGetIniString(path.empty() ? path_.c_str() : path.c_str(), section, key, "<default>", result);
    return result;
  }
  ViInt32 Long(const char* key, ViInt32 def) const {
    ViInt32 value = 0;
    visaGetIniLong(path_.c_str(), "S", key, def, &value);
    return value;
  }
  ViInt16 Short(const char* key, ViInt16 def) const {
    ViInt16 value = 0;
    visaGetIniShort(path_.c_str(), "S", key, def, &value);
    return value;
  }

  test::TestMachine machine_;
  const std::string path_ = machine_.root() + "/visaconf.ini";
};

struct Suspended {
  Suspended() { zyvisaConfigFileCheckUpdates(VI_FALSE); }
  ~Suspended() { zyvisaConfigFileCheckUpdates(VI_TRUE); }
};

TEST_F(IniStore, FileCreatedAfterTheFirstLookupIsReadOnTheNext) {
  EXPECT_EQ(Get("S", "x"), "<default>");
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
}

TEST_F(IniStore, EditedFileIsReread) {
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  // Same length, same inode, back to back: within one tick of the file clock.
  Write("[S]\nx=2\n");
  EXPECT_EQ(Get("S", "x"), "2");
  Write("[S]\nx=3\n");
  EXPECT_EQ(Get("S", "x"), "3");
  Write("[S]\nx=12\n");
  EXPECT_EQ(Get("S", "x"), "12");
  // Replaced by rename, as configuration tools write.
  test::WriteFile(path_ + ".new", "[S]\nx=13\n");
  std::filesystem::rename(path_ + ".new", path_);
  EXPECT_EQ(Get("S", "x"), "13");
}

TEST_F(IniStore, SuspendedChecksKeepTheCachedFileUntilRefreshOrResume) {
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  {
    Suspended suspended;
    Write("[S]\nx=2\n");
    EXPECT_EQ(Get("S", "x"), "1");
    visaRefreshIniFiles();  // refreshes even while suspended
    EXPECT_EQ(Get("S", "x"), "2");
    Write("[S]\nx=3\n");
    EXPECT_EQ(Get("S", "x"), "2");
  }
  EXPECT_EQ(Get("S", "x"), "3");
}

TEST_F(IniStore, SuspensionsAreCounted) {
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  zyvisaConfigFileCheckUpdates(VI_FALSE);
  zyvisaConfigFileCheckUpdates(VI_FALSE);
  Write("[S]\nx=2\n");
  zyvisaConfigFileCheckUpdates(VI_TRUE);
  EXPECT_EQ(Get("S", "x"), "1");
  zyvisaConfigFileCheckUpdates(VI_TRUE);
  EXPECT_EQ(Get("S", "x"), "2");
  // A resume without a suspend counts as suspended until the next suspend.
  zyvisaConfigFileCheckUpdates(VI_TRUE);
  Write("[S]\nx=3\n");
  EXPECT_EQ(Get("S", "x"), "2");
  zyvisaConfigFileCheckUpdates(VI_FALSE);
  EXPECT_EQ(Get("S", "x"), "3");
}

TEST_F(IniStore, FilesWithoutADocumentAreLoadedEvenWhileSuspended) {
  EXPECT_EQ(Get("S", "x"), "<default>");  // cached as missing
  Suspended suspended;
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  const std::string other = machine_.root() + "/other.ini";
  test::WriteFile(other, "[S]\nx=9\n");
  EXPECT_EQ(Get("S", "x", other), "9");
}

TEST_F(IniStore, DeletedFileFallsBackToDefaults) {
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  std::filesystem::remove(path_);
  EXPECT_EQ(Get("S", "x"), "<default>");
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  Suspended suspended;
  std::filesystem::remove(path_);
  EXPECT_EQ(Get("S", "x"), "1");
  visaRefreshIniFiles();
  EXPECT_EQ(Get("S", "x"), "<default>");
}

TEST_F(IniStore, UnreadableFilesGiveDefaults) {
  Write("\xFF\xFE[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "<default>");
  std::filesystem::create_directory(machine_.root() + "/folder.ini");
  EXPECT_EQ(Get("S", "x", machine_.root() + "/folder.ini"), "<default>");
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
}

TEST_F(IniStore, FlushEmptiesTheCacheButKeepsTheSuspension) {
  Write("[S]\nx=1\n");
  EXPECT_EQ(Get("S", "x"), "1");
  Suspended suspended;
  Write("[S]\nx=2\n");
  EXPECT_EQ(Get("S", "x"), "1");
  ViInt32 value = 0;
  visaGetIniLong("", "", "", 5, &value);  // a flush: the default is delivered
  EXPECT_EQ(value, 5);
  EXPECT_EQ(Get("S", "x"), "2");
  Write("[S]\nx=3\n");
  EXPECT_EQ(Get("S", "x"), "2");
}

TEST_F(IniStore, BufferBounds) {
  Write("[S]\nv=abcdefgh\nlong=" + std::string(300, 'L') + "\n");
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", buffer, 5);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(buffer[5], 'x');
  // A value fills the rest of the buffer with NULs; a default does not.
  std::memset(buffer, 'x', sizeof buffer);
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", buffer, 12);
  EXPECT_EQ(std::string(buffer, 12), std::string("abcdefgh\0\0\0\0", 12));
  std::memset(buffer, 'x', sizeof buffer);
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "missing", "0123456789", buffer, 5);
  EXPECT_EQ(std::string(buffer, 6), std::string("0123\0x", 6));
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", buffer, 1);
  EXPECT_EQ(buffer[0], '\0');
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", buffer, 0);  // ignored
  visaGetIniStringIntoBuffer(path_.c_str(), "S", "v", "", nullptr, 8);
  // visaGetIniString cuts values and defaults at 255 characters.
  EXPECT_EQ(Get("S", "long"), std::string(255, 'L'));
  char result[256];
  visaGetIniString(path_.c_str(), "S", "none", std::string(400, 'D').c_str(), result);
  EXPECT_EQ(std::string(result), std::string(255, 'D'));
  // Null texts deliver the default and touch nothing else.
  visaGetIniString(nullptr, "S", "v", "dflt", result);
  EXPECT_STREQ(result, "dflt");
  visaGetIniString(path_.c_str(), "S", "v", nullptr, result);
  EXPECT_STREQ(result, "abcdefgh");
}

TEST_F(IniStore, NumberConversions) {
  Write("[S]\nneg=  -42abc\ntwelve=12\nletters=abc\nplus=+5\nbig=99999999999\nsmall=-99999999999\n"
        "seventy=70000\nminus=-70000\nwide=" + std::string(79, '0') + "5\n");
  EXPECT_EQ(Long("neg", 0), -42);
  EXPECT_EQ(Long("missing", 7), 7);
  EXPECT_EQ(Long("twelve", 0), 12);
  EXPECT_EQ(Long("letters", 3), 0);
  EXPECT_EQ(Long("plus", 0), 5);
  EXPECT_EQ(Long("big", 0), INT32_MAX);
  EXPECT_EQ(Long("small", 0), INT32_MIN);
  EXPECT_EQ(Long("missing", INT32_MIN), INT32_MIN);
  EXPECT_EQ(Long("wide", 1), 0);  // read through 79 characters: the 5 is cut off
  EXPECT_EQ(Short("seventy", 0), 4464);
  EXPECT_EQ(Short("minus", 0), static_cast<ViInt16>(static_cast<uint16_t>(-70000 & 0xFFFF)));
  EXPECT_EQ(Short("missing", -1), -1);
  EXPECT_EQ(Short("neg", 0), -42);
  EXPECT_EQ(Short("big", 0), -1);  // 0x7FFFFFFF, low 16 bits
}

TEST_F(IniStore, IndexedKeys) {
  Write("[S]\nName0=zero\nName3=3\nName65535=-7\n" + std::string(200, 's') + "1=long\n");
  ViInt32 value = 0;
  visaGetIniIndexLong(path_.c_str(), "S", "Name", 3, 0, &value);
  EXPECT_EQ(value, 3);
  visaGetIniIndexLong(path_.c_str(), "S", "Name", 65535, 0, &value);
  EXPECT_EQ(value, -7);
  visaGetIniIndexLong(path_.c_str(), "S", "Name", 4, 11, &value);
  EXPECT_EQ(value, 11);
  ViInt16 shorter = 0;
  visaGetIniIndexShort(path_.c_str(), "S", "Name", 65535, 0, &shorter);
  EXPECT_EQ(shorter, -7);
  char result[256];
  visaGetIniIndexString(path_.c_str(), "S", "Name", 0, "d", result);
  EXPECT_STREQ(result, "zero");
  char buffer[4];
  visaGetIniIndexStringIntoBuffer(path_.c_str(), "S", "Name", 0, "d", buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "zer");
  // Stems of any length build the whole key name.
  visaGetIniIndexString(path_.c_str(), "S", std::string(200, 's').c_str(), 1, "d", result);
  EXPECT_STREQ(result, "long");
  visaGetIniIndexString(path_.c_str(), "S", nullptr, 1, "d", result);
  EXPECT_STREQ(result, "d");
}

TEST_F(IniStore, NamesIgnoreCaseAndSurroundingWhiteSpace) {
  Write("[VISA-CONFIG]\nMaxNumResources=64\n");
  EXPECT_EQ(Get(" visa-config ", "\tmaxnumresources "), "64");
  EXPECT_EQ(Get("VISA-CONFIG", "Max NumResources"), "<default>");
}

TEST_F(IniStore, TwoSpellingsOfOnePathAreTwoEntries) {
  Write("[S]\nx=1\n");
  const std::string other = machine_.root() + "//visaconf.ini";
  EXPECT_EQ(Get("S", "x"), "1");
  Suspended suspended;
  Write("[S]\nx=2\n");
  EXPECT_EQ(Get("S", "x", other), "2");
  EXPECT_EQ(Get("S", "x"), "1");
}

TEST_F(IniStore, Timestamps) {
  ViUInt64 stamp = 99;
  EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), &stamp), VI_ERROR_FILE_ACCESS);
  EXPECT_EQ(stamp, 0u);
  EXPECT_EQ(Get("S", "x"), "<default>");  // cached while missing
  Write("[S]\nx=1\n");
  {
    Suspended suspended;
    // The cached stamp, even 0, while suspended.
    EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), &stamp), VI_SUCCESS);
    EXPECT_EQ(stamp, 0u);
  }
  EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), &stamp), VI_SUCCESS);
  EXPECT_EQ(stamp, platform::FileStamp(path_.c_str()));
  EXPECT_EQ(Get("S", "x"), "1");
  const ViUInt64 cached = stamp;
  {
    Suspended suspended;
    Write("[S]\nx=2\n");
    EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), &stamp), VI_SUCCESS);
    EXPECT_EQ(stamp, cached);
    // Not cached: the file's own stamp.
    const std::string other = machine_.root() + "/other.ini";
    test::WriteFile(other, "x");
    EXPECT_EQ(visaGetIniTimestamp(other.c_str(), &stamp), VI_SUCCESS);
    EXPECT_EQ(stamp, platform::FileStamp(other.c_str()));
  }
  EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), &stamp), VI_SUCCESS);
  EXPECT_NE(stamp, cached);
  EXPECT_EQ(visaGetIniTimestamp(path_.c_str(), nullptr), VI_ERROR_USER_BUF);
}

TEST_F(IniStore, ChangeCheck) {
  ViUInt64 stamp = 5;
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_FALSE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, 5u);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, 0u);
  Write("[S]\n");
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_FALSE, VI_FALSE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, 0u);
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_TRUE, &stamp), VI_TRUE);
  EXPECT_EQ(stamp, platform::FileStamp(path_.c_str()));
  EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_TRUE, &stamp), VI_FALSE);
  Write("[T]\n");
  {
    Suspended suspended;
    const ViUInt64 before = stamp;
    EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_TRUE, &stamp), VI_FALSE);
    EXPECT_EQ(stamp, before);
    EXPECT_EQ(zyvisaConfigFileUpdated(path_.c_str(), VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
    EXPECT_NE(stamp, before);
  }
  EXPECT_EQ(zyvisaConfigFileUpdated(nullptr, VI_TRUE, VI_FALSE, &stamp), VI_TRUE);
}

// Readers look values up while a configuration tool replaces the file again
// and again. The tool writes a new file and renames it over the old one, as
// such tools do: a reader then always parses one whole file, and each answer
// must be the old value or the new one, never a default or a mix. (A file
// rewritten in place can be parsed half-written; that is the file's state,
// not the cache's, so it proves nothing about the store.)
TEST_F(IniStore, LookupsRacingWithRewritesSeeOldOrNew) {
  lifecycle::Startup();  // the store's lock is a process semaphore of the started library
  const std::string old_value(150, 'o');
  const std::string new_value(90, 'n');
  auto text = [](const std::string& value, int n) {
    return "[S]\npad=" + std::string(static_cast<size_t>(n) * 40, 'p') + "\nvalue=\"" + value +
           "\"\nn=" + std::to_string(n) + "\n";
  };
  Write(text(old_value, 1));
  EXPECT_EQ(Get("S", "value"), old_value);
  if (!HaveIniServiceLock()) {
    lifecycle::Shutdown();
    GTEST_SKIP() << "no process semaphore for the INI service lock: lookups would race";
  }

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) {
        const std::string value = Get("S", "value");
        if (value != old_value && value != new_value) bad.fetch_add(1);
        const ViInt32 n = Long("n", -1);
        if (n != 1 && n != 2) bad.fetch_add(1);
        if (r == 0) visaRefreshIniFiles();
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    const bool odd = (i % 2) != 0;
    test::WriteFile(path_ + ".tmp", text(odd ? old_value : new_value, odd ? 1 : 2));
    std::filesystem::rename(path_ + ".tmp", path_);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  lifecycle::Shutdown();
  ForgetIniServiceLock();
}

}  // namespace
}  // namespace zyvisa::config
