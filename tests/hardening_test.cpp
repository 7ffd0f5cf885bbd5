// Faults a real machine meets: damaged or hostile files and settings, a
// process that exits with threads inside the library, one killed inside
// start-up, a forked child, and the machine folder's permissions. Each runs
// in real processes with a time limit, so a hang shows as a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_objects.h"
#include "zyvisa_sem.h"

namespace zyvisa {
namespace {

using runtime::BlockHeader;
using runtime::ServicesSharedHead;
using test::Child;
using test::Signal;
using test::TestMachine;

constexpr int kLimitMs = 20000;  // far beyond any legitimate wait below
const char kInitMutexFile[] = "zyvisa-mutex-Global%5CZY-VISA Initialization and Termination";

// Start-up in a fresh process: its result, or a crash (negative signal) or a
// hang (-1000). With a region, a system semaphore is allocated too, which
// reads the records the region's chain points at.
int StartupInChild() {
  Child child([] {
    const ViUInt16 started = lifecycle::Startup();
    if (started == 1) {
      ViSemaphore sem = nullptr;
      if (visaSemAlloc("probe", ZYVISA_SEM_SYSTEM, 0, &sem) != VI_SUCCESS) return 10;
    }
    lifecycle::Shutdown();
    return int(started);
  });
  return child.Wait(kLimitMs);
}

// Leaves the machine with its mutex files made and no region.
void Prime() { ASSERT_EQ(StartupInChild(), 1); }

uint16_t UseCount(const std::string& backing_file) {
  size_t size = 0;
  const void* view = platform::MapFileReadOnly(backing_file.c_str(), &size);
  if (view == nullptr || size < 100) return 0xFFFF;
  ServicesSharedHead head;
  std::memcpy(&head, static_cast<const uint8_t*>(view) + sizeof(BlockHeader), sizeof head);
  platform::UnmapFileReadOnly(view, size);
  return head.use_count;
}

// ---------------------------------------------------------------- damaged inputs

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

TEST(DamagedInputs, EachIsRefusedOrRepairedWithoutHangOrCrash) {
  ZYVISA_REQUIRE_FORK();
  const struct {
    const char* what;
    // Damages the machine; may return a share lock to hold while the child runs.
    std::function<platform::SharedFile*(TestMachine&)> damage;
    int started;
  } cases[] = {
      {"SharedMemSize -1 (4 GB read as unsigned)",
       [](TestMachine& m) {
         m.WriteConfig("[VISA-CONFIG]\nSharedMemSize=-1\n");
         return nullptr;
       },
       0},
      {"NumProcessSems 100000000",
       [](TestMachine& m) {
         m.WriteConfig("[VISA-CONFIG]\nNumProcessSems=100000000\n");
         return nullptr;
       },
       0},
      {"NumSystemSems 100000000",
       [](TestMachine& m) {
         m.WriteConfig("[VISA-CONFIG]\nNumSystemSems=100000000\n");
         return nullptr;
       },
       0},
      {"visaconf.ini is a FIFO: defaults",
       [](TestMachine& m) {
         m.WriteConfig("");
         std::remove(m.config_file().c_str());
         test::MakeFifo(m.config_file());
         return nullptr;
       },
       1},
      {"registry file is a FIFO",
       [](TestMachine& m) {
         std::remove(m.registry_path().c_str());
         test::MakeFifo(m.registry_path());
         return nullptr;
       },
       0},
      {"mutex creation lock is a FIFO",
       [](TestMachine& m) {
         test::MakeFifo(m.shm_dir() + "/zyvisa-mutexes.lock");
         return nullptr;
       },
       0},
      {"backing file is a FIFO",
       [](TestMachine& m) {
         test::MakeFifo(m.backing_file());
         return nullptr;
       },
       0},
      {"a block reaching past the mapping, region held by another",
       [](TestMachine& m) {
         Prime();
         WriteRegionWithBlockPastTheEnd(m.backing_file());
         return platform::SharedFileOpen(m.backing_file().c_str(), platform::ShareMode::kShared,
                                         false);
       },
       0},
      {"lock word of the initialization mutex names a thread that does not exist",
       [](TestMachine& m) {
         Prime();
         const int gone = test::GoneProcessId();
         // The futex word is the first word of the mutex, at offset 64 of the file.
         test::PatchFile(m.shm_dir() + "/" + kInitMutexFile, 64, &gone, sizeof gone);
         return nullptr;
       },
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine;
    platform::SharedFile* held = c.damage(machine);
    EXPECT_EQ(StartupInChild(), c.started);
    if (held != nullptr) platform::SharedFileClose(held);
    // No 4 GB file left behind by a refusal.
    std::error_code ec;
    if (std::filesystem::is_regular_file(machine.backing_file(), ec)) {
      EXPECT_LT(std::filesystem::file_size(machine.backing_file(), ec), 1u << 20);
    }
  }
}

// ---------------------------------------------------------------- lifecycle faults

// exit() with threads inside the library: one holds a list semaphore, one
// waits for it, two create and free objects and read the configuration. The
// process must end, and the machine must work after it.
TEST(LifecycleFaults, ExitWithThreadsInsideTheLibraryEndsAndLeavesTheMachineUsable) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE(round);
    Child process([&] {
      void* lib = platform::LibraryLoad(ZYVISA_SO_PATH);
      if (lib == nullptr) return 20;
      auto sym = [&](const char* name) { return platform::LibrarySymbol(lib, name); };
      auto list_mutex = reinterpret_cast<decltype(&zyvisaGetObjectListMutex)>(
          sym("zyvisaGetObjectListMutex"));
      auto acquire = reinterpret_cast<decltype(&visaSemAcquire)>(sym("visaSemAcquire"));
      auto create = reinterpret_cast<decltype(&zyvisaCreateObject)>(sym("zyvisaCreateObject"));
      auto free_object = reinterpret_cast<decltype(&zyvisaFreeObject)>(sym("zyvisaFreeObject"));
      auto ini = reinterpret_cast<decltype(&visaGetIniString)>(sym("visaGetIniString"));
      ViSemaphore list = list_mutex(ZYVISA_KIND_SESSION);
      std::atomic<bool> held{false};
      std::thread([&] {
        ViUInt16 got = 0;
        acquire(list, 0xFFFFFFFFu, &got);
        held = true;
        for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
      }).detach();
      while (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::thread([&] { acquire(list, 0xFFFFFFFFu, nullptr); }).detach();
      const std::string config = machine.config_file();
      for (int i = 0; i < 2; ++i) {
        std::thread([=] {
          char text[256];
          for (;;) {
            ViUInt32 handle = 0;
            ViAddr object = create(ZYVISA_KIND_RSRC_MANAGER, 256, &handle);
            if (object != nullptr) free_object(ZYVISA_KIND_RSRC_MANAGER, object, ViUInt16(handle));
            ini(config.c_str(), "VISA-CONFIG", "Missing", "x", text);
          }
        }).detach();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
      std::exit(0);
    });
    EXPECT_EQ(process.Wait(kLimitMs), 0);
  }
  // The last process deleted the region, and nobody holds the mutex.
  EXPECT_FALSE(test::FileExists(machine.backing_file()));
  EXPECT_EQ(StartupInChild(), 1);
}

// Killed while holding the initialization mutex, before formatting the region,
// while its share lock outlives it (here: kept by a forked child that shares
// its open file, as the dying process's own lock can be for a moment).
TEST(LifecycleFaults, ProcessKilledInsideStartupNeverFailsTheNextOne) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  Prime();
  Signal holding;
  Child killed([&] {
    platform::SetMachineFolder(machine.shm_dir().c_str());
    platform::NamedMutex* init = platform::NamedMutexOpen("Global\\ZY-VISA Initialization and Termination");
    platform::SharedFile* file = platform::SharedFileOpen(
        machine.backing_file().c_str(), platform::ShareMode::kShared, false);
    if (init == nullptr || file == nullptr) return 20;
    platform::NamedMutexWait(init, platform::kWaitForever);
    Child lingering([] {
      platform::SleepMs(300);
      return 0;
    });
    holding.Notify();
    for (;;) platform::SleepMs(1000);
  });
  ASSERT_TRUE(holding.Wait(kLimitMs));
  killed.Kill();
  EXPECT_EQ(StartupInChild(), 1);
  EXPECT_EQ(StartupInChild(), 1);
}

// A start-up that fails keeps no share lock: the last process of the machine
// still deletes the region while the failed process lives on.
TEST(LifecycleFaults, FailedStartupKeepsNoShareOfTheRegion) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  Signal started, failed, leave;
  Child last([&] {
    if (lifecycle::Startup() != 1) return 20;
    started.Notify();
    if (!failed.Wait(kLimitMs)) return 21;
    lifecycle::Shutdown();
    return test::FileExists(machine.backing_file()) ? 22 : 0;
  });
  ASSERT_TRUE(started.Wait(kLimitMs));
  machine.WriteConfig("[VISA-CONFIG]\nMaxNumResources=10\n");  // disagrees with the region
  Child other([&] {
    if (lifecycle::Startup() != 0) return 20;
    failed.Notify();
    return leave.Wait(kLimitMs) ? 0 : 21;
  });
  EXPECT_EQ(last.Wait(kLimitMs), 0);
  leave.Notify();
  EXPECT_EQ(other.Wait(kLimitMs), 0);
}

// A forked child that exits (running the unload hook it inherited) leaves its
// parent's standing alone: the use count stays, the region stays.
TEST(LifecycleFaults, ForkedChildLeavesTheUseCountToItsParent) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  Child parent([&] {
    void* lib = platform::LibraryLoad(ZYVISA_SO_PATH);
    if (lib == nullptr) return 20;
    Child forked([] {
      std::exit(0);
      return 0;
    });
    if (forked.Wait(kLimitMs) != 0) return 21;
    if (!test::FileExists(machine.backing_file())) return 22;
    if (const uint16_t count = UseCount(machine.backing_file()); count != 1) return 30 + count;
    platform::LibraryFree(lib);
    return test::FileExists(machine.backing_file()) ? 23 : 0;
  });
  EXPECT_EQ(parent.Wait(kLimitMs), 0);
}

