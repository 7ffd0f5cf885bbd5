// Start-up and shutdown across real processes: who clears the region, the use
// count, who deletes the backing file, leftovers of a killed process, and a
// library that stays loaded when start-up fails.
#include <gtest/gtest.h>

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

// Children of the cross-process cases; signals come as ids in args, and the
// machine as the parent's test made it.

// args: go, ready, leave, marker. Passes the start on to the other child.
ZYVISA_SCENARIO(StartTogetherAndMark) {
  Signal go(args.at(0)), ready(args.at(1)), leave(args.at(2));
  if (!go.Wait(10000)) return 20;
  go.Notify();
  if (Startup() != 1) return 21;
  // A second clearing would wipe the other process's marker and count.
  if (int r = AllocMarker(args.at(3).c_str())) return r;
  ready.Notify();
  if (!leave.Wait(10000)) return 22;
  Shutdown();
  return 0;
}

// args: started, leave, and left ("-" for none).
ZYVISA_SCENARIO(StartUntilToldToLeave) {
  if (Startup() != 1) return 20;
  Signal(args.at(0)).Notify();
  if (!Signal(args.at(1)).Wait(10000)) return 21;
  Shutdown();
  if (args.at(2) != "-") Signal(args.at(2)).Notify();
  return 0;
}

// args: leave, left, backing file. Lets the early process leave while this
// one stays; the file must stay for it.
ZYVISA_SCENARIO(StartLateAndStay) {
  if (Startup() != 1) return 30;
  Signal(args.at(0)).Notify();
  if (!Signal(args.at(1)).Wait(10000)) return 31;
  if (!test::FileExists(args.at(2))) return 32;
  if (UseCount() != 1) return 33;
  Shutdown();
  return test::FileExists(args.at(2)) ? 34 : 0;
}

// args: holding. Killed with the region mapped and the initialization mutex
// held, as if half-way through another start-up.
ZYVISA_SCENARIO(HoldInitMutexUntilKilled) {
  if (Startup() != 1 || AllocMarker("stale") != 0) return 20;
  if (platform::NamedMutexWait(State().init_mutex, platform::kWaitForever) !=
      platform::WaitResult::kAcquired) {
    return 21;
  }
  Signal(args.at(0)).Notify();
  for (;;) platform::SleepMs(1000);
}

ZYVISA_SCENARIO(StartAfterACrash) {
  if (Startup() != 1) return 30;
  if (UseCount() != 1) return 31;
  if (AllocMarker("stale") != 0) return 32;  // the old block survived the clearing
  Shutdown();
  return 0;
}

TEST(Lifecycle, TwoProcessesStartingAtOnceClearOnceAndCountTwo) {
  TestMachine machine;
  Signal go, ready1, ready2, leave;
  Child a("StartTogetherAndMark", {go.id(), ready1.id(), leave.id(), "marker a"});
  Child b("StartTogetherAndMark", {go.id(), ready2.id(), leave.id(), "marker b"});
  go.Notify();
  ASSERT_TRUE(ready1.Wait(10000));
  ASSERT_TRUE(ready2.Wait(10000));
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
  Signal started, leave, left;
  Child early("StartUntilToldToLeave", {started.id(), leave.id(), left.id()});
  ASSERT_TRUE(started.Wait(10000));
  Child late("StartLateAndStay", {leave.id(), left.id(), machine.backing_file()});
  EXPECT_EQ(early.Wait(), 0);
  EXPECT_EQ(late.Wait(), 0);
}

TEST(Lifecycle, ProcessKilledInsideStartupWedgesNothingAndLeavesNothing) {
  TestMachine machine;
  Signal holding;
  Child crashed("HoldInitMutexUntilKilled", {holding.id()});
  ASSERT_TRUE(holding.Wait(10000));
  crashed.Kill();
  crashed.Wait();
  ASSERT_TRUE(test::FileExists(machine.backing_file()));
  Child next("StartAfterACrash", {});
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
      // Key paths and value names compare without regard to case.
      {"[hkey_local_machine\\software\\zylaris\\zy-visa]\n"
       "[HKEY_LOCAL_MACHINE\\software\\ZYLARIS\\common\\installer]\n"
       "zysharedmemorydir=" + machine.shm_dir() + "\nZyPubAppDataDir=" + machine.appdata_dir() + "\n",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.registry);
    machine.WriteRegistry(c.registry);
    EXPECT_EQ(Startup(), c.expected);
    Shutdown();
  }
}

// The real shared object: loading never fails, and the load hook's start-up
// result is what zyvisaInitializeServicesIfNeeded reports. args[0]:
// "unload" closes the library again; "exit" keeps it and ends the process
// with exit(), which runs the unload hook after the C++ runtime's own
// destructors (the state shutdown reads must still be there).
ZYVISA_SCENARIO(LoadAndAsk) {
  const bool unload = args.at(0) == "unload";
  const int started =
      test::CallInLibrary(ZYVISA_SO_PATH, "zyvisaInitializeServicesIfNeeded", unload);
  if (unload) return started;
  if (started != 1) return 1;
  std::exit(0);
}

TEST(Lifecycle, LoadedLibraryReportsItsStartup) {
  TestMachine machine;
  Child loaded("LoadAndAsk", {"unload"});
  EXPECT_EQ(loaded.Wait(), 1);
  // Unloading ran shutdown: the last process deleted the file.
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
  machine.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
                        "ZYSHAREDMEMORYDIR=" + machine.shm_dir() + "\n");
  Child no_product_key("LoadAndAsk", {"unload"});
  EXPECT_EQ(no_product_key.Wait(), 0);
}

TEST(Lifecycle, ProcessExitingWithTheLibraryLoadedShutsDownCleanly) {
  TestMachine machine;
  Child loaded("LoadAndAsk", {"exit"});
  EXPECT_EQ(loaded.Wait(), 0);
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
}

}  // namespace
}  // namespace zyvisa::lifecycle

namespace zyvisa::lifecycle {
namespace {

class StartupConfig : public ::testing::Test {
 protected:
  void Config(const std::string& values) { machine_.WriteConfig("[VISA-CONFIG]\n" + values); }
  test::TestMachine machine_;
};

TEST_F(StartupConfig, SizesComeFromTheConfiguration) {
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
    Config(c.values);
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

TEST_F(StartupConfig, OnlyTheCreatorWritesMinAsyncCount) {
  Config("MinAsyncCount=100\n");
  Signal started, leave;
  Child first("StartUntilToldToLeave", {started.id(), leave.id(), "-"});
  ASSERT_TRUE(started.Wait(10000));
  Config("MinAsyncCount=999\n");
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
