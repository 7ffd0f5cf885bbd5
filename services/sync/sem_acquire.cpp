// Acquiring and releasing semaphores of both scopes: the hot path of every
// lock in the library. Uncontended, neither scope makes a system call (the
// ids are cached per thread, the named mutex is a futex word).
#include "platform/platform.h"
#include "sync/sem_acquire.h"
#include "sync/counter_lock.h"
#include "sync/sem_fast.h"
#include "sync/sem_record.h"
#include "sync/sem_tables.h"
#include "zyvisa_sem.h"

namespace {

using zyvisa::sync::kNoOwner;
using zyvisa::sync::SemRecord;
namespace platform = zyvisa::platform;
constexpr auto kRelaxed = std::memory_order_relaxed;

bool IsHandle(ViSemaphore handle) {
  return handle != nullptr && handle->signature == zyvisa::sync::kSemSignature &&
         handle->record != nullptr;
}

void SetAcquired(ViUInt16* acquired, ViUInt16 value) {
  if (acquired != nullptr) *acquired = value;
}

// The owner ids written into records. The process id is the platform's cached
// one (the same value start-up records), so that a forked child never
// mistakes its parent's holds for its own.
struct Me {
  uint32_t pid = platform::CurrentProcessId();
  uint32_t tid = platform::CurrentThreadId();
  bool Owns(const SemRecord& record) const {
    return record.owner_tid.load(kRelaxed) == tid && record.owner_pid.load(kRelaxed) == pid;
  }
};

void SleepOut(uint32_t timeout_ms) {
  if (timeout_ms == platform::kWaitForever) {
    for (;;) platform::SleepMs(60000);
  }
  platform::SleepMs(timeout_ms);
}

enum class Got { kNothing, kFirstHold, kOneMoreHold, kRecorded };

void RecordFirstHold(SemRecord& record, const Me& me) {
  record.owner_pid.store(me.pid, kRelaxed);
  record.owner_tid.store(me.tid, kRelaxed);
  record.hold_count.store(1, kRelaxed);
}

// A system semaphore's hold count and the named mutex's own recursion count
// move together: every acquisition locks the mutex once, every release unlocks
// it once. So the mutex, not just the record, says who holds it.
Got AcquireSystem(ViSemaphore handle, uint32_t timeout_ms, const Me& me, bool* abandoned) {
  const SemRecord& record = *handle->record;
  if (me.Owns(record)) {
    switch (platform::NamedMutexWait(handle->mutex, 0)) {
      case platform::WaitResult::kAcquired:
        if (record.recursive.load(kRelaxed) == 1) return Got::kOneMoreHold;
        // Our platform mutex would let the owner in again, and the hold count
        // restarting at 1 would leave the mutex held once after the matching
        // release. Instead the owner waits for its own release until the
        // time-out, as with a non-recursive process semaphore; only the owner
        // thread can release a system semaphore, so nothing can end the wait.
        platform::NamedMutexRelease(handle->mutex);
        SleepOut(timeout_ms);
        return Got::kNothing;
      case platform::WaitResult::kAbandoned:
        // The record named a dead thread whose ids ours happen to repeat.
        *abandoned = true;
        return Got::kFirstHold;
      default:
        break;  // someone else holds it: wait like anybody
    }
  }
  switch (platform::NamedMutexWait(handle->mutex, timeout_ms)) {
    case platform::WaitResult::kAcquired:
      return Got::kFirstHold;
    case platform::WaitResult::kAbandoned:  // its owner ended holding it: ours now
      *abandoned = true;
      return Got::kFirstHold;
    default:
      return Got::kNothing;
  }
}

Got AcquireProcess(ViSemaphore handle, uint32_t timeout_ms, const Me& me) {
  SemRecord& record = *handle->record;
  if (record.recursive.load(kRelaxed) == 1 && me.Owns(record)) return Got::kOneMoreHold;
  if (zyvisa::sync::CounterLockTryAcquire(record.lock_counter)) return Got::kFirstHold;
  // This thread may wait: counted in, it keeps the handle, the event and the
  // record in place should another thread free the semaphore meanwhile. Its
  // hold is recorded before it leaves, while the record is still its own.
  if (!zyvisa::sync::EnterProcessSemaphore(handle)) return Got::kNothing;
  bool got = zyvisa::sync::CounterLockAcquire(record.lock_counter, handle->event, timeout_ms);
  // Handed a semaphore that is being freed: there is nothing left to own.
  if (got && zyvisa::sync::ProcessSemaphoreClosed(*handle)) got = false;
  if (got) RecordFirstHold(record, me);
  zyvisa::sync::LeaveProcessSemaphore(handle);
  return got ? Got::kRecorded : Got::kNothing;
}

}  // namespace

