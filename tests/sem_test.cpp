// Named semaphores of both scopes: one record per name across processes,
// time-outs against another process, killed holders, recursion, the table
// rules (names, lowest free record, full tables) and many contending threads.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/startup.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "sync/sem_record.h"
#include "zyvisa_sem.h"

namespace {

namespace pf = zyvisa::platform;
namespace lc = zyvisa::lifecycle;
using zyvisa::sync::kNoOwner;
using zyvisa::test::Child;
using zyvisa::test::ScenarioArgs;
using zyvisa::test::Signal;

constexpr int kChildTimeoutMs = 10000;
constexpr ViUInt16 kProcess = ZYVISA_SEM_PROCESS;
constexpr ViUInt16 kSystem = ZYVISA_SEM_SYSTEM;

ViSemaphore Alloc(const std::string& name, ViUInt16 scope, ViUInt16 recursive = 0) {
  ViSemaphore handle = nullptr;
  EXPECT_EQ(visaSemAlloc(name.c_str(), scope, recursive, &handle), VI_SUCCESS) << name;
  return handle;
}

// Tries the semaphore from another thread, without waiting.
bool FreeForOtherThreads(ViSemaphore handle) {
  bool got = false;
  std::thread([&] {
    ViUInt16 acquired = 0;
    got = visaSemAcquire(handle, 0, &acquired) == VI_SUCCESS;
    if (got) visaSemRelease(handle, &acquired);
  }).join();
  return got;
}

// Takes process records until the table refuses. Start-up keeps records of
// its own in the table, so tests count what is left instead of assuming it.
std::vector<ViSemaphore> FillProcessTable() {
  std::vector<ViSemaphore> taken;
  ViSemaphore h = nullptr;
  while (taken.size() < 1000 && visaSemAlloc(("filler " + std::to_string(taken.size())).c_str(),
                                             kProcess, 0, &h) == VI_SUCCESS) {
    taken.push_back(h);
  }
  return taken;
}

size_t FreeProcessRecords() {
  const std::vector<ViSemaphore> taken = FillProcessTable();
  for (ViSemaphore h : taken) visaSemFree(h);
  return taken.size();
}

// A machine of its own for every test. Children start the library on it
// themselves, as loading would, so they are forked before Start().
class SemTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure(16, 16); }
  void TearDown() override { if (started_) lc::Shutdown(); }
  // Takes effect in the processes that start after it.
  void Configure(int32_t system_count, int32_t process_count) {
    machine_.WriteConfig("[VISA-CONFIG]\nNumSystemSems=" + std::to_string(system_count) +
                         "\nNumProcessSems=" + std::to_string(process_count) + "\n");
  }
  bool Start() { return started_ = lc::Startup() == 1; }
  zyvisa::test::TestMachine machine_;
  bool started_ = false;
};

// A process that starts the library and holds the recursive system semaphore
// args[0] twice until it is killed, after notifying args[1].
ZYVISA_SCENARIO(HoldSystemSemaphore) {
  ViSemaphore h = lc::Startup() == 1 ? Alloc(args.at(0), kSystem, 1) : nullptr;
  if (visaSemAcquire(h, VI_TMO_INFINITE, nullptr) || visaSemAcquire(h, 0, nullptr)) return 1;
  Signal(args.at(1)).Notify();
  for (;;) pf::SleepMs(1000);
}

// Leaves the library as unloading would, its record behind.
ZYVISA_SCENARIO(AllocSystemSemaphoreAndLeave) {
  if (lc::Startup() != 1 || Alloc("made elsewhere", kSystem) == nullptr) return 1;
  lc::Shutdown();
  return 0;
}

// Exit code 0 when start-up, once args[0] is notified, fails.
ZYVISA_SCENARIO(StartupFailsWhenTold) {
  return Signal(args.at(0)).Wait(kChildTimeoutMs) && lc::Startup() != 1 ? 0 : 1;
}

