// The lock of process semaphores and of the process table: a counter (-1
// free, n >= 0 held with n waiting) with an auto-reset event that hands the
// lock to one waiter. Uncontended, acquire and release are one atomic
// instruction each, and none while the process has a single thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace zyvisa::platform {
struct Event;
}

namespace zyvisa::sync {

// True when acquired within timeout_ms (kWaitForever: no limit). A waiter
// that times out takes its mark back from the counter.
bool CounterLockAcquire(std::atomic<int32_t>& counter, platform::Event* event,
                        uint32_t timeout_ms) noexcept;
// Takes the lock only if it is free, never counting as a waiter. Inline:
// the list locks of every I/O call take it.
inline bool CounterLockTryAcquire(std::atomic<int32_t>& counter) noexcept;
void CounterLockRelease(std::atomic<int32_t>& counter, platform::Event* event) noexcept;
// The release when nobody waits (true); false leaves it to CounterLockRelease.
inline bool CounterLockReleaseUncontended(std::atomic<int32_t>& counter) noexcept;

// The counter is process memory: with one thread in the process, nothing
// else can touch it between a load and a store, and the atomic instructions
// (most of an uncontended pair's cost) can be skipped. A second thread is
// only ever created by a call, which orders these plain accesses before it.
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

inline bool CounterLockReleaseUncontended(std::atomic<int32_t>& counter) noexcept {
  if (platform::SingleThreaded()) {
    if (counter.load(std::memory_order_relaxed) != 0) return false;
    counter.store(-1, std::memory_order_relaxed);
    return true;
  }
  int32_t seen = 0;  // held, nobody waiting: free it without the event
  return counter.compare_exchange_strong(seen, -1, std::memory_order_acq_rel,
                                         std::memory_order_relaxed);
}

}  // namespace zyvisa::sync
