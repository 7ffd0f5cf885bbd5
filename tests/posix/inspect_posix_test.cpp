// zyvisa-inspect names the processes that really hold the region, which the
// POSIX build reads from the backing file's share locks, and watches until
// SIGINT stops it.
#include <gtest/gtest.h>

#include <string>

#include "lifecycle/startup.h"
#include "support/inspect_tool.h"
#include "support/test_machine.h"

namespace zyvisa {
namespace {

using test::Inspect;
using test::Region;

// A killed process stays in the use count; the holders, read from the
// region's share locks, say who is really there.
TEST(Inspect, ShowsTheProcessesThatReallyHoldTheRegion) {
  test::TestMachine machine;
  test::Signal started, leave;
  test::Child holder("Steps", {"start", "notify " + started.id(), "wait " + leave.id()});
  ASSERT_TRUE(started.Wait(10000));
  test::Child killed("Steps", {"start", "notify " + started.id(), "sleep"});
  ASSERT_TRUE(started.Wait(10000));
  killed.Kill();
  killed.Wait();
  int code = 0;
  const std::string text = Inspect(Region(machine), &code);
  EXPECT_NE(text.find("use count 2"), std::string::npos) << text;
  EXPECT_NE(text.find("processes holding the region: 1 (" + std::to_string(holder.pid()) + ")"),
            std::string::npos)
      << text;
  EXPECT_NE(Inspect("--json " + Region(machine), &code).find("\"holders\":1,"), std::string::npos);
  leave.Notify();
  EXPECT_EQ(holder.Wait(), 0);
}

// --watch looks again until it is stopped: at least two looks in two seconds.
TEST(Inspect, WatchLooksAgainUntilInterrupted) {
  test::TestMachine machine;
  ASSERT_EQ(lifecycle::Startup(), 1);
  std::string out;
  test::RunProgram("timeout -s INT 2 " + std::string(ZYVISA_INSPECT_PATH) + " --watch 0.1 " + Region(machine), &out);
  size_t looks = 0;
  for (size_t at = out.find("dead owners"); at != std::string::npos; at = out.find("dead owners", at + 1)) ++looks;
  EXPECT_GE(looks, 2u) << out;
  lifecycle::Shutdown();
}

}  // namespace
}  // namespace zyvisa
