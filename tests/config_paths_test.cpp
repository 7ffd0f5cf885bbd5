// Configuration and framework paths from the registry and the environment, and
// the seeding of a missing configuration file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "config/config_paths.h"
#include "runtime/process_state.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"

namespace zyvisa::config {
namespace {

class ConfigPathsTest : public ::testing::Test {
 protected:
  ConfigPathsTest() {
    ResetPathCaches();
    unsetenv("VXIPNPPATH");
  }
  ~ConfigPathsTest() override {
    runtime::State().product_key_open = false;
    ResetPathCaches();
    unsetenv("VXIPNPPATH");
  }
  void Registry(const std::string& product_values, const std::string& appdata) {
    machine_.WriteRegistry("[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n" + product_values +
                           "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
                           "ZYPUBAPPDATADIR=" + appdata + "\n");
    // Start-up opens the product key; these tests stand in for it.
    runtime::State().product_key_open = true;
  }
  std::string Framework() {
    char path[256];
    EXPECT_EQ(visaFrameworkPath(path), VI_SUCCESS);
    return path;
  }
  test::TestMachine machine_;
};

TEST_F(ConfigPathsTest, ConfigFolderEndsInOneSeparatorEitherWay) {
  char path[280];
  Registry("", "/srv/public");
  ASSERT_EQ(visaConfigIniPath(path), VI_SUCCESS);
  EXPECT_STREQ(path, "/srv/public/ZYvisa/visaconf.ini");
  ResetPathCaches();
  Registry("", "/srv/public/");
  ASSERT_EQ(visaResourceIdPath(path), VI_SUCCESS);
  EXPECT_STREQ(path, "/srv/public/ZYvisa/visarsrc.xml");
}

TEST_F(ConfigPathsTest, MissingPublicFolderFailsAndIsRetried) {
  char path[280];
  machine_.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n");
  EXPECT_EQ(visaConfigIniPath(path), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(visaResourceIdPath(path), VI_ERROR_SYSTEM_ERROR);
  // A failed lookup caches nothing: the value added later is found.
  Registry("", "/later");
  ASSERT_EQ(visaConfigIniPath(path), VI_SUCCESS);
  EXPECT_STREQ(path, "/later/ZYvisa/visaconf.ini");
}

TEST_F(ConfigPathsTest, OverlongFolderIsRefused) {
  char path[280];
  // 258 characters fit the registry buffer, but not with "/ZYvisa/" after them.
  Registry("", "/" + std::string(257, 'p'));
  EXPECT_EQ(visaConfigIniPath(path), VI_ERROR_SYSTEM_ERROR);
}

TEST_F(ConfigPathsTest, FrameworkPathFallsBackInOrderAndIsCached) {
  Registry("InstDir=/opt/vxipnp/", machine_.appdata_dir());
  EXPECT_EQ(Framework(), "/opt/vxipnp/Win64");
  // Cached: a changed registry is not seen by this process.
  Registry("InstDir=/elsewhere", machine_.appdata_dir());
  EXPECT_EQ(Framework(), "/opt/vxipnp/Win64");

  ResetPathCaches();
  Registry("", machine_.appdata_dir());
  setenv("VXIPNPPATH", "/from/env\\", 1);
  EXPECT_EQ(Framework(), "/from/env/Win64");

  ResetPathCaches();
  unsetenv("VXIPNPPATH");
  EXPECT_EQ(Framework(), std::string(kFallbackInstallFolder) + "/Win64");

  // Without an open product key InstDir is not read at all.
  ResetPathCaches();
  Registry("InstDir=/opt/vxipnp", machine_.appdata_dir());
  runtime::State().product_key_open = false;
  EXPECT_EQ(Framework(), std::string(kFallbackInstallFolder) + "/Win64");
}

TEST_F(ConfigPathsTest, OverlongInstallFolderStillEndsInTheSuffix) {
  Registry("InstDir=/" + std::string(300, 'i'), machine_.appdata_dir());
  const std::string path = Framework();
  EXPECT_EQ(path.size(), kFrameworkPathMax);
  EXPECT_EQ(path.substr(path.size() - 6), "/Win64");
}

TEST_F(ConfigPathsTest, DefaultConfigSeedsAMissingFileOnly) {
  const std::string install = machine_.root() + "/install";
  Registry("InstDir=" + install, machine_.appdata_dir());
  const std::string target = machine_.root() + "/a/b/c/visaconf.ini";
  // No default file: nothing is created.
  SeedDefaultConfig(target.c_str());
  EXPECT_FALSE(test::FileExists(machine_.root() + "/a"));

  std::string mkdir_out;
  ASSERT_EQ(test::RunProgram("mkdir -p '" + install + "/Win64/ZYvisa'", &mkdir_out), 0);
  test::WriteFile(install + "/Win64/ZYvisa/DefaultVisaConf.ini", "[VISA-CONFIG]\nA=1\n");
  SeedDefaultConfig(target.c_str());
  EXPECT_EQ(test::ReadFile(target), "[VISA-CONFIG]\nA=1\n");

  // An existing configuration is never overwritten.
  test::WriteFile(target, "mine");
  SeedDefaultConfig(target.c_str());
  EXPECT_EQ(test::ReadFile(target), "mine");
}

}  // namespace
}  // namespace zyvisa::config
