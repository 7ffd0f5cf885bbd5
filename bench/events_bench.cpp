// Cost of one event beside references measured in the same run: create +
// raise + delivery to one handler on the raising thread, and create + raise +
// read + delete through the queue mechanism, against a std::mutex-protected
// deque push + pop and a std::condition_variable hand-off between two
// threads. Heap allocations per event are counted (operator new is replaced
// for the whole program); the ratios, of the medians when the run repeats,
// are printed after the table. On a shared machine, repeat with
// --benchmark_enable_random_interleaving=true: the repetitions of the paths
// and of the references then alternate, and a change of load between them
// no longer shows as a change of ratio.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "lifecycle/startup.h"
#include "support/event_session.h"
#include "support/test_machine.h"
#include "zyvisa_events.h"

namespace {
std::atomic<uint64_t> g_allocations{0};
// Called through a pointer so that the compiler does not pair our operator
// new with its own knowledge of malloc and free.
void (*volatile g_release)(void*) = std::free;
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { g_release(p); }
void operator delete(void* p, std::size_t) noexcept { g_release(p); }

namespace {

namespace objects = zyvisa::objects;
using zyvisa::test::EventSession;
constexpr ViEventType kTrig = 0x3FFF200A;

// One started library on a private machine folder for the whole run.
struct Library {
  zyvisa::test::TestMachine machine;
  bool started = zyvisa::lifecycle::Startup() == 1;
};
Library& TheLibrary() {
  static Library* library = new Library;
  if (!library->started) std::abort();
  return *library;
}

ViStatus CountingHandler(ViSession, ViEventType, ViUInt32, ViUInt64 user) {
  ++*reinterpret_cast<uint64_t*>(user);
  return VI_SUCCESS;
}

void AllocationsPerEvent(benchmark::State& state, uint64_t before) {
  state.counters["allocs/event"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_HandlerEvent(benchmark::State& state) {
  TheLibrary();
  EventSession s(16, {kTrig});
  uint64_t delivered = 0;
  s.Enable(kTrig, VI_HNDLR);
  s.Install(kTrig, &CountingHandler, reinterpret_cast<uint64_t>(&delivered));
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    ViAddr queued = nullptr, handled = nullptr;
    visaCreateEvent(s.handle(), kTrig, &queued, &handled);
    visaRaiseEvent(s.handle(), queued, handled);
  }
  AllocationsPerEvent(state, before);
  if (delivered != static_cast<uint64_t>(state.iterations()))
    state.SkipWithError("an event was not delivered");
}
BENCHMARK(BM_HandlerEvent);

void BM_QueueEvent(benchmark::State& state) {
  TheLibrary();
  EventSession s(16, {kTrig});
  s.Enable(kTrig, VI_QUEUE);
  objects::IoSession* session = s.get();
  objects::EventQueue* queue = session->queue_for_queuing[0];
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    ViAddr queued = nullptr, handled = nullptr;
    visaCreateEvent(s.handle(), kTrig, &queued, &handled);
    visaRaiseEvent(s.handle(), queued, handled);
    // What the core's wait does: read and delete under the event semaphore.
    ViUInt16 held = 0;
    visaSemAcquire(session->event_semaphore, VI_TMO_INFINITE, &held);
    ViAddr node = nullptr;
    zyvisaReadNodeAtStart(queue, &node);
    zyvisaDeleteNode(queue, node);
    visaSemRelease(session->event_semaphore, &held);
  }
  AllocationsPerEvent(state, before);
  if (queue->queued_count != 0) state.SkipWithError("the queue did not drain");
}
BENCHMARK(BM_QueueEvent);

struct Payload {
  uint64_t buffer, count;
  uint32_t job, status;
};

void BM_MutexDequePushPop(benchmark::State& state) {
  std::mutex mutex;
  std::deque<Payload> deque;
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      deque.push_back(Payload{1, 2, 3, 4});
    }
    std::lock_guard<std::mutex> guard(mutex);
    benchmark::DoNotOptimize(deque.front());
    deque.pop_front();
  }
  AllocationsPerEvent(state, before);
}
BENCHMARK(BM_MutexDequePushPop);

// One payload handed to a second thread, which takes it and answers: the
// least a producer pays to have another thread see its event.
void BM_ConditionVariableHandOff(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable to_consumer, to_producer;
  std::deque<Payload> deque;
  bool taken = false, stop = false;
  std::thread consumer([&] {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      to_consumer.wait(lock, [&] { return stop || !deque.empty(); });
      if (stop) return;
      deque.pop_front();
      taken = true;
      to_producer.notify_one();
    }
  });
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    taken = false;
    deque.push_back(Payload{1, 2, 3, 4});
    to_consumer.notify_one();
    to_producer.wait(lock, [&] { return taken; });
  }
  AllocationsPerEvent(state, before);
  {
    std::lock_guard<std::mutex> guard(mutex);
    stop = true;
  }
  to_consumer.notify_one();
  consumer.join();
}
BENCHMARK(BM_ConditionVariableHandOff)->UseRealTime();

// Prints the table as usual, then each event path as a ratio of the references.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        // The hand-off waits for the other thread, so its time is the clock's.
        times_[run.run_name.function_name] =
            run.run_name.function_name == "BM_ConditionVariableHandOff" ? run.GetAdjustedRealTime()
                                                                        : run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    // Processor time: the machine is shared, and the single-threaded paths
    // then compare more steadily than by the clock.
    const double deque = times_["BM_MutexDequePushPop"];
    const double handoff = times_["BM_ConditionVariableHandOff"];
    for (const char* name : {"BM_HandlerEvent", "BM_QueueEvent"}) {
      if (times_.count(name) == 0 || deque == 0 || handoff == 0) continue;
      std::printf("%-18s %5.2fx the mutex deque push+pop, %5.3fx the condition-variable hand-off\n",
                  name, times_[name] / deque, times_[name] / handoff);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Measured as in a real process, which has threads: the C library's mutexes
  // and the process semaphores skip atomic instructions while it has one.
  std::thread([] {}).join();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
