// Acquiring a semaphore while learning whether its previous holder died
// holding it, for callers that must repair what the semaphore guards.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "sync/sem_record.h"
#include "zyvisa_sem.h"

namespace zyvisa::sync {

// visaSemAcquire, and *abandoned = true when the platform handed over a
// system semaphore whose owner ended while holding it.
ViStatus AcquireNoticingAbandon(ViSemaphore handle, uint32_t timeout, ViUInt16* acquired,
                                bool* abandoned) noexcept;

// Holding a recursive system semaphore by its named mutex alone, without the
// owner and hold fields of its record: for a lock on every I/O call, where
// that bookkeeping cost more than the mutex. The named mutex is recursive and
// knows its owner, so these holds nest with visaSemAcquire/visaSemRelease on
// the same thread in any order; while only direct holds are out, the record
// shows the semaphore free. Any other handle takes the generic path, which
// ReleaseDirect then matches. Same results as AcquireNoticingAbandon. Inline:
// around the C library's mutex, a call layer costs a good part of the lock.
inline bool TakesDirectPath(ViSemaphore handle) noexcept {
  return handle->system != 0 && handle->record->recursive.load(std::memory_order_relaxed) == 1;
}
inline bool IsOpenHandle(ViSemaphore handle) noexcept {
  return handle != nullptr && handle->signature == kSemSignature && handle->record != nullptr;
}
// The platform handed the mutex over from a dead thread: the holds that the
// record names were that thread's, and went with it.
void ForgetDeadHolds(ViSemaphore handle) noexcept;

inline ViStatus AcquireDirect(ViSemaphore handle, uint32_t timeout, bool* abandoned) noexcept {
  *abandoned = false;
  if (!IsOpenHandle(handle)) return VI_ERROR_INV_OBJECT;
  if (!TakesDirectPath(handle)) {
    ViUInt16 acquired = 0;
    return AcquireNoticingAbandon(handle, timeout, &acquired, abandoned);
  }
  switch (platform::NamedMutexWait(handle->mutex, timeout)) {
    case platform::WaitResult::kAcquired:
      return VI_SUCCESS;
    case platform::WaitResult::kAbandoned:
      ForgetDeadHolds(handle);
      *abandoned = true;
      return VI_SUCCESS;
    default:
      return VI_ERROR_TMO;
  }
}

inline void ReleaseDirect(ViSemaphore handle) noexcept {
  if (!IsOpenHandle(handle)) return;
  if (TakesDirectPath(handle)) {
    platform::NamedMutexRelease(handle->mutex);
  } else {
    visaSemRelease(handle, nullptr);
  }
}

}  // namespace zyvisa::sync
