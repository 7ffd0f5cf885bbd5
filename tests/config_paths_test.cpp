// Configuration and framework paths from the registry and the environment, and
// the seeding of a missing configuration file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/config_paths.h"
#include "runtime/process_state.h"
#include "support/environment.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"

namespace zyvisa::config {
namespace {

// A path written with '/', in the platform's spelling.
std::string P(std::string path) {
  for (char& c : path) {
    if (c == '/') c = test::TestMachine::kSep;
  }
  return path;
}

class ConfigPathsTest : public ::testing::Test {
 protected:
  ConfigPathsTest() {
    ResetPathCaches();
    test::SetEnvironment("VXIPNPPATH", nullptr);
  }
  ~ConfigPathsTest() override {
    runtime::State().product_key_open = false;
    ResetPathCaches();
    test::SetEnvironment("VXIPNPPATH", nullptr);
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

TEST_F(ConfigPathsTest, PublicFolderMissingOverlongOrEndingInASeparator) {
  char path[280];
  machine_.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n");
  EXPECT_EQ(visaConfigIniPath(path), VI_ERROR_SYSTEM_ERROR);
  EXPECT_EQ(visaResourceIdPath(path), VI_ERROR_SYSTEM_ERROR);
  // 258 characters fit the registry buffer, but not with "/ZYvisa/" after them.
  Registry("", P("/") + std::string(257, 'p'));
  EXPECT_EQ(visaConfigIniPath(path), VI_ERROR_SYSTEM_ERROR);
  // A failed lookup caches nothing: the value added later is found.
  Registry("", P("/later"));
  ASSERT_EQ(visaConfigIniPath(path), VI_SUCCESS);
  EXPECT_EQ(std::string(path), P("/later/ZYvisa/visaconf.ini"));
  // A folder that ends in a separator gets no second one.
  ResetPathCaches();
  Registry("", P("/srv/public/"));
  ASSERT_EQ(visaResourceIdPath(path), VI_SUCCESS);
  EXPECT_EQ(std::string(path), P("/srv/public/ZYvisa/visarsrc.xml"));
}

TEST_F(ConfigPathsTest, FrameworkPathFallsBackInOrderAndIsCached) {
  Registry("InstDir=" + P("/opt/vxipnp/"), machine_.appdata_dir());
  EXPECT_EQ(Framework(), P("/opt/vxipnp/Win64"));
  // Cached: a changed registry is not seen by this process.
  Registry("InstDir=" + P("/elsewhere"), machine_.appdata_dir());
  EXPECT_EQ(Framework(), P("/opt/vxipnp/Win64"));

  ResetPathCaches();
  Registry("", machine_.appdata_dir());
  test::SetEnvironment("VXIPNPPATH", P("/from/env\\").c_str());
  EXPECT_EQ(Framework(), P("/from/env/Win64"));

  ResetPathCaches();
  test::SetEnvironment("VXIPNPPATH", nullptr);
  EXPECT_EQ(Framework(), std::string(kFallbackInstallFolder) + P("/Win64"));

  // An overlong one is cut to leave room for the suffix.
  ResetPathCaches();
  Registry("InstDir=" + P("/") + std::string(300, 'i'), machine_.appdata_dir());
  EXPECT_EQ(Framework(), P("/") + std::string(kFrameworkPathMax - 7, 'i') + P("/Win64"));

  // Without an open product key InstDir is not read at all.
  ResetPathCaches();
  Registry("InstDir=" + P("/opt/vxipnp"), machine_.appdata_dir());
  runtime::State().product_key_open = false;
  EXPECT_EQ(Framework(), std::string(kFallbackInstallFolder) + P("/Win64"));
}

TEST_F(ConfigPathsTest, DefaultConfigSeedsAMissingFileOnly) {
  const std::string install = machine_.root() + P("/install");
  Registry("InstDir=" + install, machine_.appdata_dir());
  const std::string target = machine_.root() + P("/a/b/c/visaconf.ini");
  // No default file: nothing is created.
  SeedDefaultConfig(target.c_str());
  EXPECT_FALSE(test::FileExists(machine_.root() + P("/a")));

  // A default longer than one copy buffer arrives whole.
  const std::string seed = "[VISA-CONFIG]\nA=1\n;" + std::string(40000, 'a') + "\n";
  std::filesystem::create_directories(install + P("/Win64/ZYvisa"));
  test::WriteFile(install + P("/Win64/ZYvisa/DefaultVisaConf.ini"), seed);
  SeedDefaultConfig(target.c_str());
  EXPECT_EQ(test::ReadFile(target), seed);

  // An existing configuration is never overwritten.
  test::WriteFile(target, "mine");
  SeedDefaultConfig(target.c_str());
  EXPECT_EQ(test::ReadFile(target), "mine");
}

}  // namespace
}  // namespace zyvisa::config
