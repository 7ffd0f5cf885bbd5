// The uncontended cases of acquiring and releasing a process semaphore,
// inline for the exported entry points and the library's own hot paths
// (the event path takes several per event); every other case falls through.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "runtime/process_state.h"
#include "sync/counter_lock.h"
#include "sync/sem_acquire.h"
#include "sync/sem_record.h"
#include "zyvisa_sem.h"

namespace zyvisa::sync {

inline bool IsProcessHandle(ViSemaphore handle) noexcept {
  return IsOpenHandle(handle) && handle->system == 0;
}

// The case of a recursive semaphore that this thread holds already, out of
// line: the event path never takes it, and inline it costs every caller.
bool TryAcquireAgain(ViSemaphore handle, uint32_t tid) noexcept;

// True when this thread now holds the semaphore once more (a recursive one it
// holds already) or for the first time (it was free); *acquired is then set.
// False, with nothing changed, in every other case. Always inline: the event
// path takes three of these per event, and out of line each paid a frame
// beside its two dozen instructions.
[[gnu::always_inline]] inline bool TryAcquireProcessFast(ViSemaphore handle,
                                                         ViUInt16* acquired) noexcept {
  if (!IsProcessHandle(handle)) return false;
  SemRecord& record = *handle->record;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  const uint32_t tid = platform::CurrentThreadId();
  // The thread id first: uncontended, it differs at once and ends the test.
  if (record.owner_tid.load(kRelaxed) == tid) {
    if (!TryAcquireAgain(handle, tid)) return false;
  } else if (CounterLockTryAcquire(record.lock_counter)) {
    record.owner_pid.store(platform::CurrentProcessId(), kRelaxed);
    record.owner_tid.store(tid, kRelaxed);
    record.hold_count.store(1, kRelaxed);
  } else {
    return false;
  }
  if (acquired != nullptr) *acquired = VI_TRUE;
  return true;
}

// True when a hold was given back (a waiter, if any, is handed the lock);
// false, with nothing changed, for anything but a held process semaphore
// whose caller's acquisition succeeded.
[[gnu::always_inline]] inline bool TryReleaseProcessFast(ViSemaphore handle,
                                                         ViUInt16* acquired) noexcept {
  if (!IsProcessHandle(handle) || (acquired != nullptr && *acquired == VI_FALSE)) return false;
  SemRecord& record = *handle->record;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  const uint32_t holds = record.hold_count.load(kRelaxed);
  if (holds == 0) return false;
  if (acquired != nullptr) *acquired = VI_FALSE;
  record.hold_count.store(holds - 1, kRelaxed);
  if (holds == 1) {
    record.owner_pid.store(kNoOwner, kRelaxed);
    record.owner_tid.store(kNoOwner, kRelaxed);
    CounterLockRelease(record.lock_counter, handle->event);
  }
  return true;
}

// visaSemAcquire and visaSemRelease for the library's own locks, which are
// all held with the service lock timeout. The timeout is an atomic load, read
// only on the slow path: the compiler does not move it there by itself.
[[gnu::always_inline]] inline ViStatus SemAcquire(ViSemaphore handle,
                                                  ViUInt16* acquired) noexcept {
  return TryAcquireProcessFast(handle, acquired)
             ? VI_SUCCESS
             : visaSemAcquire(handle, runtime::ServiceLockTimeout(), acquired);
}
inline ViStatus SemRelease(ViSemaphore handle, ViUInt16* acquired) noexcept {
  return TryReleaseProcessFast(handle, acquired) ? VI_SUCCESS : visaSemRelease(handle, acquired);
}

}  // namespace zyvisa::sync
