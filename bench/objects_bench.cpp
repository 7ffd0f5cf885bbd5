// The per-call path of every I/O operation: validating the session with
// "enter, refuse if closing" and releasing it again, beside a std::mutex
// lock+unlock pair measured in the same run as the reference. The path takes
// the session list semaphore twice; one acquire+release pair of it is
// measured too, to show how much of the path is the semaphore.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstdio>
#include <mutex>

#include "runtime/process_state.h"
#include "objects/object_layouts.h"
#include "objects/object_lists.h"
#include "platform/platform.h"
#include "sync/sem_tables.h"
#include "zyvisa_objects.h"

namespace {

// Only the in-process part of start-up: the process semaphore table and the
// object lists. Nothing of the machine (region, named mutexes) is touched.
ViUInt32 OpenSession() {
  static ViUInt32 handle = [] {
    const uint32_t pid = zyvisa::platform::CurrentProcessId();
    zyvisa::runtime::State().process_id = pid;
    ViUInt32 h = 0;
    if (!zyvisa::sync::InitProcessTableLock() || !zyvisa::sync::CreateProcessTable(512, pid) ||
        !zyvisa::objects::CreateObjectLists() ||
        zyvisaCreateObject(zyvisa::objects::kIoSessionKind, sizeof(zyvisa::objects::IoSession),
                           &h) == nullptr) {
      std::fprintf(stderr, "objects_bench: set-up failed\n");
      std::abort();
    }
    return h;
  }();
  return handle;
}

void BM_ValidateIoSessionAndRelease(benchmark::State& state) {
  const ViUInt32 handle = OpenSession();
  for (auto _ : state) {
    ViAddr session = zyvisaValidateIoSession(handle, ZYVISA_SESN_ENTER | ZYVISA_SESN_NOT_CLOSING);
    benchmark::DoNotOptimize(session);
    zyvisaReleaseIoSession(session);
  }
}
BENCHMARK(BM_ValidateIoSessionAndRelease);

void BM_StdMutexLockUnlock(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    benchmark::ClobberMemory();
    mutex.unlock();
  }
}
BENCHMARK(BM_StdMutexLockUnlock);

void BM_ListSemaphorePair(benchmark::State& state) {
  OpenSession();
  ViSemaphore semaphore = zyvisaGetObjectListMutex(zyvisa::objects::kIoSessionKind);
  for (auto _ : state) {
    ViUInt16 acquired = 0;
    visaSemAcquire(semaphore, VI_TMO_INFINITE, &acquired);
    visaSemRelease(semaphore, &acquired);
  }
}
BENCHMARK(BM_ListSemaphorePair);

}  // namespace