// ---------------------------------------------------------------- across processes

TEST_F(SemTest, OneRecordPerNameAcrossProcessesAndKilledHoldersDoNotBlock) {
  const std::string name = "ZY-VISA Mutex for Resource #3";
  Signal held;
  auto holder = std::make_unique<Child>("HoldSystemSemaphore", ScenarioArgs{name, held.id()});
  ASSERT_TRUE(held.Wait(kChildTimeoutMs));
  Child maker("AllocSystemSemaphoreAndLeave", {});
  Signal go;
  Child other_size("StartupFailsWhenTold", {go.id()});
  ASSERT_TRUE(Start());
  ViSemaphore h = Alloc(name, kSystem, 1);
  EXPECT_EQ(h->record->owner_pid.load(), uint32_t(holder->pid()));  // the holder's record
  ViUInt16 acquired = 7;
  EXPECT_EQ(visaSemAcquire(h, 100, &acquired), VI_ERROR_TMO);
  EXPECT_EQ(acquired, 0);

  holder->Kill();
  ASSERT_EQ(holder->Wait(kChildTimeoutMs), -9);
  // The inspection tool (given the region: a test's private registry does not
  // follow it into another program on Windows) shows the dead holder's record.
  std::string json;
  ASSERT_EQ(zyvisa::test::RunProgram(std::string(ZYVISA_INSPECT_PATH) + " --json --file \"" +
                                         machine_.backing_file() + "\"", &json), 3);
  const size_t at = json.find("\"owner_pid\":" + std::to_string(holder->pid()) + ",");
  EXPECT_NE(json.find("\"owner_alive\":false,\"hold_count\":2,\"recursive\":true}", at),
            std::string::npos) << json;
  EXPECT_EQ(visaSemAcquire(h, VI_TMO_INFINITE, &acquired), VI_SUCCESS);
  EXPECT_EQ(h->record->hold_count.load(), 1u);  // the dead holder's count went with it
  EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);
  EXPECT_TRUE(FreeForOtherThreads(h));

  // Records stay when their makers leave or die, and when a handle closes:
  // the maker's is found before the lowest free record.
  ASSERT_EQ(maker.Wait(kChildTimeoutMs), 0);
  const zyvisa::sync::SemRecord* record = h->record;
  EXPECT_EQ(zyvisaSemCloseMutex(h), VI_TRUE);
  EXPECT_EQ(Alloc("mine", kSystem)->record, record + 2);
  EXPECT_EQ(Alloc("made elsewhere", kSystem)->record, record + 1);
  EXPECT_EQ(Alloc(name, kSystem)->record, record);
  // A process configured for another table size cannot join this region.
  Configure(8, 16);
  go.Notify();
  EXPECT_EQ(other_size.Wait(kChildTimeoutMs), 0);
}

// ---------------------------------------------------------------- in one process

