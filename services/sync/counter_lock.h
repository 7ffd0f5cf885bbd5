// The lock of process semaphores and of the process table: a counter (-1
// free, n >= 0 held with n waiting) with an auto-reset event that hands the
// lock to one waiter. Uncontended, acquire and release are one atomic
// instruction each, and none while the process has a single thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace zyvisa::platform {
struct Event;
}

namespace zyvisa::sync {

// True when acquired within timeout_ms (kWaitForever: no limit). A waiter
// that times out takes its mark back from the counter.
bool CounterLockAcquire(std::atomic<int32_t>& counter, platform::Event* event,
                        uint32_t timeout_ms) noexcept;
// Takes the lock only if it is free, never counting as a waiter.
bool CounterLockTryAcquire(std::atomic<int32_t>& counter) noexcept;
void CounterLockRelease(std::atomic<int32_t>& counter, platform::Event* event) noexcept;

}  // namespace zyvisa::sync
