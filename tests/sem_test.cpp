// Named semaphores of both scopes: one record per name across processes,
// time-outs against another process, killed holders, recursion, the table
// rules (names, lowest free record, full tables) and many contending threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/process_state.h"
#include "lifecycle/shared_region.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "sync/sem_record.h"
#include "sync/sem_tables.h"
#include "zyvisa_sem.h"

namespace {

namespace pf = zyvisa::platform;
namespace lc = zyvisa::lifecycle;
namespace sync = zyvisa::sync;
using zyvisa::test::Child;
using zyvisa::test::Signal;

constexpr int kChildTimeoutMs = 10000;
constexpr ViUInt16 kProcess = ZYVISA_SEM_PROCESS;
constexpr ViUInt16 kSystem = ZYVISA_SEM_SYSTEM;
// Start-up takes these process records itself: the four object lists' semaphores.
constexpr int32_t kStartupProcessSems = 4;

// A machine of its own for every test; each process of a test starts the
// library on it and shuts it down again, as loading and unloading would.
class SemTest : public ::testing::Test {
 protected:
  void SetUp() override { UseTableSizes(16, 16); }

  // Rewrites the configuration; only before a process starts.
  void UseTableSizes(int32_t system_count, int32_t process_count) {
    system_count_ = system_count;
    machine_.WriteConfig("[VISA-CONFIG]\nNumSystemSems=" + std::to_string(system_count) +
                         "\nNumProcessSems=" + std::to_string(process_count) + "\n");
  }

  static bool Join() { return lc::Startup() == 1; }
  static void Leave() { lc::Shutdown(); }

  static ViSemaphore Alloc(const std::string& name, ViUInt16 scope, ViUInt16 recursive) {
    ViSemaphore handle = nullptr;
    EXPECT_EQ(visaSemAlloc(name.c_str(), scope, recursive, &handle), VI_SUCCESS) << name;
    return handle;
  }

  // Index of a system handle's record: the same in every process.
  long SystemIndex(ViSemaphore handle) const {
    void* records = nullptr;
    ViUInt16 created = 0;
    EXPECT_EQ(lc::AllocBlock(lc::State().region, lc::State().region_size, sync::kSystemBlockName,
                             ViUInt32(system_count_ * sizeof(sync::SemRecord)), &records, &created),
              VI_SUCCESS);
    return long(handle->record - static_cast<sync::SemRecord*>(records));
  }

  zyvisa::test::TestMachine machine_;
  int32_t system_count_ = 0;
};

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

// ---------------------------------------------------------------- across processes

TEST_F(SemTest, SameNameInTwoProcessesIsOneLockAndTimesOut) {
  Signal held, offset, done;
  Child holder([&] {
    if (!Join()) return 1;
    ViSemaphore h = Alloc("Instrument bus", kSystem, 0);
    ViUInt16 acquired = 0;
    if (visaSemAcquire(h, VI_TMO_INFINITE, &acquired) != VI_SUCCESS) return 2;
    held.Notify(char(SystemIndex(h)));
    done.Wait(kChildTimeoutMs);
    if (visaSemRelease(h, &acquired) != VI_SUCCESS) return 3;
    Leave();
    return 0;
  });
  ASSERT_TRUE(Join());
  ViSemaphore h = Alloc("Instrument bus", kSystem, 0);
  char child_index = -1;
  ASSERT_TRUE(held.Wait(kChildTimeoutMs, &child_index));
  EXPECT_EQ(SystemIndex(h), child_index);
  EXPECT_EQ(h->record->owner_pid.load(), uint32_t(holder.pid()));

  ViUInt16 acquired = 7;
  const uint64_t start = pf::MonotonicMs();
  EXPECT_EQ(visaSemAcquire(h, 100, &acquired), VI_ERROR_TMO);
  const uint64_t waited = pf::MonotonicMs() - start;
  EXPECT_GE(waited, 99u);
  EXPECT_LT(waited, 2000u);
  EXPECT_EQ(acquired, 0);
  EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);  // nothing was acquired
  EXPECT_EQ(h->record->hold_count.load(), 1u);          // the holder's, untouched

