// Enabling by mechanism and raising: the event types a session can produce,
// the enabled mechanisms and installed handlers as the core set them, and the
// two steps of a producer (create the contexts, fill them, raise them).
#include "events/event_internal.h"
#include "events/handler_loop.h"
#include "events/lock_gate.h"
#include "objects/object_table.h"
#include "runtime/process_state.h"
#include "zyvisa_events.h"
#include "zyvisa_objects.h"

namespace zyvisa::events {

namespace {

struct RememberedSession {
  uint32_t handle;
  uint32_t generation;
  IoSession* session;
};
// Trivial and constant-initialized: no per-thread constructor or guard.
// initial-exec: in the shared object one %fs-relative access instead of a
// __tls_get_addr call on every create and raise; 16 bytes of the static TLS
// reserve that the dynamic linker keeps for libraries loaded later.
thread_local RememberedSession t_remembered [[gnu::tls_model("initial-exec")]]{};

IoSession* FindAndRemember(ViSession handle, uint32_t generation) noexcept {
  auto* session = objects::ValidateIoSession(handle, 0);
  if (session != nullptr) t_remembered = {handle, generation, session};
  return session;
}

// FindIoSession inline for the two calls of every event.
inline IoSession* FindRemembered(ViSession handle) noexcept {
  // Read before the lookup: freeing the handle's session after this read
  // changes it, and the remembered lookup is then not trusted the next time.
  const uint32_t generation = objects::IoSessionGeneration(handle);
  const RememberedSession& remembered = t_remembered;
  if (remembered.handle == handle && remembered.generation == generation &&
      remembered.session != nullptr) {
    return remembered.session;
  }
  return FindAndRemember(handle, generation);
}

}  // namespace

IoSession* FindIoSession(ViSession handle) noexcept { return FindRemembered(handle); }

namespace {

// A live session (signature checked), or null.
inline IoSession* LiveSession(ViSession handle) noexcept {
  IoSession* session = FindRemembered(handle);
  return session != nullptr && session->header.signature == objects::kValidSignature ? session
                                                                                     : nullptr;
}

}  // namespace

}  // namespace zyvisa::events

namespace events = zyvisa::events;
namespace objects = zyvisa::objects;
using events::EventLock;
using objects::EventNode;
using objects::IoSession;