namespace zyvisa::sync {

ViStatus AcquireNoticingAbandon(ViSemaphore handle, uint32_t timeout, ViUInt16* acquired,
                                bool* abandoned) noexcept {
  // Without a handle nothing is written, the acquired flag included.
  *abandoned = false;
  if (!IsHandle(handle)) return VI_ERROR_INV_OBJECT;
  SetAcquired(acquired, VI_FALSE);
  SemRecord& record = *handle->record;
  const Me me;
  const Got got = handle->system ? AcquireSystem(handle, timeout, me, abandoned)
                                 : AcquireProcess(handle, timeout, me);
  switch (got) {
    case Got::kNothing:
      return VI_ERROR_TMO;
    case Got::kOneMoreHold:
      record.hold_count.store(record.hold_count.load(kRelaxed) + 1, kRelaxed);
      break;
    case Got::kFirstHold:
      RecordFirstHold(record, me);
      break;
    case Got::kRecorded:
      break;
  }
  SetAcquired(acquired, VI_TRUE);
  return VI_SUCCESS;
}

bool TryAcquireAgain(ViSemaphore handle, uint32_t tid) noexcept {
  SemRecord& record = *handle->record;
  const uint32_t pid = platform::CurrentProcessId();
  if (record.recursive.load(kRelaxed) == 1 && record.owner_pid.load(kRelaxed) == pid) {
    record.hold_count.store(record.hold_count.load(kRelaxed) + 1, kRelaxed);
    return true;
  }
  // Our thread id in a record this process does not own (a forked child's
  // copy, a reused id), or a non-recursive semaphore: only a free one is ours.
  if (!CounterLockTryAcquire(record.lock_counter)) return false;
  RecordFirstHold(record, Me{pid, tid});
  return true;
}

void ForgetDeadHolds(ViSemaphore handle) noexcept {
  SemRecord& record = *handle->record;
  record.hold_count.store(0, kRelaxed);
  record.owner_pid.store(kNoOwner, kRelaxed);
  record.owner_tid.store(kNoOwner, kRelaxed);
}

}  // namespace zyvisa::sync

namespace {

// The exports' slow paths, out of line so that the uncontended path of each
// export runs without a frame (the locking subsystem and the core call them
// on every lock).
[[gnu::noinline]] ViStatus AcquireSlow(ViSemaphore handle, uint32_t timeout,
                                       ViUInt16* acquired) noexcept {
  bool abandoned = false;
  return zyvisa::sync::AcquireNoticingAbandon(handle, timeout, acquired, &abandoned);
}

[[gnu::noinline]] ViStatus ReleaseSlow(ViSemaphore handle, ViUInt16* acquired) noexcept {
  if (!IsHandle(handle)) return VI_ERROR_INV_OBJECT;
  // The caller's acquisition failed: there is nothing of its to release.
  if (acquired != nullptr && *acquired == VI_FALSE) return VI_SUCCESS;
  SetAcquired(acquired, VI_FALSE);
  SemRecord& record = *handle->record;
  const uint32_t holds = record.hold_count.load(kRelaxed);
  if (holds == 0) return VI_ERROR_SESN_NLOCKED;
  if (handle->system) {
    // Only the owner thread can unlock the named mutex; a release by another
    // thread is refused before it could clear the owner's record.
    if (!Me().Owns(record)) return VI_ERROR_SYSTEM_ERROR;
    record.hold_count.store(holds - 1, kRelaxed);
    if (holds == 1) {
      record.owner_pid.store(kNoOwner, kRelaxed);
      record.owner_tid.store(kNoOwner, kRelaxed);
    }
    if (!platform::NamedMutexRelease(handle->mutex)) return VI_ERROR_SYSTEM_ERROR;
    return VI_SUCCESS;
  }
  // A process semaphore may be released by any thread of the process.
  record.hold_count.store(holds - 1, kRelaxed);
  if (holds == 1) {
    record.owner_pid.store(kNoOwner, kRelaxed);
    record.owner_tid.store(kNoOwner, kRelaxed);
    zyvisa::sync::CounterLockRelease(record.lock_counter, handle->event);
  }
  return VI_SUCCESS;
}

}  // namespace

extern "C" ZYVISA_EXPORT ViStatus visaSemAcquire(ViSemaphore handle, ViUInt32 timeout,
                                                 ViUInt16* acquired) noexcept {
  if (zyvisa::sync::TryAcquireProcessFast(handle, acquired)) return VI_SUCCESS;
  return AcquireSlow(handle, timeout, acquired);
}

extern "C" ZYVISA_EXPORT ViStatus visaSemRelease(ViSemaphore handle, ViUInt16* acquired) noexcept {
  if (zyvisa::sync::TryReleaseProcessFast(handle, acquired)) return VI_SUCCESS;
  return ReleaseSlow(handle, acquired);
}