  done.Notify();
  EXPECT_EQ(visaSemAcquire(h, 5000, &acquired), VI_SUCCESS);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);
  EXPECT_EQ(holder.Wait(kChildTimeoutMs), 0);
  Leave();
}

TEST_F(SemTest, HolderKilledDoesNotBlockTheNextAcquirer) {
  Signal held;
  Child holder([&] {
    if (!Join()) return 1;
    ViSemaphore h = Alloc("ZY-VISA Mutex for Resource #3", kSystem, 1);
    visaSemAcquire(h, VI_TMO_INFINITE, nullptr);
    visaSemAcquire(h, VI_TMO_INFINITE, nullptr);  // held twice when killed
    held.Notify();
    for (;;) pf::SleepMs(1000);
  });
  ASSERT_TRUE(Join());
  ViSemaphore h = Alloc("ZY-VISA Mutex for Resource #3", kSystem, 1);
  ASSERT_TRUE(held.Wait(kChildTimeoutMs));
  EXPECT_EQ(visaSemAcquire(h, 0, nullptr), VI_ERROR_TMO);
  std::thread killer([&] {
    pf::SleepMs(50);
    holder.Kill();
  });
  ViUInt16 acquired = 0;
  const uint64_t start = pf::MonotonicMs();
  EXPECT_EQ(visaSemAcquire(h, VI_TMO_INFINITE, &acquired), VI_SUCCESS);
  EXPECT_LT(pf::MonotonicMs() - start, 1000u);
  killer.join();
  // The dead holder's count is gone with it; ours starts at 1.
  EXPECT_EQ(h->record->hold_count.load(), 1u);
  EXPECT_EQ(h->record->owner_pid.load(), pf::CurrentProcessId());
  EXPECT_EQ(visaSemAcquire(h, 0, nullptr), VI_SUCCESS);
  EXPECT_EQ(visaSemRelease(h, nullptr), VI_SUCCESS);
  EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);
  EXPECT_TRUE(FreeForOtherThreads(h));
  Leave();
}

TEST_F(SemTest, SystemRecordsOutliveTheProcessThatMadeThem) {
  Signal joined;
  Child maker([&] {
    if (!joined.Wait(kChildTimeoutMs) || !Join()) return 1;
    Alloc("made elsewhere", kSystem, 0);
    Alloc("also made elsewhere", kSystem, 0);
    Leave();
    return 0;
  });
  ASSERT_TRUE(Join());  // keeps the region while the maker comes and goes
  joined.Notify();
  ASSERT_EQ(maker.Wait(kChildTimeoutMs), 0);
  ViSemaphore first = Alloc("mine", kSystem, 0);
  ViSemaphore found = Alloc("also made elsewhere", kSystem, 1);
  EXPECT_EQ(SystemIndex(found), 1);
  EXPECT_EQ(SystemIndex(first), 2);
  EXPECT_EQ(found->record->recursive.load(), 1);  // set by this process's request
  EXPECT_EQ(zyvisaSemCloseMutex(found), VI_TRUE);
  found = Alloc("also made elsewhere", kSystem, 0);  // closing left the record allocated
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SystemIndex(found), 1);

  // A process configured for another table size cannot join this region.
  UseTableSizes(8, 16);
  Child other_size([&] { return Join() ? 1 : 0; });
  EXPECT_EQ(other_size.Wait(kChildTimeoutMs), 0);
  Leave();
  EXPECT_FALSE(sync::CreateSystemTable(16));  // no region mapped
}