TEST_F(SemTest, AcquireAndReleaseRules) {
  ASSERT_TRUE(Start());
  for (const ViUInt16 scope : {kProcess, kSystem}) {
    SCOPED_TRACE(scope);
    // Recursive: three acquisitions need three releases.
    ViSemaphore r = Alloc("recursive", scope, 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(visaSemAcquire(r, 0, nullptr), VI_SUCCESS);
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(FreeForOtherThreads(r)) << i;
      EXPECT_EQ(visaSemRelease(r, nullptr), VI_SUCCESS);
    }
    EXPECT_EQ(r->record->owner_tid.load(), kNoOwner);
    EXPECT_TRUE(FreeForOtherThreads(r));

    ViSemaphore h = Alloc("not recursive", scope);
    ViUInt16 first = 5, second = 9;
    EXPECT_EQ(visaSemRelease(h, &first), VI_ERROR_SESN_NLOCKED);  // not held
    EXPECT_EQ(first, 0);
    ASSERT_EQ(visaSemAcquire(h, 0, &first), VI_SUCCESS);
    // Not recursive: the owner waits for its own release until the time-out.
    EXPECT_EQ(visaSemAcquire(h, 50, &second), VI_ERROR_TMO);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(visaSemRelease(h, &second), VI_SUCCESS);  // acquired 0: nothing done
    EXPECT_EQ(h->record->hold_count.load(), 1u);
    // Released by another thread: a process semaphore by any thread of the
    // process, a system one only by the thread that holds it.
    std::thread([&] {
      EXPECT_EQ(visaSemRelease(h, nullptr), scope == kSystem ? VI_ERROR_SYSTEM_ERROR : VI_SUCCESS);
    }).join();
    // The owner's own release: still needed by the system one only.
    EXPECT_EQ(visaSemRelease(h, &first), scope == kSystem ? VI_SUCCESS : VI_ERROR_SESN_NLOCKED);
    EXPECT_TRUE(FreeForOtherThreads(h));  // one release freed it whole
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_ERROR_SESN_NLOCKED);
  }
}

