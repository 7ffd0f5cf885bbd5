// The four object lists of the process: slots behind the handles, the links
// from the newest object to the oldest, and the validations that every
// operation on a handle starts with.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "objects/object_lists.h"
#include "objects/object_table.h"
#include "sync/sem_fast.h"
#include "zyvisa_objects.h"

namespace zyvisa::objects {

std::atomic<uint32_t> g_io_session_slot_generations[kHandleSlotMask + 1];

namespace {

constexpr uint32_t kSlotGrowth = 256;

struct ObjectList {
  // Read without the list semaphore by zyvisaGetFirstObject; changed under it.
  std::atomic<ObjectHeader*> first{nullptr};
  // Set at start-up, before any caller can use the list; read on every lookup.
  std::atomic<ViSemaphore> semaphore{nullptr};
  // Guarded by the semaphore: object addresses by slot, empty entries null.
  ObjectHeader** slots = nullptr;
  uint32_t slot_count = 0;  // a multiple of kSlotGrowth, at most 4096
};

ObjectList g_lists[kObjectKindCount];

// Session lists only: bumped after the slot is emptied, released so that a
// reader that sees the new value also sees the slot empty.
void BumpGeneration(uint16_t kind, uint32_t handle) noexcept {
  if (kind == kIoSessionKind) {
    g_io_session_slot_generations[handle & kHandleSlotMask].fetch_add(1, std::memory_order_acq_rel);
  }
}

const char* const kListSemaphoreNames[kObjectKindCount] = {
    "ViSessionIO List", "ViRsrcManager List", "ViFindList List", "ViEventTable List"};

// The smallest block of each kind that holds the fields this library touches:
// a smaller one would let a validation or a later subsystem write past it.
constexpr uint32_t kMinimumSize[kObjectKindCount] = {
    sizeof(IoSession), sizeof(ObjectHeader), sizeof(FindList), sizeof(EventQueue)};

// The slot's entry for the low 12 bits of handle, or null. Caller holds the
// list semaphore. A low part of 0 wraps to slot 0xFFFF, past every list.
ObjectHeader* SlotEntry(const ObjectList& list, uint32_t handle) noexcept {
  const uint16_t slot = static_cast<uint16_t>((handle & kHandleSlotMask) - 1);
  return slot < list.slot_count ? list.slots[slot] : nullptr;
}

uint16_t HandleKind(uint32_t handle) noexcept {
  return static_cast<uint16_t>((handle >> kHandleKindShift) & 0xF);
}

// Finds the lowest empty slot, growing the array when every slot is taken.
// Caller holds the list semaphore. False when the kind is full or the array
// cannot grow.
bool TakeSlot(ObjectList& list, uint32_t* slot_out) noexcept {
  uint32_t slot = 0;
  while (slot < list.slot_count && list.slots[slot] != nullptr) ++slot;
  if (slot + 1 > kMaxObjectsPerKind) return false;
  if (slot == list.slot_count) {
    const size_t count = list.slot_count + kSlotGrowth;
    void* grown = std::realloc(list.slots, count * sizeof(ObjectHeader*));
    if (grown == nullptr) return false;
    list.slots = static_cast<ObjectHeader**>(grown);
    std::memset(list.slots + list.slot_count, 0, kSlotGrowth * sizeof(ObjectHeader*));
    list.slot_count = static_cast<uint32_t>(count);
  }
  *slot_out = slot;
  return true;
}

// Every change of a session's use count is made under the session list
// semaphore (entry and release here, the lock-operation gate through the
// same calls), so the semaphore already makes the read-modify-write
// indivisible; the store is atomic so that readers without the semaphore
// never see a torn value. A locked instruction here would cost about as much
// as the semaphore itself on the path that every I/O call takes. Caller
// holds the session list semaphore.
void AddToUseCount(IoSession& session, uint32_t delta) noexcept {
  session.use_count.store(session.use_count.load(std::memory_order_relaxed) + delta,
                          std::memory_order_relaxed);
}

// Caller holds the list semaphore.
void Unlink(ObjectList& list, ObjectHeader* object) noexcept {
  ObjectHeader* next = object->next;
  ObjectHeader* previous = object->previous;
  if (previous != nullptr) {
    previous->next = next;
    if (next != nullptr) next->previous = previous;
  } else if (list.first.load(std::memory_order_relaxed) == object) {
    // Without a previous object only the first one is linked at all; an object
    // that is not in the list (freed twice) must not replace the first.
    list.first.store(next, std::memory_order_relaxed);
    if (next != nullptr) next->previous = nullptr;
  }
}

}  // namespace

ViSemaphore ListSemaphore(uint16_t kind) noexcept {
  return kind < kObjectKindCount ? g_lists[kind].semaphore.load(std::memory_order_relaxed)
                                 : nullptr;
}

ListLock::ListLock(uint16_t kind) noexcept : semaphore_(ListSemaphore(kind)) {
  // Every I/O call holds a list lock twice or more: uncontended, the inline
  // path skips what the exported call checks for its callers.
  if (sync::SemAcquire(semaphore_, &acquired_) != VI_SUCCESS) {
    acquired_ = 0;
  }
}

ListLock::~ListLock() {
  if (acquired_ != 0) sync::SemRelease(semaphore_, &acquired_);
}

bool SnapshotList(uint16_t kind, std::vector<Listed>* out) noexcept {
  out->clear();
  if (kind >= kObjectKindCount) return true;
  const ObjectList& list = g_lists[kind];
  try {
    // The slots by object address, to find each linked object's slot.
    std::vector<Listed> by_address;
    for (uint32_t slot = 0; slot < list.slot_count; ++slot) {
      if (list.slots[slot] != nullptr) {
        by_address.push_back({list.slots[slot], slot, IoSessionGeneration(slot + 1)});
      }
    }
    const auto address_order = [](const Listed& a, const Listed& b) {
      return std::less<ObjectHeader*>()(a.object, b.object);
    };
    std::sort(by_address.begin(), by_address.end(), address_order);
    out->reserve(by_address.size());
    for (ObjectHeader* o = list.first.load(std::memory_order_relaxed); o != nullptr; o = o->next) {
      const auto at =
          std::lower_bound(by_address.begin(), by_address.end(), Listed{o, 0, 0}, address_order);
      if (at != by_address.end() && at->object == o) out->push_back(*at);
      if (out->size() > by_address.size()) break;  // links that loop are not followed
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool StillListed(uint16_t kind, const Listed& entry) noexcept {
  const ObjectList& list = g_lists[kind];
  return entry.slot < list.slot_count && list.slots[entry.slot] == entry.object &&
         (kind != kIoSessionKind || IoSessionGeneration(entry.slot + 1) == entry.generation);
}

void* LookupObject(uint16_t kind, uint32_t handle) noexcept {
  if (kind >= kObjectKindCount || HandleKind(handle) != kind) return nullptr;
  ListLock lock(kind);
  return lock.held() ? SlotEntry(g_lists[kind], handle) : nullptr;
}

void* LookupObjectHeld(uint16_t kind, uint32_t handle) noexcept {
  if (kind >= kObjectKindCount || HandleKind(handle) != kind) return nullptr;
  return SlotEntry(g_lists[kind], handle);
}

void DropUseCount(IoSession& session) noexcept { AddToUseCount(session, UINT32_MAX); }

IoSession* ValidateIoSession(uint32_t handle, uint32_t flags) noexcept {
  if (handle > 0xFFFF || HandleKind(handle) != kIoSessionKind) return nullptr;
  ListLock lock(kIoSessionKind);
  if (!lock.held()) return nullptr;
  auto* session = reinterpret_cast<IoSession*>(SlotEntry(g_lists[kIoSessionKind], handle));
  if (session == nullptr || flags == 0) return session;
  if (session->header.signature != kValidSignature || session->header.kind != kIoSessionKind ||
      ((flags & ZYVISA_SESN_NOT_CLOSING) != 0 &&
       session->closing.load(std::memory_order_relaxed) != 0)) {
    return nullptr;
  }
  if ((flags & ZYVISA_SESN_ENTER) != 0) AddToUseCount(*session, 1);
  if ((flags & ZYVISA_SESN_BEGIN_CLOSE) != 0) session->closing.store(1, std::memory_order_relaxed);
  return session;
}

bool CreateObjectLists() noexcept {
  ResetObjectLists();
  // The list semaphores take their records of the process table in this order.
  constexpr uint16_t kOrder[kObjectKindCount] = {kRsrcManagerKind, kFindListKind, kIoSessionKind,
                                                 kEventQueueKind};
  for (uint16_t kind : kOrder) {
    ViSemaphore semaphore = nullptr;
    if (visaSemAlloc(kListSemaphoreNames[kind], ZYVISA_SEM_PROCESS, VI_TRUE, &semaphore) !=
        VI_SUCCESS) {
      return false;
    }
    g_lists[kind].semaphore.store(semaphore, std::memory_order_relaxed);
  }
  return true;
}

void ResetObjectLists() noexcept {
  for (ObjectList& list : g_lists) {
    // Objects still registered belong to their creators, who free them.
    std::free(list.slots);
    list.slots = nullptr;
    list.slot_count = 0;
    list.first.store(nullptr, std::memory_order_relaxed);
    // The semaphores themselves are closed with the process semaphore table.
    list.semaphore.store(nullptr, std::memory_order_relaxed);
  }
  // The next start-up hands out the same handles for new objects.
  for (uint32_t handle = 0; handle <= kHandleSlotMask; ++handle) {
    BumpGeneration(kIoSessionKind, handle);
  }
}

}  // namespace zyvisa::objects

using zyvisa::objects::g_lists;
namespace objects = zyvisa::objects;

extern "C" ZYVISA_EXPORT ViAddr zyvisaCreateObject(ViUInt16 kind, ViUInt32 size,
                                                   ViUInt32* handle) noexcept {
  // Without handle_out the object could never be named again, so it is refused
  // like any other bad argument.
  if (kind >= objects::kObjectKindCount || handle == nullptr ||
      size < objects::kMinimumSize[kind]) {
    return nullptr;
  }
  auto* object = static_cast<objects::ObjectHeader*>(std::calloc(1, size));
  if (object == nullptr) return nullptr;
  {
    objects::ListLock lock(kind);
    objects::ObjectList& list = g_lists[kind];
    uint32_t slot = 0;
    if (lock.held() && objects::TakeSlot(list, &slot)) {
      object->signature = objects::kValidSignature;
      object->kind = kind;
      list.slots[slot] = object;
      *handle = (static_cast<uint32_t>(kind) << objects::kHandleKindShift) | (slot + 1);
      objects::ObjectHeader* first = list.first.load(std::memory_order_relaxed);
      object->next = first;
      if (first != nullptr) first->previous = object;
      list.first.store(object, std::memory_order_relaxed);
      return object;
    }
  }
  std::free(object);
  return nullptr;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaFreeObject(ViUInt16 kind, ViAddr object,
                                                   ViUInt16 handle) noexcept {
  if (kind >= objects::kObjectKindCount) return VI_ERROR_INV_OBJECT;
  if (object == nullptr) return VI_WARN_NULL_OBJECT;
  auto* header = static_cast<objects::ObjectHeader*>(object);
  // Cleared before the list semaphore is taken, so that a validation that
  // runs while this thread waits for it already refuses the object.
  const uint16_t signature = header->signature.exchange(0);
  const uint16_t own_kind = header->kind.exchange(0);
  {
    objects::ListLock lock(kind);
    if (!lock.held()) {
      // Only while unloading: another thread holds the list, maybe one that
      // is gone and left it half changed. Nothing of the list is touched and
      // the object is not freed: it gets its signature back, stays reachable
      // as before, and the caller hears that it is still there.
      header->kind.store(own_kind);
      header->signature.store(signature);
      return VI_ERROR_SYSTEM_ERROR;
    }
    objects::ObjectList& list = g_lists[kind];
    // The slot named by the handle is emptied without comparing it with the
    // object: the caller pairs them.
    const uint32_t slot = (handle & objects::kHandleSlotMask) - 1u;
    if (slot < list.slot_count) list.slots[slot] = nullptr;
    objects::Unlink(list, header);
    objects::BumpGeneration(kind, handle);
  }
  std::free(object);
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViSemaphore zyvisaGetObjectListMutex(ViUInt16 kind) noexcept {
  return objects::ListSemaphore(kind);
}

extern "C" ZYVISA_EXPORT ViAddr zyvisaGetFirstObject(ViUInt16 kind) noexcept {
  if (kind >= objects::kObjectKindCount) return nullptr;
  return g_lists[kind].first.load(std::memory_order_relaxed);
}

extern "C" ZYVISA_EXPORT ViAddr zyvisaValidateRM(ViUInt32 handle) noexcept {
  return handle > 0xFFFF ? nullptr : objects::LookupObject(objects::kRsrcManagerKind, handle);
}

extern "C" ZYVISA_EXPORT ViAddr zyvisaValidateFindList(ViUInt32 handle) noexcept {
  return handle > 0xFFFF ? nullptr : objects::LookupObject(objects::kFindListKind, handle);
}

extern "C" ZYVISA_EXPORT ViAddr zyvisaValidateEvent(ViUInt32 event) noexcept {
  auto* queue = static_cast<objects::EventQueue*>(
      objects::LookupObject(objects::kEventQueueKind, event & 0xFFFF));
  const auto index = static_cast<uint16_t>(event >> 16);
  // Index 0 is not refused: it names the reserved node space of the head.
  return queue != nullptr && index <= queue->length ? queue->Node(index) : nullptr;
}

// The path that every I/O operation takes on entry, with flags 3.
extern "C" ZYVISA_EXPORT ViAddr zyvisaValidateIoSession(ViUInt32 handle, ViUInt32 flags) noexcept {
  return objects::ValidateIoSession(handle, flags);
}

extern "C" ZYVISA_EXPORT void zyvisaReleaseIoSession(ViAddr session) noexcept {
  if (session == nullptr) return;
  objects::ListLock lock(objects::kIoSessionKind);
  // Without the list semaphore (unloading) the count is left as it is: it
  // changes only under that semaphore, where the closing code reads it.
  if (lock.held()) {
    objects::AddToUseCount(*static_cast<objects::IoSession*>(session), UINT32_MAX);
  }
}
