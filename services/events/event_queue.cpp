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

ViStatus CloseWithDriverTable(const IoSession* session, const EventNode* node) noexcept {
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
