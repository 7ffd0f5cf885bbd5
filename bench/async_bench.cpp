// Cost of emulated asynchronous reads beside references measured in the same
// run: the round trip of a read through the job thread (queue, hand-over,
// driver call, completion raised and delivered to a handler that wakes the
// caller) against the same driver call handed to a reused std::thread through
// a std::mutex and std::condition_variable; and the synchronous path of a
// small read against a direct driver call plus one event create and raise.
// Both sides pass the lock-operation gate, as the core makes them. The ratios
// are printed after the table.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "lifecycle/startup.h"
#include "support/async_session.h"
#include "support/test_machine.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"
#include "zyvisa_locking.h"

namespace {

namespace objects = zyvisa::objects;
using zyvisa::test::AsyncSession;

struct Library {
  zyvisa::test::TestMachine machine;
  bool started = zyvisa::lifecycle::Startup() == 1;
};

Library& TheLibrary() {
  static Library library;
  return library;
}

// Completions wake the benchmark's thread the way the reference does.
struct Completions {
  std::mutex mutex;
  std::condition_variable changed;
  uint64_t count = 0;

  void Add() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      ++count;
    }
    changed.notify_one();
  }
  void WaitFor(uint64_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return count >= n; });
  }
} g_completions;

ViStatus CountingHandler(ViSession, ViEventType, ViUInt32, ViUInt64) {
  g_completions.Add();
  return VI_SUCCESS;
}

// A session whose completions go only to the counting handler.
void UseCountingHandler(AsyncSession& s) {
  static objects::HandlerEntry entry{&CountingHandler, 0};
  s.get()->handler_list[0] = &entry;
  s.get()->enabled_mechanisms[0] = VI_HNDLR;
}

ZyvisaReadProc DriverRead(AsyncSession& s) {
  return reinterpret_cast<ZyvisaReadProc>(s.get()->oper_table->slots[objects::kSlotRead]);
}

void BM_EmulatedReadRoundTrip(benchmark::State& state) {
  if (!TheLibrary().started) return state.SkipWithError("start-up failed");
  AsyncSession s;
  UseCountingHandler(s);
  uint64_t done = g_completions.count;
  for (auto _ : state) {
    if (s.Start(zyvisa::test::kOpRead, 512) != VI_SUCCESS) return state.SkipWithError("not queued");
    g_completions.WaitFor(++done);
  }
}
BENCHMARK(BM_EmulatedReadRoundTrip)->UseRealTime();

void BM_StdThreadRoundTrip(benchmark::State& state) {
  if (!TheLibrary().started) return state.SkipWithError("start-up failed");
  AsyncSession s;
  const ZyvisaReadProc read = DriverRead(s);
  std::mutex mutex;
  std::condition_variable to_worker, to_caller;
  bool job = false, done = false, stop = false;
  char buffer[8];
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      to_worker.wait(lock, [&] { return job || stop; });
      if (stop) return;
      job = false;
      lock.unlock();
      ViUInt32 count = 0;
      read(s.handle(), buffer, 512, &count);
      lock.lock();
      done = true;
      to_caller.notify_one();
    }
  });
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      job = true;
    }
    to_worker.notify_one();
    std::unique_lock<std::mutex> lock(mutex);
    to_caller.wait(lock, [&] { return done; });
    done = false;
  }
  {
    std::lock_guard<std::mutex> guard(mutex);
    stop = true;
  }
  to_worker.notify_one();
  worker.join();
}
BENCHMARK(BM_StdThreadRoundTrip)->UseRealTime();

void BM_SynchronousRead(benchmark::State& state) {
  if (!TheLibrary().started) return state.SkipWithError("start-up failed");
  AsyncSession s;
  UseCountingHandler(s);
  for (auto _ : state) {
    if (s.Start(zyvisa::test::kOpRead, 16) != VI_SUCCESS_SYNC) return state.SkipWithError("not sync");
  }
}
BENCHMARK(BM_SynchronousRead);

void BM_DirectReadAndEvent(benchmark::State& state) {
  if (!TheLibrary().started) return state.SkipWithError("start-up failed");
  AsyncSession s;
  UseCountingHandler(s);
  const ZyvisaReadProc read = DriverRead(s);
  char buffer[16];
  for (auto _ : state) {
    ViUInt16 entered = 0;
    visaEnterLockOper(s.handle(), &entered);
    s.get()->current_job_id = 0x04020001;
    ViUInt32 count = 0;
    const ViStatus status = read(s.handle(), buffer, 16, &count);
    ViAddr queued = nullptr, handler = nullptr;
    visaCreateEvent(s.handle(), VI_EVENT_IO_COMPLETION, &queued, &handler);
    auto* node = static_cast<objects::EventNode*>(handler);
    node->return_count = count;
    node->buffer = buffer;
    node->job_id = 0x04020001;
    node->status = status;
    visaRaiseEvent(s.handle(), queued, handler);
  }
}
BENCHMARK(BM_DirectReadAndEvent);

// Prints the table as usual, then each emulated path as a ratio of its reference.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "mean") {
        // The round trips wait for another thread: their time is the clock's.
        const std::string& name = run.run_name.function_name;
        times_[name] = name.find("RoundTrip") != std::string::npos ? run.GetAdjustedRealTime()
                                                                   : run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_EmulatedReadRoundTrip", "BM_StdThreadRoundTrip"},
        {"BM_SynchronousRead", "BM_DirectReadAndEvent"}};
    for (const auto& [ours, reference] : pairs) {
      if (times_[ours] == 0 || times_[reference] == 0) continue;
      std::printf("%-26s %5.2fx %s\n", ours, times_[ours] / times_[reference], reference);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
