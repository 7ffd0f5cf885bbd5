// Faults a real machine meets, in real processes with a time limit so that a
// hang shows as a failure: damaged or hostile settings and region, and a
// start-up that fails beside a running process.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "runtime/shared_region.h"
#include "support/test_machine.h"
#include "zyvisa_sem.h"

namespace zyvisa {
namespace {

using runtime::BlockHeader;
using test::Child;
using test::Signal;
using test::TestMachine;

constexpr int kLimitMs = 20000;  // far beyond any legitimate wait below

// Start-up in a fresh process: its result, or a crash or a hang (-1000).
// With a region, a system semaphore is allocated too, which reads the
// records the region's chain points at.
ZYVISA_SCENARIO(StartAndProbe) {
  const ViUInt16 started = lifecycle::Startup();
  ViSemaphore sem = nullptr;
  if (started == 1 && visaSemAlloc("probe", ZYVISA_SEM_SYSTEM, 0, &sem) != VI_SUCCESS) return 10;
  lifecycle::Shutdown();
  return int(started);
}

int StartupInChild() { return Child("StartAndProbe", {}).Wait(kLimitMs); }

// A region whose first block is right but whose semaphore block reaches past
// the 524288 bytes every process maps.
void WriteRegionWithBlockPastTheEnd(const std::string& path) {
  std::string bytes(runtime::kMinRegionSize, '\0');
  auto put = [&](uint32_t offset, const char* name, int32_t size) {
    BlockHeader h{};
    std::strncpy(h.name, name, sizeof h.name - 1);
    h.size = size;
    std::memcpy(&bytes[offset], &h, sizeof h);
  };
  const int32_t services = (512 * 436 + 444 + 7) / 8 * 8;
  const uint32_t filler_at = 84 + uint32_t(services);
  const uint32_t sems_at = runtime::kMinRegionSize - 1000;
  put(0, runtime::kServicesDataName, -services);
  put(filler_at, "filler", -int32_t(sems_at - filler_at - 84));
  put(sems_at, "Global\\ZY-VISA Win32 Mutex Shared Memory Section", -512 * 104);
  test::WriteFile(path, bytes);
}

TEST(DamagedInputs, EachIsRefusedWithoutHangOrCrash) {
  // Sizes that would take the machine's memory: SharedMemSize -1 is 4 GB
  // read as unsigned. Empty: a region left by a process that is still there.
  for (const char* setting : {"SharedMemSize=-1", "NumProcessSems=100000000",
                              "NumSystemSems=100000000", ""}) {
    SCOPED_TRACE(setting);
    TestMachine machine;
    platform::SharedFile* held = nullptr;
    if (*setting != '\0') {
      machine.WriteConfig(std::string("[VISA-CONFIG]\n") + setting + "\n");
    } else {
      ASSERT_EQ(StartupInChild(), 1);  // leaves the mutexes made and no region
      WriteRegionWithBlockPastTheEnd(machine.backing_file());
      held = platform::SharedFileOpen(machine.backing_file().c_str(), platform::ShareMode::kShared, false);
    }
    EXPECT_EQ(StartupInChild(), 0);
    platform::SharedFileClose(held);
    // No 4 GB file left behind by a refusal.
    std::error_code ec;
    if (std::filesystem::is_regular_file(machine.backing_file(), ec)) {
      EXPECT_LT(std::filesystem::file_size(machine.backing_file(), ec), 1u << 20);
    }
  }
}

// A start-up that fails keeps no share of the region: the last process of
// the machine deletes the region when it leaves while one whose start-up
// failed lives on.
TEST(LifecycleFaults, FailedStartupKeepsNoShareOfTheRegion) {
  TestMachine machine;
  Signal started, failed, leave;
  Child last("Steps", {"start", "notify " + started.id(), "wait " + failed.id(), "down",
                       "no-file " + machine.backing_file()});
  ASSERT_TRUE(started.Wait(kLimitMs));
  machine.WriteConfig("[VISA-CONFIG]\nMaxNumResources=10\n");  // disagrees with the region
  Child other("Steps", {"start-fails", "notify " + failed.id(), "wait " + leave.id()});
  EXPECT_EQ(last.Wait(kLimitMs), 0);
  leave.Notify();
  EXPECT_EQ(other.Wait(kLimitMs), 0);
}

}  // namespace
}  // namespace zyvisa