extern "C" ZYVISA_EXPORT ViStatus visaSupportEvents(ViSession session_handle, ViUInt16 count,
                                                    const ViEventType* event_types,
                                                    ViAddr event_oper_table) noexcept {
  IoSession* session = events::LiveSession(session_handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  if (event_types == nullptr) return VI_ERROR_USER_BUF;
  // Counted before duplicates are dropped, so the limit does not depend on
  // what the session already supports.
  if (count + session->supported_count > objects::kMaxEventIndices) return VI_ERROR_ALLOC;
  auto* table = static_cast<objects::OperTable*>(event_oper_table);
  if (table != nullptr && session->event_oper_table != nullptr &&
      session->event_oper_table != table) {
    return VI_ERROR_ALLOC;
  }
  // No lock: a driver declares its events while it opens the session, before
  // any producer or the core's event calls can reach it.
  for (uint16_t i = 0; i < count; ++i) {
    if (events::EventIndexOf(session, event_types[i]) < 0) {
      session->supported_types[session->supported_count++] = event_types[i];
    }
  }
  if (table != nullptr) session->event_oper_table = table;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaGetEventMech(ViSession session_handle, ViEventType event_type,
                                                   ViUInt16* mechanism) noexcept {
  IoSession* session = events::LiveSession(session_handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  if (mechanism == nullptr) return VI_ERROR_USER_BUF;
  const int index =
      event_type == VI_ALL_ENABLED_EVENTS ? -1 : events::EventIndexOf(session, event_type);
  if (event_type != VI_ALL_ENABLED_EVENTS && index < 0) return VI_ERROR_INV_EVENT;
  EventLock lock(session, false);
  if (index >= 0) {
    *mechanism = session->enabled_mechanisms[index];
  } else {
    ViUInt16 all = 0;
    for (uint16_t i = 0; i < session->supported_count && i < objects::kMaxEventIndices; ++i) {
      all = static_cast<ViUInt16>(all | session->enabled_mechanisms[i]);
    }
    *mechanism = all;
  }
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaGetEventHandlers(ViSession session_handle,
                                                       ViEventType event_type, ViUInt16 max_count,
                                                       ViUInt16* count, ViUInt64* handlers,
                                                       ViUInt64* user_handles) noexcept {
  IoSession* session = events::LiveSession(session_handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  if (count == nullptr) return VI_ERROR_USER_BUF;
  const int index = events::EventIndexOf(session, event_type);
  if (index < 0) return VI_ERROR_INV_EVENT;
  EventLock lock(session, false);
  const uint16_t installed = session->handler_count[index];
  *count = installed;
  if (max_count < installed) return VI_ERROR_ALLOC;
  if (handlers == nullptr) return user_handles == nullptr ? VI_SUCCESS : VI_ERROR_USER_BUF;
  if (user_handles == nullptr) return VI_ERROR_USER_BUF;
  const objects::HandlerEntry* list = session->handler_list[index];
  for (uint16_t i = 0; i < installed && list != nullptr; ++i) {
    handlers[i] = reinterpret_cast<ViUInt64>(list[i].handler);
    user_handles[i] = list[i].user_handle;
  }
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaCreateEvent(ViSession session_handle, ViEventType event_type,
                                                  ViAddr* queue_event,
                                                  ViAddr* handler_event) noexcept {
  // The plain lookup: a producer may still finish a job of a session whose
  // object the core is tearing down; the closing flag refuses it below.
  IoSession* session = events::FindRemembered(session_handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  if (queue_event == nullptr || handler_event == nullptr) return VI_ERROR_USER_BUF;
  *queue_event = nullptr;
  *handler_event = nullptr;
  if (session->closing.load(std::memory_order_relaxed) != 0) return VI_ERROR_ALLOC;
  const int index = events::EventIndexOf(session, event_type);
  if (index < 0) return VI_ERROR_INV_EVENT;
  EventLock lock(session, true);
  const uint16_t mechanism = session->enabled_mechanisms[index];
  if (mechanism == 0) return VI_ERROR_NENABLED;
  if ((mechanism & VI_QUEUE) != 0) {
    EventNode* node = nullptr;
    objects::EventQueue* queue = session->queue_for_queuing[index];
    const ViStatus status = queue != nullptr ? events::AllocateNode(queue, &node) : VI_ERROR_ALLOC;
    if (status != VI_SUCCESS) return status;
    *queue_event = node;
  }
  if ((mechanism & (VI_HNDLR | VI_SUSPEND_HNDLR)) != 0) {
    // On failure the queued node stays allocated; the next create reuses it.
    EventNode* node = nullptr;
    objects::EventQueue* queue = session->queue_for_handlers[index];
    const ViStatus status = queue != nullptr ? events::AllocateNode(queue, &node) : VI_ERROR_ALLOC;
    if (status != VI_SUCCESS) return status;
    *handler_event = node;
  }
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaRaiseEvent(ViSession session_handle, ViAddr queue_event,
                                                 ViAddr handler_event) noexcept {
  IoSession* session = events::LiveSession(session_handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  if (queue_event == nullptr && handler_event == nullptr) return VI_ERROR_INV_PARAMETER;
  if (session->closing.load(std::memory_order_relaxed) != 0) return VI_ERROR_ALLOC;
  auto* queued = static_cast<EventNode*>(queue_event);
  auto* handled = static_cast<EventNode*>(handler_event);
  EventLock lock(session, true);
  if (queued != nullptr) {
    events::StoreState(queued, objects::kNodeRaised);
    ++queued->queue->raised_count;
  }
  if (handled != nullptr) events::StoreState(handled, objects::kNodeRaised);
  const objects::EventQueue* queue = (handled != nullptr ? handled : queued)->queue;
  if (queue->event_type == VI_EVENT_IO_COMPLETION) {
    // The asynchronous operation that entered the gate has ended. Lock order:
    // the event semaphore is held while the gate takes the resource mutex.
    events::LeaveLockGate(session);
    session->current_job_id = 0;
  }
  if (handled != nullptr &&
      (session->enabled_mechanisms[handled->queue->event_index] & VI_HNDLR) != 0) {
    events::RunHandlerLoop(session, handled->queue->event_index, lock.note());
  }
  return VI_SUCCESS;
}
