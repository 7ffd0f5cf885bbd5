// The POSIX registry file: key paths and value names without case, values as
// written, rewrites seen at once, and the built-in registry.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "support/environment.h"
#include "support/test_machine.h"

namespace zyvisa::platform {
namespace {

constexpr char kProductKey[] = "HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA";
constexpr char kInstallerKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer";

std::string Read(const char* key, const char* name, RegRead expected = RegRead::kOk) {
  char buffer[512];
  EXPECT_EQ(RegistryReadString(key, name, buffer, sizeof buffer), expected) << key << " " << name;
  return buffer;
}

TEST(Registry, KeysAndValuesCompareWithoutCase) {
  test::TestMachine machine;
  EXPECT_TRUE(RegistryKeyExists(kProductKey));
  EXPECT_TRUE(RegistryKeyExists("hkey_local_machine\\SOFTWARE\\ZYLARIS\\zy-visa"));
  // Parents of written keys exist; partial names and siblings do not.
  EXPECT_TRUE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zylaris"));
  EXPECT_FALSE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zyl"));
  EXPECT_FALSE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zylaris\\Other"));
  EXPECT_FALSE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA\\Sub"));
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), machine.shm_dir());
  EXPECT_EQ(Read("HKEY_LOCAL_MACHINE\\software\\zylaris\\common\\installer", "zyPubAppDataDir"),
            machine.appdata_dir());
  EXPECT_EQ(Read(kInstallerKey, "InstDir", RegRead::kMissing), "");
  EXPECT_EQ(Read(kProductKey, "ZYSHAREDMEMORYDIR", RegRead::kMissing), "");
}

TEST(Registry, ValuesComeBackAsWritten) {
  test::TestMachine machine;
  machine.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n"
      "InstDir=\n"
      "Quoted = \"/opt/with space\" \n"
      "Drive=C:\\Program Files\\x;y\n"
      "[hkey_local_machine\\software\\zylaris\\zy-visa]\n"
      "Later=1\n");
  EXPECT_EQ(Read(kProductKey, "InstDir"), "");
  EXPECT_EQ(Read(kProductKey, "Quoted"), "\"/opt/with space\"");
  EXPECT_EQ(Read(kProductKey, "Drive"), "C:\\Program Files\\x;y");
  EXPECT_EQ(Read(kProductKey, "Later"), "1");
  EXPECT_FALSE(RegistryKeyExists(kInstallerKey));
}

TEST(Registry, BufferBounds) {
  test::TestMachine machine;
  machine.WriteRegistry("[HKEY_LOCAL_MACHINE\\K]\nV=abcdef\n");
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(RegistryReadString("HKEY_LOCAL_MACHINE\\K", "V", buffer, 7), RegRead::kOk);
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(RegistryReadString("HKEY_LOCAL_MACHINE\\K", "V", buffer, 4), RegRead::kMoreData);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(RegistryReadString("HKEY_LOCAL_MACHINE\\K", "V", buffer, 0), RegRead::kMoreData);
  EXPECT_EQ(RegistryReadString("HKEY_LOCAL_MACHINE\\K", "W", buffer, 4), RegRead::kMissing);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(RegistryReadString(nullptr, "V", buffer, 4), RegRead::kMissing);
  EXPECT_FALSE(RegistryKeyExists(nullptr));
}

TEST(Registry, RewritesAreSeenAtOnceAndAMissingFileIsEmpty) {
  test::TestMachine machine;
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), machine.shm_dir());
  machine.WriteRegistry(std::string("[") + kInstallerKey + "]\nZYSHAREDMEMORYDIR=/elsewhere\n");
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), "/elsewhere");
  EXPECT_FALSE(RegistryKeyExists(kProductKey));
  std::filesystem::remove(machine.registry_path());
  EXPECT_FALSE(RegistryKeyExists(kInstallerKey));
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR", RegRead::kMissing), "");
  // A registry the parser refuses is empty too.
  machine.WriteRegistry(std::string("\xFF\xFE[") + kInstallerKey + "]\nZYSHAREDMEMORYDIR=/x\n");
  EXPECT_FALSE(RegistryKeyExists(kInstallerKey));
}

TEST(Registry, BuiltInWhenNoFileIsNamed) {
  if (test::FileExists("/etc/zyvisa/registry.ini")) {
    GTEST_SKIP() << "this machine has a registry file";
  }
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    test::ScopedEnvironment env("ZYVISA_REGISTRY", value);
    EXPECT_TRUE(RegistryKeyExists(kProductKey));
    EXPECT_EQ(Read(kProductKey, "InstDir", RegRead::kMissing), "");
    EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), kDefaultSharedMemoryDir);
    EXPECT_EQ(Read(kInstallerKey, "ZYPUBAPPDATADIR"), kDefaultPublicAppDataDir);
  }
}

}  // namespace
}  // namespace zyvisa::platform