TEST_F(SemTest, InspectShowsHoldersAndWhetherTheyLive) {
  Signal held;
  Child dead([&] {
    if (!Join()) return 1;
    ViSemaphore h = Alloc("left behind", kSystem, 0);
    if (visaSemAcquire(h, 0, nullptr) != VI_SUCCESS) return 2;
    held.Notify();
    for (;;) pf::SleepMs(1000);
  });
  ASSERT_TRUE(Join());
  ASSERT_TRUE(held.Wait(kChildTimeoutMs));
  dead.Kill();
  ASSERT_EQ(dead.Wait(kChildTimeoutMs), -9);
  ViSemaphore mine = Alloc("held \"here\"", kSystem, 1);
  ASSERT_EQ(visaSemAcquire(mine, 0, nullptr), VI_SUCCESS);
  ASSERT_EQ(visaSemAcquire(mine, 0, nullptr), VI_SUCCESS);
  Alloc("idle", kSystem, 0);

  std::string json;
  ASSERT_EQ(zyvisa::test::RunProgram(std::string(ZYVISA_INSPECT_PATH) + " --json", &json), 0)
      << json;
  const std::string me = std::to_string(pf::CurrentProcessId());
  const std::string tid = std::to_string(pf::CurrentThreadId());
  const std::string dead_pid = std::to_string(dead.pid());
  EXPECT_NE(json.find("\"system_semaphores\":{\"records\":16,\"allocated\":3,"),
            std::string::npos) << json;
  EXPECT_NE(json.find("{\"index\":0,\"name\":\"left behind\",\"free\":false,\"owner_pid\":" +
                      dead_pid + ",\"owner_tid\":" + dead_pid +
                      ",\"owner_alive\":false,\"hold_count\":1,\"recursive\":false}"),
            std::string::npos) << json;
  EXPECT_NE(json.find("{\"index\":1,\"name\":\"held \\\"here\\\"\",\"free\":false,\"owner_pid\":" +
                      me + ",\"owner_tid\":" + tid +
                      ",\"owner_alive\":true,\"hold_count\":2,\"recursive\":true}"),
            std::string::npos) << json;
  EXPECT_NE(json.find("{\"index\":2,\"name\":\"idle\",\"free\":false,\"owner_pid\":null,"
                      "\"owner_tid\":null,\"owner_alive\":null,\"hold_count\":0,"
                      "\"recursive\":false}]}"),
            std::string::npos) << json;

  std::string text;
  ASSERT_EQ(zyvisa::test::RunProgram(ZYVISA_INSPECT_PATH, &text), 0) << text;
  EXPECT_NE(text.find("system semaphores: 3 of 16 records allocated"), std::string::npos) << text;
  EXPECT_NE(text.find("left behind"), std::string::npos) << text;
  EXPECT_NE(text.find(" gone "), std::string::npos) << text;
  EXPECT_NE(text.find(" alive "), std::string::npos) << text;

  // The dead holder does not block the next one.
  ViSemaphore behind = Alloc("left behind", kSystem, 0);
  EXPECT_EQ(visaSemAcquire(behind, 1000, nullptr), VI_SUCCESS);
  EXPECT_EQ(visaSemRelease(behind, nullptr), VI_SUCCESS);
  EXPECT_EQ(visaSemRelease(mine, nullptr), VI_SUCCESS);
  EXPECT_EQ(visaSemRelease(mine, nullptr), VI_SUCCESS);
  Leave();
}

// ---------------------------------------------------------------- in one process

TEST_F(SemTest, RecursiveAcquireNeedsAsManyReleases) {
  ASSERT_TRUE(Join());
  for (ViUInt16 scope : {kProcess, kSystem}) {
    ViSemaphore h = Alloc("recursive", scope, 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(visaSemAcquire(h, 0, nullptr), VI_SUCCESS);
    EXPECT_EQ(h->record->hold_count.load(), 3u);
    EXPECT_FALSE(FreeForOtherThreads(h));
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_SUCCESS);
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_SUCCESS);
    EXPECT_FALSE(FreeForOtherThreads(h)) << scope;
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_SUCCESS);
    EXPECT_EQ(h->record->owner_tid.load(), sync::kNoOwner);
    EXPECT_TRUE(FreeForOtherThreads(h)) << scope;
  }
  Leave();
}

