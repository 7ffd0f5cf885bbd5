// The gate every operation on a resource passes: it refuses at once when
// another session holds the lock, and counts this process's operations in
// progress in the record so that lock requests of other processes wait for
// them. Also the dropping of a closing session's locks.
#include "locking/resource_record.h"
#include "objects/object_table.h"
#include "platform/platform.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"

namespace zyvisa::locking {

namespace {

using objects::IoSession;

// Decides entry by the lock state, repairing what ended processes left.
// Called with the resource mutex held.
ViStatus Admit(ResourceRecord* r, const IoSession& s, ViSession handle, RecordLock& lock) {
  for (;;) {
    switch (r->lock_state) {
      case kUnlocked:
        if (r->lock_waiters == 0) return VI_SUCCESS;
        // A waiting lock request gets its turn, unless it was a process that
        // has ended since (its wait is then counted for good).
        if (PurgeEndedHolders(r, lock) || r->lock_waiters == 0) continue;
        return VI_ERROR_RSRC_LOCKED;
      case kExclusive:
        if (r->exclusive_owner_session == handle && r->exclusive_owner_pid == s.owner_process_id) {
          return VI_SUCCESS;
        }
        if (r->exclusive_nest_count == 0) return VI_ERROR_RSRC_LOCKED;
        if (DropDeadExclusiveOwner(r, lock)) continue;
        return VI_ERROR_RSRC_LOCKED;
      case kShared:
        return s.shared_lock_nesting > 0 ? VI_SUCCESS : VI_ERROR_RSRC_LOCKED;
      default:
        return VI_ERROR_SYSTEM_ERROR;
    }
  }
}

// The operation table entry of this process: its own, else the first free
// one, else the first that an ended process holds. -1 when all 16 belong to
// running processes.
int32_t TakeEntry(ResourceRecord* r, uint32_t pid) {
  int32_t free_entry = -1;
  for (uint32_t i = 0; i < kOperEntries; ++i) {
    if (r->oper_count[i] == 0) {
      if (free_entry < 0) free_entry = int32_t(i);
    } else if (r->oper_pid[i] == pid) {
      return int32_t(i);
    }
  }
  if (free_entry >= 0) return free_entry;
  for (uint32_t i = 0; i < kOperEntries; ++i) {
    if (ProcessEnded(r->oper_pid[i], 0)) {
      r->oper_count[i] = 0;
      return int32_t(i);
    }
  }
  return -1;
}

}  // namespace

}  // namespace zyvisa::locking

using namespace zyvisa::locking;
using zyvisa::objects::IoSession;

extern "C" ZYVISA_EXPORT ViStatus zyvisaEnterLockOperImpl(ViSession session, ViUInt16* entered,
                                                          ViAddr* session_object) noexcept {
  if (entered == nullptr) return VI_ERROR_USER_BUF;
  *entered = 0;
  if (session > 0xFFFF || (session >> 12) != zyvisa::objects::kIoSessionKind) {
    return VI_ERROR_INV_OBJECT;
  }
  auto* s = static_cast<IoSession*>(
      zyvisaValidateIoSession(session, ZYVISA_SESN_ENTER | ZYVISA_SESN_NOT_CLOSING));
  if (s == nullptr) return VI_ERROR_INV_OBJECT;
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) {
    zyvisaReleaseIoSession(s);
    return VI_ERROR_RSRC_LOCKED;
  }
  RecordLock lock(r, mutex);
  if (lock.Acquire(zyvisa::platform::kWaitForever) != VI_SUCCESS) {
    zyvisaReleaseIoSession(s);
    return VI_ERROR_RSRC_LOCKED;
  }
  ViStatus status = Admit(r, *s, session, lock);
  if (status == VI_SUCCESS && s->lock_oper_depth++ == 0) {
    // The outermost operation of the session is the one counted in the table.
    const int32_t entry = TakeEntry(r, s->owner_process_id);
    if (entry < 0) {
      s->lock_oper_depth -= 1;
      status = VI_ERROR_RSRC_BUSY;
    } else {
      // The owner before the count: a process that dies between the two
      // leaves a free entry, never a count under another process's id.
      r->oper_pid[entry] = s->owner_process_id;
      r->oper_count[entry] += 1;
    }
  }
  if (status != VI_SUCCESS) {
    // The list semaphore inside the resource mutex: the one nesting of the
    // two that the lock order allows.
    zyvisaReleaseIoSession(s);
    return status;
  }
  if (session_object != nullptr) *session_object = s;
  *entered = 1;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaEnterLockOper(ViSession session,
                                                    ViUInt16* entered) noexcept {
  return zyvisaEnterLockOperImpl(session, entered, nullptr);
}

extern "C" ZYVISA_EXPORT void zyvisaExitLockOperImpl(ViAddr session_object,
                                                     ViUInt16 entered) noexcept {
  if (entered == 0 || session_object == nullptr) return;
  auto* s = static_cast<IoSession*>(session_object);
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  if (ViSemaphore mutex = MutexOf(r)) {
    RecordLock lock(r, mutex);
    if (lock.Acquire(zyvisa::platform::kWaitForever) == VI_SUCCESS) {
      if (s->lock_oper_depth > 0 && --s->lock_oper_depth == 0) {
        for (uint32_t i = 0; i < kOperEntries; ++i) {
          if (r->oper_pid[i] == s->owner_process_id && r->oper_count[i] > 0) {
            r->oper_count[i] -= 1;
            // A lock request of another process may sleep on this count.
            if (r->lock_waiters != 0) lock.WakeOperLater(i);
            break;
          }
        }
      }
    }
  }
  zyvisaReleaseIoSession(s);
}

extern "C" ZYVISA_EXPORT void visaExitLockOper(ViSession session, ViUInt16 entered) noexcept {
  if (entered == 0) return;
  zyvisaExitLockOperImpl(zyvisa::objects::LookupIoSession(session), entered);
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaUnlockAllSessionLocks(ViAddr session_object) noexcept {
  if (session_object == nullptr) return VI_SUCCESS;
  auto* s = static_cast<IoSession*>(session_object);
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) return VI_SUCCESS;
  RecordLock lock(r, mutex);
  if (lock.Acquire(zyvisa::platform::kWaitForever) != VI_SUCCESS) return VI_ERROR_TMO;
  const uint32_t before = r->lock_state;
  if (IsExclusiveOwner(*r, *s)) {
    r->exclusive_nest_count = 0;
    r->exclusive_owner_session = 0;
    r->exclusive_owner_pid = 0;
    r->owner_start_tag = 0;
    r->lock_state = StateWithoutExclusive(*r);
  }
  if (s->shared_lock_nesting > 0) {
    AddShared(r, -1);
    if (r->shared_lock_count == 0 && r->exclusive_nest_count == 0) r->lock_state = kUnlocked;
  }
  if (r->lock_state != before && r->lock_waiters != 0) lock.WakeStateLater();
  return VI_SUCCESS;
}
