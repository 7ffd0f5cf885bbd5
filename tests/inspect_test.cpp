// zyvisa-inspect on a live region, on no region and on a file that is not one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lifecycle/startup.h"
#include "runtime/process_state.h"
#include "support/inspect_tool.h"
#include "support/test_machine.h"
#include "zyvisa_lifecycle.h"

namespace zyvisa {
namespace {

using test::Inspect;
using test::Region;

TEST(Inspect, ShowsTheLiveRegionReadOnly) {
  test::TestMachine machine;
  ASSERT_EQ(lifecycle::Startup(), 1);
  void* address = nullptr;
  ViUInt16 created = 0;
  ASSERT_EQ(visaAllocShared("Driver \"quoted\" block", 100, &address, &created), VI_SUCCESS);
  int code = 0;
  std::string text = Inspect(Region(machine), &code);
  EXPECT_EQ(code, 0) << text;
  EXPECT_NE(text.find("use count 1"), std::string::npos) << text;
  EXPECT_NE(text.find("dead owners none"), std::string::npos) << text;
  text = Inspect("--section blocks " + Region(machine), &code);
  EXPECT_NE(text.find("ZY-VISA Services Shared Data"), std::string::npos) << text;
  std::string json = Inspect("--json " + Region(machine), &code);
  EXPECT_EQ(code, 0) << json;
  EXPECT_NE(json.find("\"use_count\":1"), std::string::npos) << json;
  EXPECT_NE(json.find("\"name\":\"Driver \\\"quoted\\\" block\",\"offset\":"), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"size\":104}"), std::string::npos) << json;
  // Looking did not join: the use count is still ours alone.
  EXPECT_EQ(Inspect("--json " + Region(machine), &code), json);
  lifecycle::Shutdown();
}

// The summary comes first and alone; sections, the manual page and wrong
// usage answer as a script expects.
TEST(Inspect, OptionsChooseSectionsAndTheExitStatusTellsScripts) {
  test::TestMachine machine;
  ASSERT_EQ(lifecycle::Startup(), 1);
  struct Row {
    const char* args;
    int code;
    std::vector<const char*> present, absent;
  } rows[] = {
      {"", 0, {"machine  ", "semaphores  0 held", "dead owners none"}, {"free tail", "resources:"}},
      {"--section semaphores", 0, {"dead owners none", "system semaphores: "}, {"free tail"}},
      {"--all", 0, {"free tail", "system semaphores: ", "resources: "}, {}},
      {"--help", 0, {"SYNOPSIS", "EXIT STATUS", "--watch SECONDS"}, {"machine  "}},
      {"--section nothing", 64, {"no section nothing"}, {"machine  "}},
      {"--watch 0", 64, {"--watch takes a number"}, {"machine  "}},
      {"--file /nonexistent/region", 1, {"no shared region"}, {}},
  };
  for (const Row& row : rows) {
    int code = -1;
    const std::string region = std::string(row.args).find("--file") == 0 ? "" : Region(machine);
    const std::string text = Inspect(region + " " + row.args, &code);
    EXPECT_EQ(code, row.code) << row.args << "\n" << text;
    for (const char* want : row.present) EXPECT_NE(text.find(want), std::string::npos) << row.args << ": " << want;
    for (const char* not_want : row.absent) EXPECT_EQ(text.find(not_want), std::string::npos) << row.args << ": " << not_want;
  }
  lifecycle::Shutdown();
}

}  // namespace
}  // namespace zyvisa
