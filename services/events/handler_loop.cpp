// The handler loop's exports: the loop itself for the core, and one
// delivery for a caller that dispatches by itself.
#include "events/handler_loop.h"

#include "zyvisa_events.h"
#include "zyvisa_objects.h"

namespace events = zyvisa::events;
namespace objects = zyvisa::objects;
using objects::EventNode;
using objects::IoSession;

extern "C" ZYVISA_EXPORT void zyvisaInvokeHandler(ViAddr session_object, ViUInt16 event_index,
                                                  ViAddr event_node) noexcept {
  auto* session = static_cast<IoSession*>(session_object);
  auto* node = static_cast<EventNode*>(event_node);
  if (session == nullptr || node == nullptr || event_index >= objects::kMaxEventIndices) return;
  events::MarkDelivered(session, event_index, node);
  events::CallHandlers(session, event_index, node);
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaInvokeHandlerLoop(ViAddr session_object,
                                                          ViUInt16 event_index,
                                                          ViUInt16* semaphore_held) noexcept {
  auto* session = static_cast<IoSession*>(session_object);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  return events::RunHandlerLoop(session, event_index, semaphore_held);
}
