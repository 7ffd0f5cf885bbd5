// The handler loop: raised events of one event index go to the installed
// handlers in the order raised, one at a time, with the session's event
// semaphore released around each handler so that handlers may call back into
// the same session from any thread.
#pragma once

#include "events/call_trace.h"
#include "events/event_internal.h"
#include "objects/object_table.h"
#include "platform/platform.h"
#include "sync/sem_fast.h"
#include "zyvisa_events.h"

namespace zyvisa::events {

// A handler may close its session, and the core then frees the object: its
// memory is not read again unless the session has kept its slot since the
// generation was read before the handler. A session opened in between may
// have the same handle and the same memory, so neither is compared.
inline bool StillOpen(const IoSession* session, ViSession handle, uint32_t generation) noexcept {
  return objects::IoSessionGeneration(handle) == generation &&
         session->header.signature == objects::kValidSignature;
}

inline void MarkDelivered(IoSession* session, uint16_t index, EventNode* node) noexcept {
  StoreState(node, objects::kNodeDelivered);
  session->invocation[index].invoking_thread_id = platform::CurrentThreadId();
}

enum class Delivery { kDone, kSessionGone };

// Hands a node that is marked delivered to every handler of the index, newest
// first. Runs without the event semaphore. kRecorded: the call trace is on, or
// the event is an exception, whose handlers find their record's cookie in the
// node; the plain form keeps fewer values alive across the handler call.
template <bool kRecorded>
[[gnu::always_inline]] inline Delivery CallEachHandler(IoSession* session, uint16_t index,
                                                       EventNode* node, ViEventType event_type,
                                                       bool traced) noexcept {
  const ViUInt32 event = node->event_handle;
  const ViSession handle = session->handle;
  if constexpr (kRecorded) {
    if (traced && event_type == VI_EVENT_IO_COMPLETION) TraceCompletion(session, node);
  }
  objects::InvocationRecord& invocation = session->invocation[index];
  for (int h = session->handler_count[index] - 1; h >= 0; --h) {
    const objects::HandlerEntry* list = session->handler_list[index];
    if (list == nullptr) break;
    const objects::HandlerEntry entry = list[h];
    uint64_t cookie = 0;
    if constexpr (kRecorded) {
      if (traced) cookie = TraceHandlerCall(session, event_type, event, entry.user_handle);
      if (event_type == VI_EVENT_EXCEPTION) node->buffer = reinterpret_cast<ViAddr>(cookie);
    }
    invocation.current_handler = entry.handler;
    invocation.current_user_handle = entry.user_handle;
    const uint32_t generation = objects::IoSessionGeneration(handle);
    const ViStatus status = entry.handler != nullptr
                                ? entry.handler(handle, event_type, event, entry.user_handle)
                                : VI_SUCCESS;
    if (!StillOpen(session, handle, generation)) return Delivery::kSessionGone;
    invocation.current_handler = nullptr;
    invocation.current_user_handle = 0;
    const bool closed = LoadState(node) == objects::kNodeFree;
    if constexpr (kRecorded) {
      if (event_type == VI_EVENT_EXCEPTION) {
        // A closed exception event may already belong to a new producer.
        if (closed) return Delivery::kDone;
        node->buffer = nullptr;
      }
      if (cookie != 0) TraceReturn(cookie, status);
    }
    if (closed || status == VI_SUCCESS_NCHAIN || h > session->handler_count[index]) break;
  }
  return Delivery::kDone;
}

// Out of line: traced and exception deliveries are rare, and inline their
// extra values would cost every plain event.
[[gnu::noinline]] inline Delivery CallHandlersRecorded(IoSession* session, uint16_t index,
                                                       EventNode* node, ViEventType event_type,
                                                       bool traced) noexcept {
  return CallEachHandler<true>(session, index, node, event_type, traced);
}

// Inline in the loop, its one caller: a frame of its own cost a tenth of an
// event.
[[gnu::always_inline]] inline Delivery CallHandlers(IoSession* session, uint16_t index,
                                                    EventNode* node) noexcept {
  const objects::EventQueue* queue = session->queue_for_handlers[index];
  const ViEventType event_type = queue != nullptr ? queue->event_type : node->event_type;
  const bool traced = SpyModeOn();
  if (traced || event_type == VI_EVENT_EXCEPTION) {
    return CallHandlersRecorded(session, index, node, event_type, traced);
  }
  return CallEachHandler<false>(session, index, node, event_type, false);
}

// zyvisaInvokeHandlerLoop. Inline in a raise, which calls it for every
// handler event: as a call of its own it was a sixth of the event's
// instructions in frames and reloads.
[[gnu::always_inline]] inline ViStatus RunHandlerLoop(IoSession* session, uint16_t event_index,
                                                      ViUInt16* semaphore_held) noexcept {
  if (event_index >= objects::kMaxEventIndices) return VI_SUCCESS;
  const bool bypass = session->event_lock_bypass != 0;
  const ViSemaphore semaphore = session->event_semaphore;
  objects::InvocationRecord& invocation = session->invocation[event_index];
  // Only the outermost loop of an index dispatches; a raise inside a handler
  // (on any thread) leaves its event raised for the running loop to find,
  // which keeps delivery in order and handlers from nesting.
  const uint32_t depth = invocation.loop_depth++;
  if (depth == 0 && (session->enabled_mechanisms[event_index] & VI_HNDLR) != 0) {
    for (;;) {
      objects::EventQueue* queue = session->queue_for_handlers[event_index];
      EventNode* node = queue != nullptr ? FirstRaised(queue) : nullptr;
      if (node == nullptr) break;
      // Marked while the semaphore is still held, so that no other producer
      // sees the node raised once its handlers have begun.
      MarkDelivered(session, event_index, node);
      if (!bypass && semaphore != nullptr && (semaphore_held == nullptr || *semaphore_held != 0)) {
        sync::SemRelease(semaphore, nullptr);
        if (semaphore_held != nullptr) *semaphore_held = 0;
      }
      if (CallHandlers(session, event_index, node) == Delivery::kSessionGone) {
        // The session and its semaphore are gone with it: nothing to restore.
        return VI_ERROR_INV_OBJECT;
      }
      if (!bypass && semaphore != nullptr) {
        ViUInt16 acquired = 0;
        if (sync::SemAcquire(semaphore, &acquired) != VI_SUCCESS) acquired = 0;
        if (semaphore_held != nullptr) *semaphore_held = acquired;
      }
      // A handler that closed its event has freed the node already.
      if (LoadState(node) != objects::kNodeFree) {
        CloseWithDriver(session, node);
        ReturnNode(queue, node);
      }
      if ((session->enabled_mechanisms[event_index] & VI_HNDLR) == 0) break;
    }
  }
  if (invocation.loop_depth > 0) --invocation.loop_depth;
  return VI_SUCCESS;
}

}  // namespace zyvisa::events
