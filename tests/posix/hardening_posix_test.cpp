// Faults of the POSIX build's own mechanisms: files in the machine folder
// that are FIFOs or hold a stale lock word, exit() with threads inside the
// library, share locks that outlive a killed process, fork, and the machine
// folder's modes and mutex files.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "support/inspect_tool.h"
#include "support/posix/posix_files.h"
#include "support/test_machine.h"
#include "zyvisa_config.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_objects.h"
#include "zyvisa_sem.h"

namespace zyvisa {
namespace {

using test::Child;
using test::Signal;
using test::TestMachine;

constexpr int kLimitMs = 20000;
const char kInitMutexFile[] = "zyvisa-mutex-Global%5CZY-VISA Initialization and Termination";

int StartupInChild() { return Child("StartAndProbe", {}).Wait(kLimitMs); }
void Prime() { ASSERT_EQ(StartupInChild(), 1); }

// A FIFO blocks whoever opens it; a lock word naming a thread that does not
// exist must be taken over.
TEST(DamagedInputs, FifosAndAStaleLockWordNeitherHangNorCrash) {
  const struct {
    const char* what;
    std::string (*path)(const TestMachine&);
    int started;
  } cases[] = {
      {"visaconf.ini: defaults", [](const TestMachine& m) { return m.config_file(); }, 1},
      {"registry file", [](const TestMachine& m) { return m.registry_path(); }, 0},
      {"mutex creation lock", [](const TestMachine& m) { return m.shm_dir() + "/zyvisa-mutexes.lock"; }, 0},
      {"backing file", [](const TestMachine& m) { return m.backing_file(); }, 0},
      {"initialization mutex's lock word", nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestMachine machine;
    machine.WriteConfig("");
    if (c.path != nullptr) {
      std::remove(c.path(machine).c_str());
      test::MakeFifo(c.path(machine));
    } else {
      Prime();
      const int gone = test::GoneProcessId();
      // The futex word is the first word of the mutex, at offset 64 of the file.
      std::string file = test::ReadFile(machine.shm_dir() + "/" + kInitMutexFile);
      std::memcpy(&file[64], &gone, sizeof gone);
      test::WriteFile(machine.shm_dir() + "/" + kInitMutexFile, file);
    }
    EXPECT_EQ(StartupInChild(), c.started);
  }
}

// exit() with threads inside the library: one holds a list semaphore, one
// waits for it, two create and free objects and read the configuration. The
// process must end, and the machine must work after it.
TEST(LifecycleFaults, ExitWithThreadsInsideTheLibraryEndsAndLeavesTheMachineUsable) {
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

// A forked child that exits (running the unload hook it inherited) leaves its
// parent's standing alone: the use count stays, the region stays.
TEST(LifecycleFaults, ForkedChildLeavesTheUseCountToItsParent) {
  TestMachine machine;
  Child parent([&] {
    void* lib = platform::LibraryLoad(ZYVISA_SO_PATH);
    if (lib == nullptr) return 20;
    Child forked([] {
      std::exit(0);
      return 0;
    });
    if (forked.Wait(kLimitMs) != 0) return 21;
    int code = 0;
    const std::string json = test::Inspect("--json " + test::Region(machine), &code);
    if (json.find("\"use_count\":1,") == std::string::npos) return 22;
    platform::LibraryFree(lib);
    return test::FileExists(machine.backing_file()) ? 23 : 0;
  });
  EXPECT_EQ(parent.Wait(kLimitMs), 0);
}

// ---------------------------------------------------------------- who may touch a machine

TEST(MachineFolder, BelongsToItsGroupWithMembersFilesProtected) {
  TestMachine machine;
  const std::string folder = machine.shm_dir() + "/made by start-up";
  std::string registry = machine.DefaultRegistry();
  registry.replace(registry.find(machine.shm_dir() + "\n"), machine.shm_dir().size(), folder);
  machine.WriteRegistry(registry);
  ASSERT_EQ(lifecycle::Startup(), 1);
  const auto mode = [](const std::string& path) {
    return int(std::filesystem::status(path).permissions()) & 07777;
  };
  EXPECT_EQ(mode(folder), 03770);  // set-group-id, sticky, group only
  EXPECT_TRUE(test::InOurGroup(folder));
  EXPECT_EQ(mode(folder + "/ZY-VISA Shared Memory.tmp"), 0660);
  lifecycle::Shutdown();
}

// A mutex file deleted while the mutex is in use is refused, never replaced
// by a new mutex of the same name beside the old one.
TEST(MachineFolder, MissingMutexFileOfAMutexInUseIsAnError) {
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
