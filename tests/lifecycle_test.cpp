// Start-up and shutdown across real processes: who clears the region, the use
// count, who deletes the backing file, leftovers of a killed process, and a
// library that stays loaded when start-up fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "lifecycle/startup.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_lifecycle.h"

namespace zyvisa::lifecycle {
using namespace zyvisa::runtime;
namespace {

using test::Child;
using test::Signal;
using test::TestMachine;

// 0 when this process made the block, 1 when it found it, 10 on failure.
int AllocMarker(const char* name) {
  void* address = nullptr;
  ViUInt16 created = 0;
  if (visaAllocShared(name, 8, &address, &created) != VI_SUCCESS) return 10;
  return created == 1 ? 0 : 1;
}

int UseCount() {
  return reinterpret_cast<const ServicesSharedHead*>(State().services_data)->use_count;
}

TEST(Lifecycle, StartupMapsTheRegionWithServicesDataFirst) {
  TestMachine machine;
  ASSERT_EQ(Startup(), 1);
  EXPECT_EQ(zyvisaInitializeServicesIfNeeded(), 1);
  ASSERT_NE(State().region, nullptr);
  EXPECT_EQ(State().services_data, State().region + 84);
  EXPECT_EQ(UseCount(), 1);
  EXPECT_TRUE(test::FileExists(machine.backing_file()));
  Shutdown();
  EXPECT_EQ(zyvisaInitializeServicesIfNeeded(), 0);
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
}

// A process of the library that takes the steps args name, in order, and
// ends with 20 + the index of the first that fails: "start", "start-fails",
// "down", "notify ID" and "wait ID" (signals), "mark NAME" (makes a block),
// "found NAME" (finds it made), "count N" (the use count), "file PATH" and
// "no-file PATH", "hold-init" (takes the initialization mutex), "sleep"
// (until killed). The hardening suite uses it too.
ZYVISA_SCENARIO(Steps) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string op = args[i].substr(0, args[i].find(' '));
    const std::string arg = args[i].substr(std::min(args[i].size(), op.size() + 1));
    bool ok = true;
    if (op == "start") ok = Startup() == 1;
    if (op == "start-fails") ok = Startup() == 0;
    if (op == "down") Shutdown();
    if (op == "notify") Signal(arg).Notify();
    if (op == "wait") ok = Signal(arg).Wait(10000);
    if (op == "mark" || op == "found") ok = AllocMarker(arg.c_str()) == (op == "mark" ? 0 : 1);
    if (op == "count") ok = UseCount() == std::stoi(arg);
    if (op == "file" || op == "no-file") ok = test::FileExists(arg) == (op == "file");
    if (op == "hold-init") ok = platform::NamedMutexWait(State().init_mutex, platform::kWaitForever) ==
                                platform::WaitResult::kAcquired;
    while (op == "sleep") platform::SleepMs(1000);
    if (!ok) return 20 + int(i);
  }
  return 0;
}

TEST(Lifecycle, TwoProcessesStartingAtOnceClearOnceAndCountTwo) {
  TestMachine machine;
  Signal go, ready, leave;
  // The first to go passes the start on; a second clearing would wipe the
  // other process's marker and count.
  const auto child = [&](const char* marker) {
    return test::ScenarioArgs{"wait " + go.id(), "notify " + go.id(), "start", std::string("mark ") + marker,
                              "notify " + ready.id(), "wait " + leave.id(), "down"};
  };
  Child a("Steps", child("marker a"));
  Child b("Steps", child("marker b"));
  go.Notify();
  ASSERT_TRUE(ready.Wait(10000) && ready.Wait(10000));
  // Joining them finds both markers and counts three.
  ASSERT_EQ(Startup(), 1);
  EXPECT_EQ(UseCount(), 3);
  EXPECT_EQ(AllocMarker("marker a") + AllocMarker("marker b"), 2);
  Shutdown();
  leave.Notify();
  leave.Notify();
  EXPECT_EQ(a.Wait(), 0);
  EXPECT_EQ(b.Wait(), 0);
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
}

TEST(Lifecycle, OnlyTheLastProcessDeletesTheBackingFile) {
  TestMachine machine;
  const std::string file = machine.backing_file();
  Signal started, leave, left;
  Child early("Steps", {"start", "notify " + started.id(), "wait " + leave.id(), "down", "notify " + left.id()});
  ASSERT_TRUE(started.Wait(10000));
  Child late("Steps", {"start", "notify " + leave.id(), "wait " + left.id(), "file " + file, "count 1", "down",
                       "no-file " + file});
  EXPECT_EQ(early.Wait(), 0);
  EXPECT_EQ(late.Wait(), 0);
}

// Killed with the region mapped and the initialization mutex held, as if
// half-way through another start-up: the next start-up clears the region
// again (the block made before is gone).
TEST(Lifecycle, ProcessKilledInsideStartupWedgesNothingAndLeavesNothing) {
  TestMachine machine;
  Signal holding;
  Child crashed("Steps", {"start", "mark stale", "hold-init", "notify " + holding.id(), "sleep"});
  ASSERT_TRUE(holding.Wait(10000));
  crashed.Kill();
  crashed.Wait();
  ASSERT_TRUE(test::FileExists(machine.backing_file()));
  Child next("Steps", {"start", "count 1", "mark stale", "down"});
  EXPECT_EQ(next.Wait(10000), 0);
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
}

