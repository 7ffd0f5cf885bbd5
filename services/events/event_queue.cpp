// Event queues: one block per queue holding its head and every node, so that
// nodes never move and nothing is allocated after the queue is made; the
// queue list and the free list are 16-bit node indices inside the block.
#include <atomic>
#include <cstddef>

#include "events/emulated_async.h"
#include "events/event_internal.h"
#include "objects/object_table.h"
#include "zyvisa_events.h"
#include "zyvisa_objects.h"

namespace zyvisa::events {

namespace {

using objects::kNodeAllocated;
using objects::kNodeFree;
using objects::kNodeRaised;

// The emulated entries, indexed like kEmulatedOps. Written once by the
// emulation, read on every close of an I/O completion.
constexpr uint16_t kEmulatedOps[4] = {kOperReadAsync, kOperWriteAsync, kOperMoveAsync,
                                      kOperMoveAsyncEx};
constexpr uint16_t kEmulatedSlots[4] = {objects::kSlotReadAsync, objects::kSlotWriteAsync,
                                        objects::kSlotMoveAsync, objects::kSlotMoveAsyncEx};
std::atomic<const void*> g_emulated[4];

int EmulatedIndex(uint16_t operation) noexcept {
  for (int i = 0; i < 4; ++i) {
    if (kEmulatedOps[i] == operation) return i;
  }
  return -1;
}

uint16_t IndexOf(const EventQueue* queue, const EventNode* node) noexcept {
  const auto offset = reinterpret_cast<const char*>(node) - reinterpret_cast<const char*>(queue) -
                      static_cast<std::ptrdiff_t>(offsetof(EventQueue, node0));
  return static_cast<uint16_t>(offset / static_cast<std::ptrdiff_t>(sizeof(EventNode)));
}

}  // namespace

void SetEmulatedAsyncEntry(uint16_t operation, const void* entry) noexcept {
  const int i = EmulatedIndex(operation);
  if (i >= 0) g_emulated[i].store(entry, std::memory_order_release);
}

bool DriverHandlesJob(ViJobId job_id, const objects::OperTable* table) noexcept {
  const int i = EmulatedIndex(static_cast<uint16_t>(job_id >> 16));
  if (i < 0 || table == nullptr) return false;
  return table->slots[kEmulatedSlots[i]] != g_emulated[i].load(std::memory_order_acquire);
}

ViStatus AllocateNode(EventQueue* queue, EventNode** node) noexcept {
  // An event that its producer allocated and never raised is handed out again
  // rather than left to fill the queue.
  for (uint16_t i = queue->first; i != 0; i = queue->Node(i)->next) {
    if (LoadState(queue->Node(i)) == kNodeAllocated) {
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
  StoreState(taken, kNodeAllocated);
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

EventNode* FirstRaised(EventQueue* queue) noexcept {
  for (uint16_t i = queue->first; i != 0; i = queue->Node(i)->next) {
    if (LoadState(queue->Node(i)) == kNodeRaised) return queue->Node(i);
  }
  return nullptr;
}

void ReturnNode(EventQueue* queue, EventNode* node) noexcept {
  const uint16_t index = IndexOf(queue, node);
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
  StoreState(node, kNodeFree);
  node->previous = 0;
  node->next = queue->first_free;
  queue->first_free = index;
  --queue->queued_count;
}

ViStatus CloseWithDriver(const IoSession* session, const EventNode* node) noexcept {
  if (session == nullptr || session->event_oper_table == nullptr) return VI_SUCCESS;
  const void* close = session->event_oper_table->slots[objects::kSlotClose];
  if (close == nullptr) return VI_SUCCESS;
  // A completion of an emulated operation was made here, not by the driver,
  // and a completion of any other job has no driver context to close.
  if (node->event_type == VI_EVENT_IO_COMPLETION &&
      !DriverHandlesJob(node->job_id, session->oper_table)) {
    return VI_SUCCESS;
  }
  using CloseProc = ViStatus (*)(ViObject);
  return reinterpret_cast<CloseProc>(const_cast<void*>(close))(node->event_handle);
}

int EventIndexOf(const IoSession* session, ViEventType event_type) noexcept {
  const uint16_t count = session->supported_count < objects::kMaxEventIndices
                             ? session->supported_count
                             : objects::kMaxEventIndices;
  for (uint16_t i = 0; i < count; ++i) {
    if (session->supported_types[i] == event_type) return i;
  }
  return -1;
}

}  // namespace zyvisa::events

namespace events = zyvisa::events;
namespace objects = zyvisa::objects;

extern "C" ZYVISA_EXPORT ViAddr zyvisaCreateQueue(ViAddr session_object,
                                                  ViEventType event_type) noexcept {
  auto* session = static_cast<objects::IoSession*>(session_object);
  if (session == nullptr) return nullptr;
  const uint16_t length = session->max_queue_length;
  const auto size =
      static_cast<ViUInt32>(sizeof(objects::EventQueue) + sizeof(objects::EventNode) * length);
  ViUInt32 handle = 0;
  auto* queue = static_cast<objects::EventQueue*>(
      zyvisaCreateObject(objects::kEventQueueKind, size, &handle));
  if (queue == nullptr) return nullptr;
  queue->event_type = event_type;
  const int index = events::EventIndexOf(session, event_type);
  queue->event_index = static_cast<uint16_t>(index < 0 ? 0 : index);
  queue->first_free = length == 0 ? 0 : 1;
  queue->length = length;
  queue->handle = handle;
  queue->session = session;
  queue->overflow = 0;
  for (uint16_t i = 1; i <= length; ++i) {
    objects::EventNode* node = queue->Node(i);
    node->queue = queue;
    node->next = static_cast<uint16_t>(i == length ? 0 : i + 1);
    node->signature = objects::kValidSignature;
    node->state = objects::kNodeFree;
    node->event_type = event_type;
    node->event_handle = (static_cast<uint32_t>(i) << 16) | handle;
  }
  return queue;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaFreeQueue(ViAddr queue_object) noexcept {
  auto* queue = static_cast<objects::EventQueue*>(queue_object);
  if (queue == nullptr) return VI_SUCCESS;
  // The object table clears the signature and the slot under the list
  // semaphore of the event kind, then frees the block with its nodes.
  zyvisaFreeObject(objects::kEventQueueKind, queue, static_cast<ViUInt16>(queue->handle));
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaInsertNodeAtEnd(ViAddr queue, ViAddr* node) noexcept {
  if (node == nullptr) return VI_ERROR_USER_BUF;
  if (queue == nullptr) {
    *node = nullptr;
    return VI_ERROR_INV_OBJECT;
  }
  objects::EventNode* taken = nullptr;
  const ViStatus status = events::AllocateNode(static_cast<objects::EventQueue*>(queue), &taken);
  *node = taken;
  return status;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaReadNodeAtStart(ViAddr queue, ViAddr* node) noexcept {
  if (node == nullptr) return VI_ERROR_USER_BUF;
  *node =
      queue == nullptr ? nullptr : events::FirstRaised(static_cast<objects::EventQueue*>(queue));
  return *node != nullptr ? VI_SUCCESS : VI_ERROR_TMO;
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaDeleteNode(ViAddr queue_object,
                                                   ViAddr node_object) noexcept {
  auto* queue = static_cast<objects::EventQueue*>(queue_object);
  auto* node = static_cast<objects::EventNode*>(node_object);
  // A node that is not one of this queue's is refused like a free one.
  if (queue == nullptr || node < queue->Node(1) || node > queue->Node(queue->length) ||
      events::LoadState(node) == objects::kNodeFree) {
    return VI_ERROR_INV_CONTEXT;
  }
  const ViStatus status = events::CloseWithDriver(queue->session, node);
  events::ReturnNode(queue, node);
  return status;
}

extern "C" ZYVISA_EXPORT ViBoolean zyvisaPassportHandlesIoEvent(ViJobId job_id,
                                                                ViAddr oper_table) noexcept {
  return events::DriverHandlesJob(job_id, static_cast<const objects::OperTable*>(oper_table))
             ? VI_TRUE
             : VI_FALSE;
}
