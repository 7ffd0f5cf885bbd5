// Finding records, holding their resource mutex, and keeping their lock
// fields true when processes die: the start tags that see through reused
// process ids, the holders table, and the repairs.
#include <atomic>
#include <cstring>

#include "locking/resource_record.h"
#include "objects/object_table.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "sync/sem_acquire.h"

namespace zyvisa::locking {

namespace {

std::atomic<RecordHolders*> g_holders{nullptr};

// Own tag, cached with the pid it belongs to: a forked child has another.
std::atomic<uint64_t> g_own_tag{0};

uint32_t FoldTag(uint64_t start) {
  if (start == 0) return 0;
  const auto tag = uint32_t(start ^ (start >> 32));
  return tag != 0 ? tag : 1;
}

int32_t IndexOf(const ResourceRecord* record) {
  const runtime::ProcessState& s = runtime::State();
  if (record == nullptr || s.services_data == nullptr) return -1;
  const auto* first =
      reinterpret_cast<const ResourceRecord*>(s.services_data + sizeof(runtime::ServicesSharedHead));
  if (record < first || record >= first + s.max_resources) return -1;
  return int32_t(record - first);
}

// Also the waiter count, which the gate's exit reads without the mutex.
void ClampedAdd(uint32_t& count, int delta) {
  const uint32_t before = LoadWord(count);
  if (delta < 0 && before == 0) return;
  StoreWord(count, uint32_t(int64_t(before) + delta));
}

void ClampedAdd16(uint16_t& count, int delta) {
  if (delta < 0 && count == 0) return;
  count = uint16_t(int32_t(count) + delta);
}

// The slot of this process, taking a free one (or one of an ended process)
// when it has none; null when every slot belongs to a live process.
HolderSlot* OwnSlot(RecordHolders* holders, bool create) {
  const uint32_t pid = platform::CurrentProcessId();
  const uint32_t tag = OwnStartTag();
  HolderSlot* free_slot = nullptr;
  for (HolderSlot& slot : holders->slots) {
    if (slot.pid == pid && slot.start_tag == tag) return &slot;
    if (free_slot == nullptr && (slot.pid == 0 || (slot.shared_sessions == 0 && slot.waiters == 0))) {
      free_slot = &slot;
    }
  }
  if (!create) return nullptr;
  if (free_slot == nullptr) {
    for (HolderSlot& slot : holders->slots) {
      if (ProcessEnded(slot.pid, slot.start_tag)) {
        free_slot = &slot;
        break;
      }
    }
  }
  if (free_slot == nullptr) return nullptr;
  // An ended process's counts go with its slot; the caller purges first, so
  // this only happens to a slot whose counts are already out of the record.
  *free_slot = HolderSlot{pid, tag, 0, 0};
  return free_slot;
}

}  // namespace

ResourceRecord* RecordAt(uint32_t index) noexcept {
  const runtime::ProcessState& s = runtime::State();
  if (s.services_data == nullptr || index >= s.max_resources) return nullptr;
  return reinterpret_cast<ResourceRecord*>(s.services_data + sizeof(runtime::ServicesSharedHead)) +
         index;
}

RecordHolders* HoldersOf(const ResourceRecord* record) noexcept {
  RecordHolders* table = g_holders.load(std::memory_order_acquire);
  const int32_t index = IndexOf(record);
  return table != nullptr && index >= 0 ? table + index : nullptr;
}

void JoinHoldersTable() noexcept {
  runtime::ProcessState& s = runtime::State();
  g_holders.store(nullptr, std::memory_order_release);
  const uint64_t bytes = uint64_t(s.max_resources) * sizeof(RecordHolders);
  if (s.region == nullptr || bytes == 0 || bytes > INT32_MAX) return;
  void* block = nullptr;
  ViUInt16 created = 0;
  // Carved zero-filled by the first process that starts; found by name (with
  // the same size) by the others.
  if (runtime::AllocBlock(s.region, s.region_size, kHoldersBlockName, ViUInt32(bytes), &block,
                          &created) != VI_SUCCESS) {
    return;
  }
  if (created) std::memset(block, 0, size_t(bytes));
  g_holders.store(static_cast<RecordHolders*>(block), std::memory_order_release);
}

void ForgetResourceMutexes() noexcept {
  runtime::ProcessState& s = runtime::State();
  g_holders.store(nullptr, std::memory_order_release);
  if (s.resource_mutexes == nullptr) return;
  for (uint32_t i = 0; i < s.max_resources; ++i) s.resource_mutexes[i] = nullptr;
}

void ReleaseProcessHolds() noexcept {
  const runtime::ProcessState& s = runtime::State();
  if (s.resource_mutexes == nullptr) return;
  const uint32_t me = platform::CurrentProcessId();
  // Bounded: a thread of ours that is gone may have left a mutex held; the
  // others then find this process ended instead.
  constexpr uint32_t kShutdownWaitMs = 100;
  for (uint32_t i = 0; i < s.max_resources; ++i) {
    auto mutex = static_cast<ViSemaphore>(s.resource_mutexes[i]);
    ResourceRecord* r = RecordAt(i);
    if (mutex == nullptr || r == nullptr) continue;
    RecordLock lock(r, mutex);
    if (lock.Acquire(kShutdownWaitMs) != VI_SUCCESS || r->in_use == 0) continue;
    const uint32_t before = r->lock_state;
    if (r->exclusive_nest_count != 0 && r->exclusive_owner_pid == me) {
      r->exclusive_nest_count = 0;
      r->exclusive_owner_pid = 0;
      r->owner_start_tag = 0;
    }
    if (RecordHolders* holders = HoldersOf(r)) {
      for (HolderSlot& slot : holders->slots) {
        if (slot.pid != me) continue;
        ClampedAdd(r->shared_lock_count, -int(slot.shared_sessions));
        ClampedAdd(r->lock_waiters, -int(slot.waiters));
        slot = HolderSlot{};
      }
    }
    // Under the session list semaphore too (inside the resource mutex, as
    // the lock order allows): the gate's exit takes counts off under it, and
    // must not find an entry ours, lose it here to another process, and take
    // the count off that process's operation. Not obtained (another thread
    // holds it while we unload): the entries stay until this process ends.
    objects::ListLock exits(objects::kIoSessionKind);
    for (uint32_t e = 0; exits.held() && e < kOperEntries; ++e) {
      if (LoadWord(r->oper_pid[e]) == me && LoadWord(r->oper_count[e]) != 0) {
        StoreWord(r->oper_count[e], 0);
        lock.WakeOperLater(e);
      }
    }
    if (r->exclusive_nest_count == 0) r->lock_state = StateWithoutExclusive(*r);
    if (r->lock_state != before) lock.WakeStateLater();
  }
}

uint32_t StartTag(uint32_t pid) noexcept { return FoldTag(platform::ProcessStartTime(pid)); }

uint32_t OwnStartTag() noexcept {
  const uint32_t pid = platform::CurrentProcessId();
  const uint64_t cached = g_own_tag.load(std::memory_order_relaxed);
  if (cached != 0 && uint32_t(cached >> 32) == pid) return uint32_t(cached);
  const uint32_t tag = StartTag(pid);
  g_own_tag.store(uint64_t{pid} << 32 | tag, std::memory_order_relaxed);
  return tag;
}

bool ProcessEnded(uint32_t pid, uint32_t start_tag) noexcept {
  switch (platform::ProcessState(pid)) {
    case platform::ProcState::kGone:
      return true;
    case platform::ProcState::kError:
      return false;
    case platform::ProcState::kAlive:
    case platform::ProcState::kNoPermission:
      break;
  }
  // Alive under that id; a known tag that differs means the id was reused.
  if (start_tag == 0) return false;
  const uint32_t now = StartTag(pid);
  return now != 0 && now != start_tag;
}

// ---------------------------------------------------------------- the record's mutex

void RecordLock::AfterAbandon() noexcept {
  RepairRecord(record_);
  if (record_->lock_waiters != 0) wake_state_ = true;
}

void RecordLock::Wake() noexcept {
  // After the release, so that a woken waiter does not block on the mutex at
  // once. The record stays mapped while the library runs.
  if (wake_state_) platform::WakeWord(&record_->lock_state);
  for (uint32_t entry = 0; wake_oper_ != 0; ++entry, wake_oper_ >>= 1) {
    if (wake_oper_ & 1u) platform::WakeWord(&record_->oper_count[entry]);
  }
  wake_state_ = false;
}


// ---------------------------------------------------------------- counts and repairs

void AddShared(ResourceRecord* record, int delta) noexcept {
  // The holders table first: a holder that dies between the two stores leaves
  // a table that RepairRecord rebuilds the count from.
  if (RecordHolders* holders = HoldersOf(record)) {
    HolderSlot* slot = OwnSlot(holders, delta > 0);
    ClampedAdd16(slot != nullptr && (delta > 0 || slot->shared_sessions > 0)
                     ? slot->shared_sessions
                     : holders->untracked_shared,
                 delta);
  }
  ClampedAdd(record->shared_lock_count, delta);
}

void AddWaiter(ResourceRecord* record, int delta) noexcept {
  if (RecordHolders* holders = HoldersOf(record)) {
    HolderSlot* slot = OwnSlot(holders, delta > 0);
    ClampedAdd16(slot != nullptr && (delta > 0 || slot->waiters > 0) ? slot->waiters
                                                                      : holders->untracked_waiters,
                 delta);
  }
  ClampedAdd(record->lock_waiters, delta);
}

bool DropDeadExclusiveOwner(ResourceRecord* record, RecordLock& lock) noexcept {
  if (record->exclusive_nest_count == 0 ||
      !ProcessEnded(record->exclusive_owner_pid, record->owner_start_tag)) {
    return false;
  }
  // The owner session is left as it was, so the record still tells whose lock
  // was dropped.
  record->exclusive_nest_count = 0;
  record->exclusive_owner_pid = 0;
  record->owner_start_tag = 0;
  record->lock_state = StateWithoutExclusive(*record);
  lock.WakeStateLater();
  return true;
}

bool PurgeEndedHolders(ResourceRecord* record, RecordLock& lock) noexcept {
  RecordHolders* holders = HoldersOf(record);
  if (holders == nullptr) return false;
  const uint32_t me = platform::CurrentProcessId();
  bool changed = false;
  for (HolderSlot& slot : holders->slots) {
    if (slot.pid == 0 || slot.pid == me || (slot.shared_sessions == 0 && slot.waiters == 0)) {
      continue;
    }
    if (!ProcessEnded(slot.pid, slot.start_tag)) continue;
    ClampedAdd(record->shared_lock_count, -int(slot.shared_sessions));
    ClampedAdd(record->lock_waiters, -int(slot.waiters));
    slot = HolderSlot{};
    changed = true;
  }
  if (!changed || record->exclusive_nest_count != 0) return false;
  const uint32_t state = StateWithoutExclusive(*record);
  if (record->lock_state == state) return false;
  record->lock_state = state;
  lock.WakeStateLater();
  return true;
}

void RepairRecord(ResourceRecord* record) noexcept {
  // The holders table is written before the counts, so it is the truth.
  if (RecordHolders* holders = HoldersOf(record)) {
    uint32_t shared = holders->untracked_shared;
    uint32_t waiters = holders->untracked_waiters;
    for (const HolderSlot& slot : holders->slots) {
      shared += slot.shared_sessions;
      waiters += slot.waiters;
    }
    record->shared_lock_count = shared;
    StoreWord(record->lock_waiters, waiters);
  }
  // An exclusive grant writes the owner before the nesting and the state: a
  // nesting without a live owner is dropped, a state is rebuilt from counts.
  if (record->exclusive_nest_count != 0 &&
      (record->exclusive_owner_pid == 0 ||
       ProcessEnded(record->exclusive_owner_pid, record->owner_start_tag))) {
    record->exclusive_nest_count = 0;
    record->exclusive_owner_pid = 0;
    record->owner_start_tag = 0;
  }
  record->lock_state =
      record->exclusive_nest_count != 0 ? kExclusive : StateWithoutExclusive(*record);
  // The shares and waits of the dead holder (and of any other ended process)
  // are taken out; our own slot is ours to keep.
  const uint32_t me = platform::CurrentProcessId();
  if (RecordHolders* holders = HoldersOf(record)) {
    for (HolderSlot& slot : holders->slots) {
      if (slot.pid == 0 || slot.pid == me || !ProcessEnded(slot.pid, slot.start_tag)) continue;
      ClampedAdd(record->shared_lock_count, -int(slot.shared_sessions));
      ClampedAdd(record->lock_waiters, -int(slot.waiters));
      slot = HolderSlot{};
    }
    if (record->exclusive_nest_count == 0) record->lock_state = StateWithoutExclusive(*record);
  }
}

}  // namespace zyvisa::locking
