// Cost of the semaphore hot paths beside std::mutex measured in the same run:
// an uncontended acquire+release pair of a process and of a system semaphore
// (infinite wait, as the library's own locks use), in a single-threaded and a
// multi-threaded process, and two threads handing one lock back and forth.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "platform/platform.h"
#include "sync/sem_tables.h"
#include "zyvisa_sem.h"

namespace {

namespace pf = zyvisa::platform;
namespace rt = zyvisa::runtime;

// A private machine folder with a region and both tables, made once.
class SemBenchMachine {
 public:
  SemBenchMachine() {
    folder_ = std::filesystem::temp_directory_path() /
              ("zyvisa-sem-bench-" + std::to_string(pf::CurrentProcessId()));
    std::filesystem::create_directories(folder_);
    pf::SetMachineFolder(folder_.c_str());
    rt::ProcessState& state = rt::State();
    state.backing_file = pf::SharedFileOpen((folder_ / "region").c_str(), pf::ShareMode::kShared,
                                            true);
    state.region_size = rt::kMinRegionSize;
    state.region = static_cast<uint8_t*>(pf::SharedFileMap(state.backing_file, rt::kMinRegionSize));
    rt::FormatRegion(state.region, rt::kMinRegionSize);
    state.global_mutex = pf::NamedMutexOpen("Global\\ZY-VISA Global Mutex Lock");
    if (!zyvisa::sync::InitProcessTableLock() || !zyvisa::sync::CreateSystemTable(16) ||
        !zyvisa::sync::CreateProcessTable(16, pf::CurrentProcessId()) ||
        visaSemAlloc("bench process", ZYVISA_SEM_PROCESS, 1, &process_) != VI_SUCCESS ||
        visaSemAlloc("bench system", ZYVISA_SEM_SYSTEM, 1, &system_) != VI_SUCCESS) {
      std::abort();
    }
  }
  ~SemBenchMachine() {
    zyvisa::sync::CloseProcessTable();
    zyvisa::sync::CloseSystemTable();
    zyvisa::sync::CloseProcessTableLock();
    pf::SharedFileUnmap(rt::State().region, rt::kMinRegionSize);
    pf::SharedFileClose(rt::State().backing_file);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ViSemaphore process() const { return process_; }
  ViSemaphore system() const { return system_; }

 private:
  std::filesystem::path folder_;
  ViSemaphore process_ = nullptr;
  ViSemaphore system_ = nullptr;
};

SemBenchMachine& Machine() {
  static SemBenchMachine machine;
  return machine;
}

std::mutex g_std_mutex;

// The C library skips atomic instructions in its mutexes while the process
// has one thread, and so do process semaphores; each pair is therefore
// measured twice: before any second thread, and after one has run.
void MakeProcessThreaded() {
  static const bool started = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)started;
}

void StdPair(benchmark::State& state) {
  for (auto _ : state) {
    g_std_mutex.lock();
    g_std_mutex.unlock();
  }
}

void SemPair(benchmark::State& state, ViSemaphore h) {
  for (auto _ : state) {
    visaSemAcquire(h, VI_TMO_INFINITE, nullptr);
    visaSemRelease(h, nullptr);
  }
}

void BM_StdMutexPair(benchmark::State& state) { StdPair(state); }
// The robust process-shared mutex alone: the floor under a system semaphore.
void BM_NamedMutexPair(benchmark::State& state) {
  Machine();  // the machine folder the mutex file goes in
  pf::NamedMutex* m = pf::NamedMutexOpen("Global\\bench floor");
  for (auto _ : state) {
    pf::NamedMutexWait(m, pf::kWaitForever);
    pf::NamedMutexRelease(m);
  }
  pf::NamedMutexClose(m);
}
void BM_ProcessSemPair(benchmark::State& state) { SemPair(state, Machine().process()); }
void BM_SystemSemPair(benchmark::State& state) { SemPair(state, Machine().system()); }

void BM_StdMutexPairThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  StdPair(state);
}
void BM_ProcessSemPairThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  SemPair(state, Machine().process());
}
void BM_SystemSemPairThreaded(benchmark::State& state) {
  MakeProcessThreaded();
  SemPair(state, Machine().system());
}

// Two threads taking the same lock in turn: pairs that wait for and wake
// the other thread.
void BM_StdMutexHandOver(benchmark::State& state) { StdPair(state); }
void BM_ProcessSemHandOver(benchmark::State& state) { SemPair(state, Machine().process()); }
void BM_SystemSemHandOver(benchmark::State& state) { SemPair(state, Machine().system()); }

// Registration order is run order: the single-threaded pairs come first.
BENCHMARK(BM_StdMutexPair);
BENCHMARK(BM_ProcessSemPair);
BENCHMARK(BM_SystemSemPair);
BENCHMARK(BM_NamedMutexPair);
BENCHMARK(BM_StdMutexPairThreaded);
BENCHMARK(BM_ProcessSemPairThreaded);
BENCHMARK(BM_SystemSemPairThreaded);
BENCHMARK(BM_StdMutexHandOver)->Threads(2)->UseRealTime();
BENCHMARK(BM_ProcessSemHandOver)->Threads(2)->UseRealTime();
BENCHMARK(BM_SystemSemHandOver)->Threads(2)->UseRealTime();

}  // namespace
