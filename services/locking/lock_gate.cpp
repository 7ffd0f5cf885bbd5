// The gate every operation on a resource passes: it refuses at once when
// another session holds the lock, and counts this process's operations in
// progress in the record so that lock requests of other processes wait for
// them. Also the dropping of a closing session's locks.
#include "locking/resource_record.h"
#include "objects/object_table.h"
#include "platform/platform.h"
#include "sync/sem_record.h"
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
// running processes. Called with the resource mutex held; the exits of this
// process's other sessions may still take counts off meanwhile.
//
// Every entry this process counts in is taken here, under the mutex, and
// the hint remembers it; an entry of ours in use is always found and joined.
// So at any moment the hinted entry is the only one of ours that can have a
// count, and when it has none, neither has any other: the walk for our own
// entry can stop at the first free one. A hint whose entry is not under our
// id (never set, another process since, a child after fork) proves nothing.
int32_t TakeEntry(ResourceRecord* r, uint32_t pid, uint32_t hint) {
  if (hint < kOperEntries && LoadWord(r->oper_pid[hint]) == pid) {
    if (LoadWord(r->oper_count[hint]) != 0) return int32_t(hint);
    // The hinted count is 0 and stays so while we hold the mutex: found at
    // the latest there.
    for (uint32_t i = 0;; ++i) {
      if (LoadWord(r->oper_count[i]) == 0) return int32_t(i);
    }
  }
  int32_t free_entry = -1;
  for (uint32_t i = 0; i < kOperEntries; ++i) {
    if (LoadWord(r->oper_count[i]) == 0) {
      if (free_entry < 0) free_entry = int32_t(i);
    } else if (LoadWord(r->oper_pid[i]) == pid) {
      return int32_t(i);
    }
  }
  if (free_entry >= 0) return free_entry;
  for (uint32_t i = 0; i < kOperEntries; ++i) {
    if (ProcessEnded(LoadWord(r->oper_pid[i]), 0)) {
      StoreWord(r->oper_count[i], 0);
      return int32_t(i);
    }
  }
  return -1;
}

// Adds delta (modulo 2^32) to a word that, besides this process's threads,
// nobody changes while the process lives: a session's depth, and the count of
// this process's own operation entry (other processes take an entry only when
// its count is 0, and clear it only when the process has ended). With one
// thread in the process a load and a store do, as in the C library's own
// locks. Returns the value before.
uint32_t AddOwn(uint32_t& word, uint32_t delta) {
  if (platform::SingleThreaded()) {
    const uint32_t before = LoadWord(word);
    StoreWord(word, before + delta);
    return before;
  }
  return AtomicWord(word).fetch_add(delta, std::memory_order_relaxed);
}

// Takes the session out of the gate: one level of depth off, and at the
// outermost level one count off this process's operation entry. Without the
// resource mutex: the entry is this process's own while its count is above 0
// (see AddOwn), and a lock request that reads the count under the mutex only
// ever sees it fall, which is what it waits for. The caller holds the session
// list semaphore, which keeps the exits of the process, and the clearing of
// its entries at shutdown, one at a time: an entry found ours with a count is
// still ours when the count comes off.
void LeaveGate(IoSession* s) {
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  // No resource mutex: the record is not (or no longer) this process's to
  // touch, the services having shut down.
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) return;
  uint32_t& depth = s->lock_oper_depth;
  if (LoadWord(depth) == 0 || AddOwn(depth, UINT32_MAX) != 1) return;
  const uint32_t pid = s->owner_process_id;
  // Our operation is counted in the hinted entry (see TakeEntry): while its
  // count is above 0 the hint does not move. Any entry of ours with a count
  // would do as well; the walk is for hints that prove nothing.
  const uint32_t hint = mutex->owner_word.load(std::memory_order_relaxed);
  const bool hinted = hint < kOperEntries && LoadWord(r->oper_pid[hint]) == pid &&
                      LoadWord(r->oper_count[hint]) != 0;
  for (uint32_t i = hinted ? hint : 0; i < kOperEntries; ++i) {
    if (LoadWord(r->oper_pid[i]) != pid || LoadWord(r->oper_count[i]) == 0) continue;
    // A locked instruction even with one thread: it orders the count before
    // the look at the waiters, against a waiter of another process that
    // counts itself in and then sleeps while the count holds its old value;
    // one of the two sees the other.
    AtomicWord(r->oper_count[i]).fetch_sub(1, std::memory_order_seq_cst);
    if (LoadWord(r->lock_waiters) != 0) platform::WakeWord(&r->oper_count[i]);
    return;
  }
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
  IoSession* s = zyvisa::objects::ValidateIoSession(
      session, ZYVISA_SESN_ENTER | ZYVISA_SESN_NOT_CLOSING);
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
  if (status == VI_SUCCESS && AddOwn(s->lock_oper_depth, 1) == 0) {
    // The outermost operation of the session is the one counted in the table.
    const int32_t entry =
        TakeEntry(r, s->owner_process_id, mutex->owner_word.load(std::memory_order_relaxed));
    if (entry < 0) {
      AddOwn(s->lock_oper_depth, UINT32_MAX);
      status = VI_ERROR_RSRC_BUSY;
    } else {
      // The owner before the count: a process that dies between the two
      // leaves a free entry, never a count under another process's id.
      StoreWord(r->oper_pid[entry], s->owner_process_id);
      AddOwn(r->oper_count[entry], 1);
      mutex->owner_word.store(uint32_t(entry), std::memory_order_relaxed);
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
  zyvisa::objects::ListLock list(zyvisa::objects::kIoSessionKind);
  // Also without the list semaphore (only while unloading): a count left in
  // the record would hold other processes' lock requests back while this
  // process lives.
  LeaveGate(s);
  if (list.held()) zyvisa::objects::DropUseCount(*s);
}

extern "C" ZYVISA_EXPORT void visaExitLockOper(ViSession session, ViUInt16 entered) noexcept {
  if (entered == 0) return;
  // One hold of the list semaphore for the look-up, the exit and the
  // reference: the exit takes no other lock, so nothing nests inside it.
  zyvisa::objects::ListLock list(zyvisa::objects::kIoSessionKind);
  if (!list.held()) return;
  auto* s = static_cast<IoSession*>(
      zyvisa::objects::LookupObjectHeld(zyvisa::objects::kIoSessionKind, session));
  if (s == nullptr) return;
  LeaveGate(s);
  zyvisa::objects::DropUseCount(*s);
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