TEST_F(SemTest, NamesAndHandles) {
  ASSERT_TRUE(Start());
  ViSemaphore a = Alloc("Device list", kProcess, 1);
  EXPECT_EQ(Alloc("Device list", kProcess, 1), a);
  EXPECT_NE(Alloc("device list", kProcess, 1), a);  // case matters
  ViSemaphore s = Alloc("Device list", kSystem, 1);
  EXPECT_EQ(Alloc("Device list", 7, 1), s);  // any non-zero scope is system
  EXPECT_EQ(visaSemFree(s), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(visaSemFree(a), VI_SUCCESS);
  // A missing handle is refused before anything is written.
  ViUInt16 flag = 7;
  EXPECT_EQ(visaSemAcquire(nullptr, 0, &flag), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSemRelease(nullptr, &flag), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(flag, 7);
  // The name field holds 79 characters and the terminator: 80 are refused,
  // never cut short to match another name.
  const std::string longest(79, 'n');
  EXPECT_EQ(Alloc(longest, kSystem), Alloc(longest, kSystem));
  ViSemaphore h = reinterpret_cast<ViSemaphore>(1);
  EXPECT_EQ(visaSemAlloc((longest + "n").c_str(), kSystem, 0, &h), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(h, nullptr);
}

TEST_F(SemTest, LowestFreeRecordWinsAndFullTablesRefuse) {
  Configure(3, 64);
  ASSERT_TRUE(Start());
  ViSemaphore first = Alloc("first", kProcess);
  ViSemaphore second = Alloc("second", kProcess);
  ASSERT_EQ(visaSemFree(first), VI_SUCCESS);
  // The first one's record is free again and comes before the one named "second".
  EXPECT_LT(Alloc("second", kProcess)->record, second->record);

  std::vector<ViSemaphore> taken = FillProcessTable();
  ASSERT_FALSE(taken.empty());
  EXPECT_LT(taken.size(), 64u);  // refused when full
  const zyvisa::sync::SemRecord* freed = taken.front()->record;
  ASSERT_EQ(visaSemFree(taken.front()), VI_SUCCESS);
  EXPECT_EQ(Alloc("late", kProcess)->record, freed);
  ViSemaphore none = nullptr;
  EXPECT_EQ(visaSemAlloc("later", kProcess, 0, &none), VI_ERROR_ALLOC);
  for (int i = 0; i < 3; ++i) Alloc("system " + std::to_string(i), kSystem);
  EXPECT_EQ(visaSemAlloc("one too many", kSystem, 0, &none), VI_ERROR_ALLOC);
  EXPECT_NE(Alloc("system 2", kSystem), nullptr);  // known names still found

  lc::Shutdown();
  started_ = false;
  // Without tables nothing can be allocated.
  EXPECT_EQ(visaSemAlloc("after", kSystem, 0, &none), VI_ERROR_ALLOC);
}

// Threads hammer one semaphore with infinite and short waits while two more
// allocate and free process semaphores of their own. A counter proves that no
// two ever hold it at once; finishing proves that no wake-up was lost (a lost
// one leaves a waiter asleep for ever); the records of the process table all
// come back.
void Contend(ViSemaphore h, int threads, int rounds) {
  const size_t free_records = FreeProcessRecords();
  std::atomic<int> inside{0}, overlaps{0};
  std::atomic<long> entered{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads + 2; ++t) {
    workers.emplace_back([&, t] {
      const std::string own = "worker " + std::to_string(t);
      for (int i = 0; i < rounds; ++i) {
        if (t >= threads) {  // two more threads allocate and free names of their own
          ViSemaphore mine = Alloc(own, kProcess);
          ASSERT_TRUE(mine && own == mine->record->name && visaSemFree(mine) == VI_SUCCESS);
          continue;
        }
        // Odd threads give up after 0 or 1 ms: time-outs that race releases.
        const ViUInt32 timeout = (t % 2 == 1) ? ViUInt32(i % 2) : ViUInt32(VI_TMO_INFINITE);
        ViUInt16 acquired = 0;
        if (visaSemAcquire(h, timeout, &acquired) != VI_SUCCESS) continue;
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        entered.fetch_add(1);
        if (i % 8 == 0) pf::SleepMs(0);
        inside.fetch_sub(1);
        EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GE(entered.load(), long(threads / 2) * rounds);  // every infinite wait got in
  EXPECT_EQ(h->record->owner_tid.load(), kNoOwner);
  EXPECT_EQ(h->record->lock_counter.load(), -1);  // no waiter's mark left behind
  EXPECT_TRUE(FreeForOtherThreads(h));
  EXPECT_EQ(FreeProcessRecords(), free_records);
}

// args: waiters, time-out. Frees a process semaphore that threads wait on:
// the free returns at once, each waiter leaves empty-handed without touching
// freed memory, and the record is given back once the last one left.
ZYVISA_SCENARIO(FreeWhileWaitedOn) {
  const int waiters = std::stoi(args.at(0));
  const auto timeout = ViUInt32(std::stoul(args.at(1)));
  ViSemaphore h = lc::Startup() == 1 ? Alloc("waited on", kProcess) : nullptr;
  if (h == nullptr || visaSemAcquire(h, 0, nullptr) != VI_SUCCESS) return 1;
  zyvisa::sync::SemRecord* record = h->record;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < waiters; ++i) {
    threads.emplace_back([&] {
      ViUInt16 acquired = 7;
      failures += visaSemAcquire(h, timeout, &acquired) != VI_ERROR_TMO || acquired != 0;
    });
  }
  while (record->lock_counter.load() < waiters) pf::SleepMs(1);
  if (visaSemFree(h) != VI_SUCCESS) return 2;
  for (std::thread& t : threads) t.join();
  if (failures != 0) return 3;
  // The record was kept out of use while waited on, and is free again now.
  return Alloc("next", kProcess)->record == record ? 0 : 4;
}

// Run in a child, so that a free that blocks shows as a child that never ends.
TEST_F(SemTest, FreeingAProcessSemaphoreNeverWaitsForItsWaiters) {
  const std::string forever = std::to_string(VI_TMO_INFINITE);
  for (const ScenarioArgs& row : {ScenarioArgs{"3", forever}, {"2", "60000"}})
    EXPECT_EQ(Child("FreeWhileWaitedOn", row).Wait(kChildTimeoutMs), 0) << row[0] << " " << row[1];
}

TEST_F(SemTest, ContendingThreadsNeverHoldItAtOnce) {
  ASSERT_TRUE(Start());
  Contend(Alloc("contended", kProcess), 4, 3000);
  Contend(Alloc("contended", kSystem, 1), 4, 1000);
}

}  // namespace
