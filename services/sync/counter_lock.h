// The lock of process semaphores and of the process table: a counter (-1
// free, n >= 0 held with n waiting) with an auto-reset event that hands the
// lock to one waiter. Uncontended, acquire and release are one atomic
// instruction each, and none while the process has a single thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace zyvisa::sync {

// True when acquired within timeout_ms (kWaitForever: no limit). A waiter
// that times out takes its mark back from the counter.
bool CounterLockAcquire(std::atomic<int32_t>& counter, platform::Event* event,
                        uint32_t timeout_ms) noexcept;
// The release when the counter showed waiters (seen >= 1) or was not held.
void CounterLockReleaseSeen(std::atomic<int32_t>& counter, platform::Event* event,
                            int32_t seen) noexcept;

// Takes the lock only if it is free, never counting as a waiter. Inline: it
// is the whole of an uncontended acquisition. The counter is process memory:
// with one thread in the process nothing else can touch it between a load
// and a store, and the atomic instruction can be skipped.
inline bool CounterLockTryAcquire(std::atomic<int32_t>& counter) noexcept {
  if (platform::SingleThreaded()) {
    if (counter.load(std::memory_order_relaxed) != -1) return false;
    counter.store(0, std::memory_order_relaxed);
    return true;
  }
  int32_t free_value = -1;
  return counter.compare_exchange_strong(free_value, 0, std::memory_order_acq_rel,
                                         std::memory_order_relaxed);
}

inline void CounterLockRelease(std::atomic<int32_t>& counter, platform::Event* event) noexcept {
  if (platform::SingleThreaded() && counter.load(std::memory_order_relaxed) == 0) {
    counter.store(-1, std::memory_order_relaxed);
    return;
  }
  int32_t seen = 0;  // held, nobody waiting: free it without the event
  if (counter.compare_exchange_strong(seen, -1, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
    return;
  }
  CounterLockReleaseSeen(counter, event, seen);
}

}  // namespace zyvisa::sync