TEST(Lifecycle, StartupNeedsTheRegistryKeys) {
  TestMachine machine;
  const std::string product = "[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n";
  const std::string installer = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n";
  const std::string shm = "ZYSHAREDMEMORYDIR=" + machine.shm_dir() + "\n";
  const std::string pub = "ZYPUBAPPDATADIR=" + machine.appdata_dir() + "\n";
  const struct {
    std::string registry;
    ViUInt16 expected;
  } cases[] = {
      {installer + shm + pub, 0},  // no product key
      {product + installer + pub, 0},
      {product + installer + shm, 0},
      // The backing file's path must fit 260 characters.
      {product + installer + "ZYSHAREDMEMORYDIR=" + machine.shm_dir() + "/" +
           std::string(240, 'd') + "\n" + pub, 0},
      {product + installer + shm + pub, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registry);
    machine.WriteRegistry(c.registry);
    EXPECT_EQ(Startup(), c.expected);
    Shutdown();
  }
}

// The real shared object: loading never fails, and the load hook's start-up
// result is what zyvisaInitializeServicesIfNeeded reports, as the exit code.
// args[0]: "unload" closes the library again; "exit" keeps it and ends the
// process with exit(), which runs the unload hook after the C++ runtime's own
// destructors (the state shutdown reads must still be there).
ZYVISA_SCENARIO(LoadAndAsk) {
  const bool unload = args.at(0) == "unload";
  const int started = test::CallInLibrary(ZYVISA_SO_PATH, "zyvisaInitializeServicesIfNeeded", unload);
  if (unload) return started;
  std::exit(started);
}

TEST(Lifecycle, LoadedLibraryReportsItsStartupAndShutsDownWhenUnloadedOrAtExit) {
  TestMachine machine;
  for (const char* how : {"unload", "exit"}) {
    Child loaded("LoadAndAsk", {how});
    EXPECT_EQ(loaded.Wait(), 1) << how;
    // The last process deleted the file.
    EXPECT_FALSE(test::FileExists(machine.backing_file())) << how;
  }
  machine.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
                        "ZYSHAREDMEMORYDIR=" + machine.shm_dir() + "\n");
  Child no_product_key("LoadAndAsk", {"unload"});
  EXPECT_EQ(no_product_key.Wait(), 0);
}

TEST(StartupConfig, SizesComeFromTheConfiguration) {
  TestMachine machine;
  const struct {
    const char* values;
    ViUInt16 started;
    uint32_t region_size, max_resources, min_async;
  } cases[] = {
      {"SharedMemSize=1000\n", 1, kMinRegionSize, 512, 512},  // never below the minimum
      {"MaxNumResources = 10 \nMinAsyncCount=4096\n", 1, kMinRegionSize, 10, 4096},
      // A later start-up begins from the built-in maximum again.
      {"", 1, kMinRegionSize, 512, 512},
      {"MaxNumResources=2000\nSharedMemSize=2000000\n", 1, 2000000, 2000, 512},
      // More records than the region holds; 4294967295 clamps to 2^31-1.
      {"MaxNumResources=2000\n", 0, 0, 0, 0},
      {"MaxNumResources=4294967295\n", 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.values);
    machine.WriteConfig(std::string("[VISA-CONFIG]\n") + c.values);
    ASSERT_EQ(Startup(), c.started);
    if (c.started == 1) {
      EXPECT_EQ(State().region_size, c.region_size);
      EXPECT_EQ(State().max_resources, c.max_resources);
      const auto* first = reinterpret_cast<const BlockHeader*>(State().region);
      EXPECT_EQ(first->size, -static_cast<int32_t>((c.max_resources * 436 + 444 + 7) / 8 * 8));
      EXPECT_EQ(reinterpret_cast<const ServicesSharedHead*>(State().services_data)->min_async_count,
                c.min_async);
      // The free tail reaches the end of the region.
      uint32_t end = 0;
      WalkBlocks(State().region, State().region_size, [&](uint32_t offset, const BlockHeader& h) {
        if (h.size >= 0) end = offset + 84 + static_cast<uint32_t>(h.size);
      });
      EXPECT_EQ(end, c.region_size);
    }
    Shutdown();
  }
}

TEST(StartupConfig, OnlyTheCreatorWritesMinAsyncCount) {
  TestMachine machine;
  machine.WriteConfig("[VISA-CONFIG]\nMinAsyncCount=100\n");
  Signal started, leave;
  Child first("Steps", {"start", "notify " + started.id(), "wait " + leave.id(), "down"});
  ASSERT_TRUE(started.Wait(10000));
  machine.WriteConfig("[VISA-CONFIG]\nMinAsyncCount=999\n");
  ASSERT_EQ(Startup(), 1);
  EXPECT_EQ(reinterpret_cast<const ServicesSharedHead*>(State().services_data)->min_async_count,
            100u);
  EXPECT_EQ(UseCount(), 2);
  leave.Notify();
  EXPECT_EQ(first.Wait(), 0);
  Shutdown();
}

}  // namespace
}  // namespace zyvisa::lifecycle
