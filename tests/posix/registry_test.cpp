// The POSIX registry file: key paths and value names without case, values as
// written, the file named by the environment read anew at every call, and
// the built-in registry.
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

TEST(Registry, KeyPathsAndValueNamesIgnoreCaseAndValuesComeBackAsWritten) {
  test::TestMachine machine;
  machine.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n"
      "InstDir=\n"
      "Quoted = \"/opt/with space\" \n"
      "Drive=C:\\Program Files\\x;y\n"
      "[hkey_local_machine\\software\\zylaris\\zy-visa]\n"
      "Later=abcdef\n");
  EXPECT_TRUE(RegistryKeyExists("hkey_local_machine\\SOFTWARE\\ZYLARIS\\zy-visa"));
  // Parents of written keys exist; partial names, siblings and children do not.
  EXPECT_TRUE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zylaris"));
  EXPECT_FALSE(RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Zyl"));
  EXPECT_FALSE(RegistryKeyExists((std::string(kProductKey) + "\\Sub").c_str()));
  EXPECT_FALSE(RegistryKeyExists(kInstallerKey));
  EXPECT_FALSE(RegistryKeyExists(nullptr));
  EXPECT_EQ(Read(kProductKey, "instdir"), "");
  EXPECT_EQ(Read(kProductKey, "QUOTED"), "\"/opt/with space\"");
  EXPECT_EQ(Read(kProductKey, "Drive"), "C:\\Program Files\\x;y");
  EXPECT_EQ(Read(kProductKey, "Other", RegRead::kMissing), "");
  // Reads are bounded by the buffer.
  char buffer[8] = "xxxxxxx";
  EXPECT_EQ(RegistryReadString(kProductKey, "later", buffer, 7), RegRead::kOk);
  EXPECT_STREQ(buffer, "abcdef");
  EXPECT_EQ(RegistryReadString(kProductKey, "LATER", buffer, 4), RegRead::kMoreData);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(RegistryReadString(kProductKey, "Later", buffer, 0), RegRead::kMoreData);
  EXPECT_EQ(RegistryReadString(nullptr, "Later", buffer, 4), RegRead::kMissing);
}

TEST(Registry, TheFileNamedByTheEnvironmentOrTheBuiltInOne) {
  test::TestMachine machine;  // names its own registry file
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), machine.shm_dir());
  machine.WriteRegistry(std::string("[") + kInstallerKey + "]\nZYSHAREDMEMORYDIR=/elsewhere\n");
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), "/elsewhere");
  // A missing file is an empty registry.
  std::filesystem::remove(machine.registry_path());
  EXPECT_FALSE(RegistryKeyExists("HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR", RegRead::kMissing), "");
  if (test::FileExists("/etc/zyvisa/registry.ini")) {
    GTEST_SKIP() << "this machine has a registry file";
  }
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    test::ScopedEnvironment env("ZYVISA_REGISTRY", value);
    EXPECT_TRUE(RegistryKeyExists(kProductKey));
    EXPECT_EQ(Read(kInstallerKey, "ZYSHAREDMEMORYDIR"), kDefaultSharedMemoryDir);
    EXPECT_EQ(Read(kInstallerKey, "ZYPUBAPPDATADIR"), kDefaultPublicAppDataDir);
  }
}

}  // namespace
}  // namespace zyvisa::platform
