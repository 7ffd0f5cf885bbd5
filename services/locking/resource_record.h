// The resource record every process shares for one open resource, the side
// table of who holds shared locks and who waits, and the internal interface of
// the locking subsystem (start-up, shutdown, the record's mutex and repairs).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "objects/object_layouts.h"
#include "runtime/process_state.h"
#include "sync/sem_acquire.h"
#include "zyvisa_sem.h"
#include "zyvisa_types.h"

namespace zyvisa::locking {

constexpr uint32_t kOperEntries = 16;
constexpr size_t kAccessKeySize = 256;
constexpr uint32_t kUnlocked = 0;
constexpr uint32_t kExclusive = 1;
constexpr uint32_t kShared = 2;

// One record of the services shared data. Other processes, possibly of other
// builds, read and write these bytes while holding the record's resource
// mutex, so every field sits at a checked offset. The lock state and the
// operation counts are also the words that waiters of other processes sleep
// on (futexes need 4-aligned 32-bit words; the payload is 4-aligned).
struct ResourceRecord {
  uint32_t lock_state;  // kUnlocked, kExclusive, kShared; anything else is corrupt
  uint32_t shared_lock_count;  // sessions holding a shared lock, each once
  uint32_t exclusive_nest_count;
  uint32_t exclusive_owner_session;
  uint32_t exclusive_owner_pid;
  char access_key[kAccessKeySize];
  uint32_t oper_pid[kOperEntries];
  uint32_t oper_count[kOperEntries];  // 0: entry free
  uint16_t in_use;
  uint16_t identity_a;
  uint16_t identity_b;
  uint16_t reserved410;
  uint32_t identity_c;
  uint32_t identity_d;
  int32_t session_count;
  // Reserved in the shared layout. We keep the exclusive owner's process
  // start tag here (see StartTag) so that a reused process id does not keep a
  // dead owner's lock alive; 0 (a writer that does not know it) means "check
  // the process id alone".
  uint32_t owner_start_tag;
  uint32_t lock_waiters;
  int32_t record_index;
};
static_assert(sizeof(ResourceRecord) == 436, "resource record is 436 bytes");
static_assert(alignof(ResourceRecord) == 4, "records sit 4-aligned in the region");
static_assert(offsetof(ResourceRecord, lock_state) == 0);
static_assert(offsetof(ResourceRecord, shared_lock_count) == 4);
static_assert(offsetof(ResourceRecord, exclusive_nest_count) == 8);
static_assert(offsetof(ResourceRecord, exclusive_owner_session) == 12);
static_assert(offsetof(ResourceRecord, exclusive_owner_pid) == 16);
static_assert(offsetof(ResourceRecord, access_key) == 20);
static_assert(offsetof(ResourceRecord, oper_pid) == 276);
static_assert(offsetof(ResourceRecord, oper_count) == 340);
static_assert(offsetof(ResourceRecord, in_use) == 404);
static_assert(offsetof(ResourceRecord, identity_a) == 406);
static_assert(offsetof(ResourceRecord, identity_b) == 408);
static_assert(offsetof(ResourceRecord, reserved410) == 410);
static_assert(offsetof(ResourceRecord, identity_c) == 412);
static_assert(offsetof(ResourceRecord, identity_d) == 416);
static_assert(offsetof(ResourceRecord, session_count) == 420);
static_assert(offsetof(ResourceRecord, owner_start_tag) == 424);
static_assert(offsetof(ResourceRecord, lock_waiters) == 428);
static_assert(offsetof(ResourceRecord, record_index) == 432);

// The gate's exit takes a count off this process's operation entry without
// the resource mutex (see lock_gate.cpp), so the operation table, the waiter
// count it reads and a session's lock-operation depth are plain words that
// this process only ever touches through an atomic view: the bytes stay what
// other processes and builds read under the mutex.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "shared words must be bare lock-free integers");
inline std::atomic<uint32_t>& AtomicWord(uint32_t& word) noexcept {
  return reinterpret_cast<std::atomic<uint32_t>&>(word);
}
inline uint32_t LoadWord(const uint32_t& word) noexcept {
  return reinterpret_cast<const std::atomic<uint32_t>&>(word).load(std::memory_order_relaxed);
}
inline void StoreWord(uint32_t& word, uint32_t value) noexcept {
  AtomicWord(word).store(value, std::memory_order_relaxed);
}

// The record counts shared holders and waiters without saying whose they
// are, so a process killed while holding a shared lock or while waiting
// would be counted for good. This side table, one entry per record in a
// block of its own, says per process how much of each count is its share;
// the counts of a process found ended are taken back out. Changed only under
// the record's resource mutex, like the record.
constexpr uint32_t kHolderSlots = 16;
constexpr const char* kHoldersBlockName = "ZY-VISA Resource Lock Holders";

struct HolderSlot {
  uint32_t pid;  // 0: free
  uint32_t start_tag;
  uint16_t shared_sessions;  // this process's part of shared_lock_count
  uint16_t waiters;          // its part of lock_waiters
};
static_assert(sizeof(HolderSlot) == 12);
static_assert(offsetof(HolderSlot, start_tag) == 4);
static_assert(offsetof(HolderSlot, shared_sessions) == 8);
static_assert(offsetof(HolderSlot, waiters) == 10);

struct RecordHolders {
  // Counted while every slot was taken by a live process: whose they are is
  // not known, so they are never taken out.
  uint16_t untracked_shared;
  uint16_t untracked_waiters;
  HolderSlot slots[kHolderSlots];
};
static_assert(sizeof(RecordHolders) == 196);
static_assert(offsetof(RecordHolders, untracked_waiters) == 2);
static_assert(offsetof(RecordHolders, slots) == 4);

// Record i of the services shared data, or null when i is out of range or
// the services are not started.
ResourceRecord* RecordAt(uint32_t index) noexcept;
// The holders entry of a record; null without the side table.
RecordHolders* HoldersOf(const ResourceRecord* record) noexcept;
// This process's handle on the record's resource mutex, or null. Inline:
// every lock call and gate entry and exit starts with it.
inline ViSemaphore MutexOf(const ResourceRecord* record) noexcept {
  const runtime::ProcessState& s = runtime::State();
  if (record == nullptr || s.resource_mutexes == nullptr) return nullptr;
  const int32_t index = record->record_index;
  if (index < 0 || uint32_t(index) >= s.max_resources) return nullptr;
  return static_cast<ViSemaphore>(s.resource_mutexes[index]);
}

// Start-up, under the initialization mutex with the region mapped: finds or
// carves the holders table. Failing to get it only leaves the deaths of shared
// holders and waiters to the record's own rules; it never fails start-up.
void JoinHoldersTable() noexcept;
// Shutdown: gives up everything this process holds in the records (its
// exclusive locks, its shares, its waits, its operations in progress), so
// that other processes need not wait to see it gone. This is the part of the
// locking shutdown that other processes need, also at process exit.
void ReleaseProcessHolds() noexcept;
// Shutdown, before the system semaphore table closes the handles: empties the
// resource mutex table so that no caller reaches a closed handle. Only this
// process needs it; at process exit, while other threads may still run, it
// can be skipped.
void ForgetResourceMutexes() noexcept;

// A short tag of a process's start time: with the pid it names one process
// even after the pid is reused. Never 0 (0 means unknown).
uint32_t StartTag(uint32_t pid) noexcept;
uint32_t OwnStartTag() noexcept;
// True when the process has ended (or the pid now names another process).
bool ProcessEnded(uint32_t pid, uint32_t start_tag) noexcept;

// Holding a record's resource mutex. Acquire repairs the record when the
// previous holder died holding it. The waker collects the words whose waiters
// must be woken once the mutex is released.
class RecordLock {
 public:
  RecordLock(ResourceRecord* record, ViSemaphore mutex) noexcept : record_(record), mutex_(mutex) {}
  ~RecordLock() { Release(); }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;
  // VI_SUCCESS, VI_ERROR_TMO, or VI_ERROR_INV_OBJECT when the handle is gone.
  // Inline, as is Release: they bracket every lock call and gate entry.
  ViStatus Acquire(uint32_t timeout_ms) noexcept {
    bool abandoned = false;
    // The record's own fields say what is locked and by whom; the semaphore
    // record's owner bookkeeping would only repeat the mutex's.
    const ViStatus status = sync::AcquireDirect(mutex_, timeout_ms, &abandoned);
    if (status == VI_ERROR_INV_OBJECT) return VI_ERROR_INV_OBJECT;
    if (status != VI_SUCCESS) return VI_ERROR_TMO;
    held_ = true;
    // The previous holder died half-way through changing the record.
    if (abandoned) AfterAbandon();
    return VI_SUCCESS;
  }
  void Release() noexcept {
    if (held_) {
      held_ = false;
      sync::ReleaseDirect(mutex_);
    }
    if (wake_state_ || wake_oper_ != 0) Wake();
  }
  bool held() const noexcept { return held_; }
  // Called after changing a word that waiters may sleep on.
  void WakeStateLater() noexcept { wake_state_ = true; }
  void WakeOperLater(uint32_t entry) noexcept { wake_oper_ |= 1u << entry; }

