// Counter-and-event locks. The signal that a release sends is the lock
// itself, handed to whichever waiter takes it. A waiter that times out must
// therefore not take its mark back while a releaser has counted it and is
// about to signal: the signal would outlive every waiter and later let a
// thread in beside the owner. The releaser's decision and signal, and the
// waiter's give-up, both run with the event's state locked, so each sees
// the other whole.
#include "sync/counter_lock.h"

#include "platform/platform.h"

namespace zyvisa::sync {

namespace {

void TakeBackMark(void* counter) {
  static_cast<std::atomic<int32_t>*>(counter)->fetch_sub(1, std::memory_order_acq_rel);
}

// With waiters counted, the lock goes to one of them with the signal. All of
// them may have given up since the releaser looked; then it is simply free.
bool HandOver(void* counter) {
  return static_cast<std::atomic<int32_t>*>(counter)->fetch_sub(1, std::memory_order_acq_rel) >= 1;
}

}  // namespace

// The single-thread shortcut: see counter_lock.h.
bool CounterLockAcquire(std::atomic<int32_t>& counter, platform::Event* event,
                        uint32_t timeout_ms) noexcept {
  if (platform::SingleThreaded() && counter.load(std::memory_order_relaxed) == -1) {
    counter.store(0, std::memory_order_relaxed);
    return true;
  }
  if (counter.fetch_add(1, std::memory_order_acq_rel) == -1) return true;
  if (event == nullptr) {
    TakeBackMark(&counter);
    return false;
  }
  return platform::EventWaitOrGiveUp(event, timeout_ms, &TakeBackMark, &counter);
}

void CounterLockRelease(std::atomic<int32_t>& counter, platform::Event* event) noexcept {
  if (CounterLockReleaseUncontended(counter)) return;
  if (counter.load(std::memory_order_relaxed) < 0) return;  // not held: nothing to release
  // Yield so that the waiter just handed the lock can run before this thread
  // comes back for it.
  if (platform::EventSetIf(event, &HandOver, &counter)) platform::SleepMs(0);
}

}  // namespace zyvisa::sync
