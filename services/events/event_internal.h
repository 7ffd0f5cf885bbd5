// What the three parts of the event machinery share: node state access, the
// queue list operations without locks, closing an event with its driver, and
// holding a session's event semaphore.
#pragma once

#include <atomic>
#include <cstdint>

#include "objects/object_layouts.h"
#include "objects/oper_table.h"
#include "runtime/process_state.h"
#include "sync/sem_fast.h"
#include "zyvisa_sem.h"

namespace zyvisa::events {

using objects::EventNode;
using objects::EventQueue;
using objects::IoSession;

// A node's state is read by a delivering thread while the event semaphore is
// released around a handler (has the handler closed it?), and written by other
// threads that take and free nodes under the semaphore. The field is a bare
// 16-bit integer in the shared layout, so those accesses go through relaxed
// atomic operations on it.
inline uint16_t LoadState(const EventNode* node) noexcept {
  return reinterpret_cast<const std::atomic<uint16_t>*>(&node->state)
      ->load(std::memory_order_relaxed);
}
inline void StoreState(EventNode* node, uint16_t state) noexcept {
  reinterpret_cast<std::atomic<uint16_t>*>(&node->state)->store(state, std::memory_order_relaxed);
}

// Queue list operations; the caller holds the session's event semaphore.
// Inline: each event runs through several of them, and the calls cost more
// than their bodies.
inline ViStatus AllocateNode(EventQueue* queue, EventNode** node) noexcept {
  // An event that its producer allocated and never raised is handed out again
  // rather than left to fill the queue.
  for (uint16_t i = queue->first; i != 0; i = queue->Node(i)->next) {
    if (LoadState(queue->Node(i)) == objects::kNodeAllocated) {
      *node = queue->Node(i);
      return VI_SUCCESS;
    }
  }
  const uint16_t index = queue->first_free;
  if (index == 0) {
    // Left set for the core to see; only a new queue starts without it.
    queue->overflow = 1;
    *node = nullptr;
    return VI_ERROR_ALLOC;
  }
  EventNode* taken = queue->Node(index);
  queue->first_free = taken->next;
  taken->next = 0;
  StoreState(taken, objects::kNodeAllocated);
  ++queue->queued_count;
  taken->previous = queue->last;
  if (queue->last == 0) {
    queue->first = index;
  } else {
    queue->Node(queue->last)->next = index;
  }
  queue->last = index;
  taken->return_count &= 0xFFFFFFFFu;
  *node = taken;
  return VI_SUCCESS;
}

inline EventNode* FirstRaised(EventQueue* queue) noexcept {
  for (uint16_t i = queue->first; i != 0; i = queue->Node(i)->next) {
    if (LoadState(queue->Node(i)) == objects::kNodeRaised) return queue->Node(i);
  }
  return nullptr;
}

// Unlinks a non-free node from the queue list and puts it at the front of the
// free list.
inline void ReturnNode(EventQueue* queue, EventNode* node) noexcept {
  const auto index = static_cast<uint16_t>(node - queue->Node(0));
  if (node->previous == 0) {
    queue->first = node->next;
  } else {
    queue->Node(node->previous)->next = node->next;
  }
  if (node->next == 0) {
    queue->last = node->previous;
  } else {
    queue->Node(node->next)->previous = node->previous;
  }
  StoreState(node, objects::kNodeFree);
  node->previous = 0;
  node->next = queue->first_free;
  queue->first_free = index;
  --queue->queued_count;
}

// Closes the event with the driver that produced it (the viClose entry of the
// session's event operation table), except I/O completions that this
// library's emulation produced, which no driver knows of. Returns the
// driver's status, else VI_SUCCESS.
ViStatus CloseWithDriverTable(const IoSession* session, const EventNode* node) noexcept;
inline ViStatus CloseWithDriver(const IoSession* session, const EventNode* node) noexcept {
  if (session == nullptr || session->event_oper_table == nullptr) return VI_SUCCESS;
  return CloseWithDriverTable(session, node);
}

// The session object that a handle names, as zyvisaValidateIoSession(handle, 0)
// gives it (signature not checked), remembered per thread: a producer names
// the same session call after call, and the list semaphore is taken again
// only when that handle's session was freed since.
IoSession* FindIoSession(ViSession handle) noexcept;

// The first position of a type in the session's supported list, or -1.
inline int EventIndexOf(const IoSession* session, ViEventType event_type) noexcept {
  const uint16_t count = session->supported_count < objects::kMaxEventIndices
                             ? session->supported_count
                             : objects::kMaxEventIndices;
  for (uint16_t i = 0; i < count; ++i) {
    if (session->supported_types[i] == event_type) return i;
  }
  return -1;
}

// True when the table's entry for the job's asynchronous operation is this
// library's emulation (or the job is no asynchronous operation at all):
// the negation of zyvisaPassportHandlesIoEvent for the four operations.
bool DriverHandlesJob(ViJobId job_id, const objects::OperTable* table) noexcept;

// Holds the session's event semaphore for a scope, with the service lock
// timeout. With honour_bypass, a session whose caller serializes (bypass flag)
// is not locked. A session without a semaphore, or a semaphore that cannot be
// had while the library unloads, leaves the scope unlocked: the event calls
// report no error for it.
class EventLock {
 public:
  // Inline, as is the semaphore's uncontended path: two of these per event.
  [[gnu::always_inline]] EventLock(IoSession* session, bool honour_bypass) noexcept {
    if (honour_bypass && session->event_lock_bypass != 0) return;
    semaphore_ = session->event_semaphore;
    if (semaphore_ == nullptr ||
        sync::SemAcquire(semaphore_, &held_) != VI_SUCCESS) {
      held_ = 0;
    }
  }
  // The handler loop may have handed the semaphore back and not regained it;
  // the note says what this thread holds now.
  [[gnu::always_inline]] ~EventLock() {
    if (held_ != 0) sync::SemRelease(semaphore_, &held_);
  }
  EventLock(const EventLock&) = delete;
  EventLock& operator=(const EventLock&) = delete;
  // The note the handler loop updates as it releases and retakes the semaphore.
  ViUInt16* note() noexcept { return &held_; }

 private:
  ViSemaphore semaphore_ = nullptr;
  ViUInt16 held_ = 0;
};

// Whether the core's trace flag is on now.
inline bool SpyModeOn() noexcept {
  const ViUInt32* flag = runtime::State().spy_mode.load(std::memory_order_acquire);
  return flag != nullptr && *flag != 0;
}

}  // namespace zyvisa::events