 private:
  void AfterAbandon() noexcept;
  void Wake() noexcept;

  ResourceRecord* record_;
  ViSemaphore mutex_;
  bool held_ = false;
  bool wake_state_ = false;
  uint32_t wake_oper_ = 0;
};

// Brings the lock fields back to the invariants after a holder died while
// changing them: the counts are rebuilt from the holders table, a dead
// exclusive owner is removed, the state follows the counts.
void RepairRecord(ResourceRecord* record) noexcept;
// Takes the shares and waits of ended processes out of the counts; true when
// the lock state changed.
bool PurgeEndedHolders(ResourceRecord* record, RecordLock& lock) noexcept;
// Removes an exclusive owner whose process ended; true if it did.
bool DropDeadExclusiveOwner(ResourceRecord* record, RecordLock& lock) noexcept;

// Counting this process's shared sessions and waiters, in the record and the
// holders table together (delta +1 or -1).
void AddShared(ResourceRecord* record, int delta) noexcept;
void AddWaiter(ResourceRecord* record, int delta) noexcept;
// The state the counts call for when no exclusive lock is held.
inline uint32_t StateWithoutExclusive(const ResourceRecord& r) noexcept {
  return r.shared_lock_count > 0 ? kShared : kUnlocked;
}

// The session is the exclusive owner of its record.
inline bool IsExclusiveOwner(const ResourceRecord& r, const objects::IoSession& s) noexcept {
  return r.exclusive_owner_session == s.handle && r.exclusive_owner_pid == s.owner_process_id;
}

}  // namespace zyvisa::locking
