/* Events and handlers: the event queues of a session, enabling by mechanism,
 * creating and raising event contexts, calling the installed handlers, and the
 * call trace of handler calls. Event nodes are 56-byte records whose layout the
 * core and the drivers share with the library; they are passed here by address. */
#ifndef ZYVISA_EVENTS_H
#define ZYVISA_EVENTS_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* A user's event handler as the core installs it. */
typedef ViStatus (*ZyvisaEventHandler)(ViSession session, ViEventType event_type, ViUInt32 event,
                                       ViUInt64 user_handle);

/* States of an event node. */
#define ZYVISA_EVENT_FREE ((ViUInt16)21)
#define ZYVISA_EVENT_ALLOCATED ((ViUInt16)22)
#define ZYVISA_EVENT_RAISED ((ViUInt16)23)
#define ZYVISA_EVENT_DELIVERED ((ViUInt16)24)

/* ---- queues; the callers hold the session's event semaphore */

/* A queue of the session's maximum queue length for that event type, or null. */
ZYVISA_EXPORT ViAddr zyvisaCreateQueue(ViAddr session, ViEventType event_type) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus zyvisaFreeQueue(ViAddr queue) ZYVISA_NOEXCEPT;
/* An allocated node (the one left allocated before, else a free one), or
 * VI_ERROR_ALLOC with *node null when the queue is full. */
ZYVISA_EXPORT ViStatus zyvisaInsertNodeAtEnd(ViAddr queue, ViAddr* node) ZYVISA_NOEXCEPT;
/* The oldest raised node, not removed; VI_ERROR_TMO when none. */
ZYVISA_EXPORT ViStatus zyvisaReadNodeAtStart(ViAddr queue, ViAddr* node) ZYVISA_NOEXCEPT;
/* Closes the event with the driver and frees the node; VI_ERROR_INV_CONTEXT
 * for a node that is already free. */
ZYVISA_EXPORT ViStatus zyvisaDeleteNode(ViAddr queue, ViAddr node) ZYVISA_NOEXCEPT;
/* 1 when the driver of that operation table implements the job's asynchronous
 * operation itself, 0 when the library emulates it or the job is no such operation. */
ZYVISA_EXPORT ViBoolean zyvisaPassportHandlesIoEvent(ViJobId job_id,
                                                     ViAddr oper_table) ZYVISA_NOEXCEPT;

/* ---- mechanisms and raising */

/* Adds event types a session can produce (at most 31 in all) and registers the
 * driver's operation table whose viClose closes an event context. */
ZYVISA_EXPORT ViStatus visaSupportEvents(ViSession session, ViUInt16 count,
                                         const ViEventType* event_types,
                                         ViAddr event_oper_table) ZYVISA_NOEXCEPT;
/* VI_ALL_ENABLED_EVENTS gives the union of the masks of every supported type. */
ZYVISA_EXPORT ViStatus visaGetEventMech(ViSession session, ViEventType event_type,
                                        ViUInt16* mechanism) ZYVISA_NOEXCEPT;
/* Pairs in installation order; handlers and user_handles both null to ask the count only. */
ZYVISA_EXPORT ViStatus visaGetEventHandlers(ViSession session, ViEventType event_type,
                                            ViUInt16 max_count, ViUInt16* count,
                                            ViUInt64* handlers,
                                            ViUInt64* user_handles) ZYVISA_NOEXCEPT;
/* Allocates a node in each queue of an enabled mechanism; both outputs null first. */
ZYVISA_EXPORT ViStatus visaCreateEvent(ViSession session, ViEventType event_type,
                                       ViAddr* queue_event, ViAddr* handler_event) ZYVISA_NOEXCEPT;
/* Makes the nodes that visaCreateEvent gave (filled in) visible; with VI_HNDLR
 * enabled the handlers run at once on the calling thread. */
ZYVISA_EXPORT ViStatus visaRaiseEvent(ViSession session, ViAddr queue_event,
                                      ViAddr handler_event) ZYVISA_NOEXCEPT;

/* ---- handlers and the call trace */

/* Delivers the raised events of one event index to its handlers, in order.
 * semaphore_held: whether the caller holds the session's event semaphore (null:
 * it does); updated as the loop releases and retakes it. VI_ERROR_INV_OBJECT
 * when a handler closed the session. */
ZYVISA_EXPORT ViStatus zyvisaInvokeHandlerLoop(ViAddr session, ViUInt16 event_index,
                                               ViUInt16* semaphore_held) ZYVISA_NOEXCEPT;
/* Delivers one event node to every handler of the index, newest first. */
ZYVISA_EXPORT void zyvisaInvokeHandler(ViAddr session, ViUInt16 event_index,
                                       ViAddr event_node) ZYVISA_NOEXCEPT;
/* Adds an object (session or event handle) to an open trace record;
 * *parameter_index is advanced by the number of parameters added. */
ZYVISA_EXPORT ViInt32 zyvisaLogVisaObjectToSpy(ViUInt64 cookie, ViUInt32* parameter_index,
                                               ViUInt32 object_handle,
                                               ViInt32 type_code) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_EVENTS_H */