// ---------------------------------------------------------------- who may touch a machine

TEST(MachineFolder, BelongsToItsGroupWithMembersFilesProtected) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  const std::string folder = machine.shm_dir() + "/made by start-up";
  std::string registry = machine.DefaultRegistry();
  registry.replace(registry.find(machine.shm_dir() + "\n"), machine.shm_dir().size(), folder);
  machine.WriteRegistry(registry);
  ASSERT_EQ(lifecycle::Startup(), 1);
  EXPECT_EQ(test::FileMode(folder), 03770);  // set-group-id, sticky, group only
  EXPECT_TRUE(test::InOurGroup(folder));
  EXPECT_EQ(test::FileMode(folder + "/ZY-VISA Shared Memory.tmp"), 0660);
  EXPECT_EQ(test::FileMode(folder + "/" + kInitMutexFile), 0660);
  lifecycle::Shutdown();
}

// A mutex file deleted while the mutex is in use is refused, never replaced
// by a new mutex of the same name beside the old one.
TEST(MachineFolder, MissingMutexFileOfAMutexInUseIsAnError) {
  ZYVISA_REQUIRE_FORK();
  TestMachine machine;
  Signal ready, leave;
  Child holder([&] {
    ViSemaphore sem = nullptr;
    if (lifecycle::Startup() != 1 || visaSemAlloc("held", ZYVISA_SEM_SYSTEM, 0, &sem) != VI_SUCCESS ||
        visaSemAcquire(sem, 0, nullptr) != VI_SUCCESS) {
      return 20;
    }
    ready.Notify();
    return leave.Wait(kLimitMs) ? 0 : 21;
  });
  ASSERT_TRUE(ready.Wait(kLimitMs));
  const std::string sem_file = machine.shm_dir() + "/zyvisa-mutex-Global%5CZYVISA_SYSTEM_SEMAPHORES #0";
  ASSERT_TRUE(test::FileExists(sem_file));
  std::remove(sem_file.c_str());
  Child second_holder([] {
    ViSemaphore sem = nullptr;
    if (lifecycle::Startup() != 1) return 20;
    return visaSemAlloc("held", ZYVISA_SEM_SYSTEM, 0, &sem) == VI_ERROR_ALLOC ? 0 : 21;
  });
  EXPECT_EQ(second_holder.Wait(kLimitMs), 0);
  EXPECT_FALSE(test::FileExists(sem_file));
  const std::string init_file = machine.shm_dir() + "/" + kInitMutexFile;
  std::remove(init_file.c_str());
  EXPECT_EQ(StartupInChild(), 0);
  EXPECT_FALSE(test::FileExists(init_file));
  leave.Notify();
  EXPECT_EQ(holder.Wait(kLimitMs), 0);
}

}  // namespace
}  // namespace zyvisa