TEST_F(SemTest, NonRecursiveOwnerWaitsForItsOwnReleaseUntilTimeOut) {
  ASSERT_TRUE(Join());
  for (ViUInt16 scope : {kProcess, kSystem}) {
    ViSemaphore h = Alloc("not recursive", scope, 0);
    ViUInt16 first = 0, second = 9;
    ASSERT_EQ(visaSemAcquire(h, VI_TMO_INFINITE, &first), VI_SUCCESS);
    const uint64_t start = pf::MonotonicMs();
    EXPECT_EQ(visaSemAcquire(h, 50, &second), VI_ERROR_TMO) << scope;
    EXPECT_GE(pf::MonotonicMs() - start, 49u);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(visaSemRelease(h, &second), VI_SUCCESS);  // acquired 0: nothing done
    EXPECT_EQ(h->record->hold_count.load(), 1u);
    EXPECT_EQ(visaSemRelease(h, &first), VI_SUCCESS);
    // One release frees it completely: the platform mutex is not left held.
    EXPECT_TRUE(FreeForOtherThreads(h)) << scope;
    EXPECT_EQ(h->record->lock_counter.load(), -1);
  }
  Leave();
}

TEST_F(SemTest, ReleaseRules) {
  ASSERT_TRUE(Join());
  for (ViUInt16 scope : {kProcess, kSystem}) {
    ViSemaphore h = Alloc("release rules", scope, 0);
    ViUInt16 acquired = 5;
    EXPECT_EQ(visaSemRelease(h, &acquired), VI_ERROR_SESN_NLOCKED);
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_ERROR_SESN_NLOCKED);
    ASSERT_EQ(visaSemAcquire(h, 0, &acquired), VI_SUCCESS);
    ViUInt16 not_acquired = 0;
    EXPECT_EQ(visaSemRelease(h, &not_acquired), VI_SUCCESS);
    EXPECT_EQ(h->record->hold_count.load(), 1u);
    EXPECT_FALSE(FreeForOtherThreads(h));
    EXPECT_EQ(visaSemRelease(h, &acquired), VI_SUCCESS);
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(visaSemRelease(h, nullptr), VI_ERROR_SESN_NLOCKED);
  }
  // A system semaphore can only be released by the thread that holds it.
  ViSemaphore system = Alloc("release rules", kSystem, 0);
  ASSERT_EQ(visaSemAcquire(system, 0, nullptr), VI_SUCCESS);
  std::thread([&] { EXPECT_EQ(visaSemRelease(system, nullptr), VI_ERROR_SYSTEM_ERROR); }).join();
  EXPECT_EQ(system->record->hold_count.load(), 1u);
  EXPECT_EQ(visaSemRelease(system, nullptr), VI_SUCCESS);
  // A process semaphore by any thread of the process.
  ViSemaphore process = Alloc("release rules", kProcess, 0);
  ASSERT_EQ(visaSemAcquire(process, 0, nullptr), VI_SUCCESS);
  std::thread([&] { EXPECT_EQ(visaSemRelease(process, nullptr), VI_SUCCESS); }).join();
  EXPECT_TRUE(FreeForOtherThreads(process));

  EXPECT_EQ(visaSemAcquire(nullptr, 0, nullptr), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSemRelease(nullptr, nullptr), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(visaSemFree(nullptr), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(zyvisaSemCloseMutex(nullptr), VI_FALSE);
  Leave();
}

TEST_F(SemTest, NamesAndHandles) {
  ASSERT_TRUE(Join());
  ViSemaphore a = Alloc("ViSessionIO List", kProcess, 1);
  EXPECT_EQ(Alloc("ViSessionIO List", kProcess, 1), a);
  ViSemaphore s = Alloc("ViSessionIO List", kSystem, 1);
  EXPECT_NE(s, a);
  EXPECT_EQ(Alloc("ViSessionIO List", 7, 1), s);  // any non-zero scope is system
  EXPECT_EQ(visaSemFree(s), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(Alloc("viSessionIO List", kProcess, 1) == a, false);  // case matters

  ViSemaphore out = reinterpret_cast<ViSemaphore>(1);
  EXPECT_EQ(visaSemAlloc(std::string(81, 'n').c_str(), kProcess, 0, &out), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(out, nullptr);
  // 80 characters pass the length rule of the interface but not the field
  // with its terminator: refused with the same status.
  EXPECT_EQ(visaSemAlloc(std::string(80, 'n').c_str(), kSystem, 0, &out), VI_ERROR_INV_PARAMETER);
  ViSemaphore longest = Alloc(std::string(79, 'n'), kSystem, 0);
  ASSERT_NE(longest, nullptr);
  EXPECT_EQ(std::string(longest->record->name), std::string(79, 'n'));
  EXPECT_EQ(visaSemAlloc(nullptr, kProcess, 0, &out), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaSemAlloc("x", kProcess, 0, nullptr), VI_ERROR_USER_BUF);

  EXPECT_EQ(visaSemFree(a), VI_SUCCESS);
  Leave();
}

TEST_F(SemTest, LowestFreeRecordWinsAndFullTablesRefuse) {
  UseTableSizes(3, kStartupProcessSems + 4);
  ASSERT_TRUE(Join());
  ViSemaphore first = Alloc("first", kProcess, 0);
  Alloc("second", kProcess, 0);
  ViSemaphore third = Alloc("third", kProcess, 0);
  ASSERT_EQ(visaSemFree(first), VI_SUCCESS);
  // The first one's record is free again and comes before the one named "third".
  ViSemaphore again = Alloc("third", kProcess, 0);
  EXPECT_NE(again, third);
  EXPECT_LT(again->record, third->record);
  Alloc("fourth", kProcess, 0);
  ViSemaphore none = nullptr;
  EXPECT_EQ(visaSemAlloc("fifth", kProcess, 0, &none), VI_ERROR_ALLOC);
  for (int i = 0; i < 3; ++i) Alloc("system " + std::to_string(i), kSystem, 0);
  EXPECT_EQ(visaSemAlloc("one too many", kSystem, 0, &none), VI_ERROR_ALLOC);
  EXPECT_NE(Alloc("system 2", kSystem, 0), nullptr);  // known names still found
  Leave();
  // Without tables nothing can be allocated.
  EXPECT_EQ(visaSemAlloc("after", kProcess, 0, &none), VI_ERROR_ALLOC);
  EXPECT_EQ(visaSemAlloc("after", kSystem, 0, &none), VI_ERROR_ALLOC);
}

// Threads hammer one semaphore with infinite and short waits; a counter
// proves that no two ever hold it at once, and finishing proves that no
// wake-up was lost (a lost one leaves a waiter asleep for ever).
void Contend(ViSemaphore h, int threads, int rounds) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<long> entered{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
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
  EXPECT_EQ(h->record->hold_count.load(), 0u);
  EXPECT_EQ(h->record->owner_tid.load(), sync::kNoOwner);
}

TEST_F(SemTest, ContendingThreadsNeverHoldItAtOnce) {
  ASSERT_TRUE(Join());
  ViSemaphore process = Alloc("contended", kProcess, 0);
  Contend(process, 4, 3000);
  EXPECT_EQ(process->record->lock_counter.load(), -1);
  Contend(Alloc("contended", kSystem, 1), 4, 1000);
  Leave();
}

TEST_F(SemTest, ConcurrentAllocAndFreeKeepTheProcessTable) {
  UseTableSizes(16, kStartupProcessSems + 8);
  ASSERT_TRUE(Join());
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([t] {
      const std::string name = "worker " + std::to_string(t);
      for (int i = 0; i < 300; ++i) {
        ViSemaphore h = nullptr;
        ASSERT_EQ(visaSemAlloc(name.c_str(), kProcess, 0, &h), VI_SUCCESS);
        ASSERT_EQ(std::string(h->record->name), name);
        ASSERT_EQ(visaSemAcquire(h, VI_TMO_INFINITE, nullptr), VI_SUCCESS);
        ASSERT_EQ(visaSemRelease(h, nullptr), VI_SUCCESS);
        ASSERT_EQ(visaSemFree(h), VI_SUCCESS);
      }
    });
  }
  for (auto& w : workers) w.join();
  // Everything was given back: all eight records can be taken again.
  for (int i = 0; i < 8; ++i) Alloc("again " + std::to_string(i), kProcess, 0);
  Leave();
}

}  // namespace
