// Cost of resource locking beside references measured in the same run: the
// gate's entry and exit and an exclusive lock+unlock pair on an unlocked
// resource against a std::mutex pair (registration order is run order: the
// single-threaded pairs first); the hand-over of a lock to a waiter in
// another process, and the grant to a waiter after the owner is killed,
// against one 1 ms poll (what a waiter that only polls sleeps per look).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <vector>
#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "lifecycle/startup.h"
#include "locking/resource_record.h"
#include "objects/object_layouts.h"
#include "platform/platform.h"
#include "sync/sem_acquire.h"
#include "support/test_machine.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"

namespace {

namespace pf = zyvisa::platform;
using zyvisa::objects::IoSession;
using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC: one clock for every process

// Median of the per-iteration times, reported beside Google Benchmark's mean:
// one late wake-up of a loaded machine moves the mean, not the median.
void ReportMedian(benchmark::State& state, std::vector<double>& us) {
  if (us.empty()) return;
  std::nth_element(us.begin(), us.begin() + long(us.size() / 2), us.end());
  state.counters["median_us"] = us[us.size() / 2];
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

IoSession* OpenSession() {
  ViUInt32 handle = 0;
  auto* s = static_cast<IoSession*>(
      zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) std::abort();
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->identity_a = 3;
  if (zyvisaRsrcCreateResource(s) != VI_SUCCESS || zyvisaRsrcCreateSession(s) != VI_SUCCESS) {
    std::abort();
  }
  return s;
}

// One machine of the benchmark's own, started once for the in-process cases.
struct Started {
  zyvisa::test::TestMachine machine;
  IoSession* session = nullptr;
  Started() {
    if (zyvisa::lifecycle::Startup() != 1) std::abort();
    session = OpenSession();
  }
  ~Started() { zyvisa::lifecycle::Shutdown(); }
};

void BM_StdMutexPair(benchmark::State& state) {
  std::mutex m;
  for (auto _ : state) {
    m.lock();
    m.unlock();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StdMutexPair);

void BM_GateEnterExit(benchmark::State& state) {
  Started started;
  const ViSession handle = started.session->handle;
  for (auto _ : state) {
    ViUInt16 entered = 0;
    visaEnterLockOper(handle, &entered);
    visaExitLockOper(handle, entered);
  }
}
BENCHMARK(BM_GateEnterExit);

void BM_ExclusiveLockUnlock(benchmark::State& state) {
  Started started;
  IoSession* s = started.session;
  for (auto _ : state) {
    zyvisaLock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
    zyvisaUnlock(s);
  }
}
BENCHMARK(BM_ExclusiveLockUnlock);

// The C library's mutexes (and the process semaphores) skip atomic
// instructions while the process has one thread; the core's processes
// usually have more, so each in-process pair is measured again after a
// second thread has run.
void MakeProcessThreaded() {
  static const bool started = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)started;
}

void BM_StdMutexPairThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  BM_StdMutexPair(state);
}
BENCHMARK(BM_StdMutexPairThreaded);

void BM_GateEnterExitThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  BM_GateEnterExit(state);
}
BENCHMARK(BM_GateEnterExitThreaded);

// The least that any entry and exit keeping this record's rules can do, and
// nothing else: the record's mutex held once (the robust named mutex that a
// killed holder cannot wedge) and six read-modify-writes that other threads
// of the process race without that mutex: the session's reference, its depth
// and this process's operation count, each up at entry and down at exit.
// Beside the std::mutex pair it shows how far below its own bookkeeping the
// gate's pair could go at all; beside the gate, what the gate adds to it.
void BM_GateFloorThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  Started started;
  auto* record = static_cast<zyvisa::locking::ResourceRecord*>(started.session->resource_record);
  ViSemaphore mutex = zyvisa::locking::MutexOf(record);
  std::atomic<uint32_t> reference{0}, depth{0}, count{0};
  for (auto _ : state) {
    reference.fetch_add(1);
    bool abandoned = false;
    zyvisa::sync::AcquireDirect(mutex, pf::kWaitForever, &abandoned);
    depth.fetch_add(1);
    count.fetch_add(1);
    zyvisa::sync::ReleaseDirect(mutex);
    depth.fetch_sub(1);
    count.fetch_sub(1);
    reference.fetch_sub(1);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_GateFloorThreaded);

void BM_ExclusiveLockUnlockThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  BM_ExclusiveLockUnlock(state);
}
BENCHMARK(BM_ExclusiveLockUnlockThreaded);

// The reference of the cross-process cases: one look of a polling waiter.
void BM_OnePoll(benchmark::State& state) {
  for (auto _ : state) pf::SleepMs(1);
}
BENCHMARK(BM_OnePoll)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Shared between the parent and its child in the cross-process cases.
struct Baton {
  std::atomic<int64_t> released_at{0};  // when the giver unlocked
  std::atomic<int64_t> granted_at{0};   // when the taker's lock returned
  std::atomic<uint32_t> turn{0};        // hand-over number the taker has taken
  std::atomic<uint32_t> stop{0};
};

// Hand-over: the child holds the lock and waits for the parent to queue
// behind it, then unlocks; the parent's zyvisaLock returning ends the
// iteration. Then the parent unlocks and the child takes it back.
void BM_HandOverToOtherProcess(benchmark::State& state) {
  zyvisa::test::TestMachine machine;
  auto* baton = new (zyvisa::test::SharedScratch(sizeof(Baton))) Baton{};
  zyvisa::test::Signal ready;
  zyvisa::test::Child child([&] {
    if (zyvisa::lifecycle::Startup() != 1) return 2;
    IoSession* s = OpenSession();
    auto& r = *static_cast<zyvisa::locking::ResourceRecord*>(s->resource_record);
    zyvisaLock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
    ready.Notify();
    for (uint32_t round = 1; baton->stop.load() == 0; ++round) {
      // The parent is queued once it is counted as a waiter.
      while (r.lock_waiters == 0 && baton->stop.load() == 0) std::this_thread::yield();
      baton->released_at = NowNs();
      zyvisaUnlock(s);
      while (baton->turn.load() < round && baton->stop.load() == 0) std::this_thread::yield();
      zyvisaLock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
    }
    return 0;
  });
  if (zyvisa::lifecycle::Startup() != 1) std::abort();
  IoSession* s = OpenSession();
  ready.Wait(10000);
  uint32_t round = 0;
  std::vector<double> samples;
  for (auto _ : state) {
    zyvisaLock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
    const int64_t granted = NowNs();
    const double ns = double(granted - baton->released_at.load());
    samples.push_back(ns / 1e3);
    state.SetIterationTime(ns / 1e9);
    zyvisaUnlock(s);
    baton->turn = ++round;
    // The child takes the lock back before the next round queues behind it.
    while (zyvisaRsrcGetLockState(s->resource_record) != VI_EXCLUSIVE_LOCK) {
      std::this_thread::yield();
    }
  }
  ReportMedian(state, samples);
  baton->stop = 1;
  child.Kill();
  child.Wait(10000);
  zyvisa::lifecycle::Shutdown();
}
BENCHMARK(BM_HandOverToOtherProcess)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(300);

// From SIGKILL of the owner to the grant of a waiter in another process.
void BM_GrantAfterOwnerKilled(benchmark::State& state) {
  zyvisa::test::TestMachine machine;
  if (zyvisa::lifecycle::Startup() != 1) std::abort();
  IoSession* s = OpenSession();
  auto& r = *static_cast<zyvisa::locking::ResourceRecord*>(s->resource_record);
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    zyvisa::test::Signal locked;
    auto owner = std::make_unique<zyvisa::test::Child>([&] {
      // The parent's library state came along with fork; start afresh.
      zyvisa::lifecycle::Shutdown();
      if (zyvisa::lifecycle::Startup() != 1) return 2;
      IoSession* mine = OpenSession();
      zyvisaLock(mine, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
      locked.Notify();
      pf::SleepMs(60000);
      return 0;
    });
    locked.Wait(10000);
    std::atomic<int64_t> granted{0};
    std::thread waiter([&] {
      zyvisaLock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE, nullptr, nullptr);
      granted = NowNs();
    });
    while (r.lock_waiters == 0) std::this_thread::yield();
    const int64_t killed = NowNs();
    owner->Kill();
    waiter.join();
    const double ns = double(granted.load() - killed);
    samples.push_back(ns / 1e3);
    state.SetIterationTime(ns / 1e9);
    zyvisaUnlock(s);
    owner->Wait(10000);
    state.ResumeTiming();
  }
  ReportMedian(state, samples);
  zyvisa::lifecycle::Shutdown();
}
BENCHMARK(BM_GrantAfterOwnerKilled)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(100);

}  // namespace
