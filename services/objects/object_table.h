// Internal view of the object table for the other subsystems: turning a handle
// back into its object, and holding a list's semaphore the way every service
// lock is held (with the service lock timeout, so that it gives up at once
// while the library unloads).
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "objects/object_layouts.h"
#include "zyvisa_sem.h"

namespace zyvisa::objects {

// Handle value layout: kind in bits 12 to 15, slot + 1 in bits 0 to 11; an event
// handle adds a node index in bits 16 to 31.
constexpr uint32_t kHandleKindShift = 12;
constexpr uint32_t kHandleSlotMask = 0x0FFF;
constexpr uint32_t kMaxObjectsPerKind = 4095;

// The object of that kind and handle, or null: for a handle of another kind, a
// slot that is empty or past the list, or when the list's semaphore cannot be
// obtained. Bits 16 to 31 of the handle are ignored. The object is not checked
// for its signature: callers that need a live object test it themselves.
void* LookupObject(uint16_t kind, uint32_t handle) noexcept;

// LookupObject for a caller that already holds the kind's list semaphore.
void* LookupObjectHeld(uint16_t kind, uint32_t handle) noexcept;
// zyvisaValidateIoSession for callers inside the library (the gate's entry
// on every I/O call), without the exported call's indirection.
IoSession* ValidateIoSession(uint32_t handle, uint32_t flags) noexcept;
// Takes the reference that zyvisaValidateIoSession with flag 1 counted.
// Caller holds the session list semaphore.
void DropUseCount(IoSession& session) noexcept;
// The I/O session (kind 0) of a handle, as LookupObject gives it.
inline IoSession* LookupIoSession(uint32_t handle) noexcept {
  return static_cast<IoSession*>(LookupObject(kIoSessionKind, handle));
}

// One per slot of the session list, changed (under the session list
// semaphore) whenever the I/O session in that slot leaves it, and all of them
// when the lists are reset. A caller that read a handle's value before a
// lookup and finds it unchanged knows that the handle still names the same
// object, as surely as a new lookup would, without taking the list semaphore;
// and unlike a comparison of addresses, it is not fooled by a new session that
// took the freed memory and the same slot in between.
extern std::atomic<uint32_t> g_io_session_slot_generations[kHandleSlotMask + 1];
inline uint32_t IoSessionGeneration(uint32_t handle) noexcept {
  return g_io_session_slot_generations[handle & kHandleSlotMask].load(std::memory_order_acquire);
}

// An object of a list and the slot that holds it, as a walk that calls out
// remembers them: what it calls may free any object of the list, and open new
// ones in the slots and memory so freed. For a session, the slot's generation
// (IoSessionGeneration of slot + 1, the low bits of the handle it had).
struct Listed {
  ObjectHeader* object;
  uint32_t slot;
  uint32_t generation;
};
// The objects of a kind, newest first, with their slots. Caller holds the
// list semaphore. False when the memory for them cannot be had.
bool SnapshotList(uint16_t kind, std::vector<Listed>* out) noexcept;
// True while the object is still registered in its slot, so that its memory
// is still the object's (for a session: has not left it since the snapshot).
// Caller holds the list semaphore.
bool StillListed(uint16_t kind, const Listed& entry) noexcept;

// The recursive semaphore of a kind's list ("ViFindList List" for kind 2 ...);
// null for an unknown kind or before start-up created the lists.
ViSemaphore ListSemaphore(uint16_t kind) noexcept;

// Holds a list semaphore for a scope, acquired with the service lock timeout.
// A thread may nest it (the semaphores are recursive) and may call the lookups
// and the exported object operations of the same list while it holds it.
class ListLock {
 public:
  explicit ListLock(uint16_t kind) noexcept;
  ~ListLock();
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;
  // False when the semaphore could not be obtained (unknown kind, no lists, or
  // held elsewhere while the library unloads).
  bool held() const noexcept { return acquired_ != 0; }

 private:
  ViSemaphore semaphore_;
  ViUInt16 acquired_ = 0;
};

}  // namespace zyvisa::objects
