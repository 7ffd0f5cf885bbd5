/* The object table: I/O sessions, resource managers, find lists and event
 * queues of a process behind 16-bit handles; enumeration of sessions and the
 * collection of the resource names a search finds. */
#ifndef ZYVISA_OBJECTS_H
#define ZYVISA_OBJECTS_H

#include "zyvisa_sem.h"
#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Object kinds; a handle carries its kind in bits 12 to 15. */
#define ZYVISA_KIND_SESSION ((ViUInt16)0)
#define ZYVISA_KIND_RSRC_MANAGER ((ViUInt16)1)
#define ZYVISA_KIND_FIND_LIST ((ViUInt16)2)
#define ZYVISA_KIND_EVENT_QUEUE ((ViUInt16)3)

/* zyvisaValidateIoSession flags. */
#define ZYVISA_SESN_ENTER 1UL         /* count the caller in the use count */
#define ZYVISA_SESN_NOT_CLOSING 2UL   /* refuse a session whose closing has begun */
#define ZYVISA_SESN_BEGIN_CLOSE 4UL   /* set the closing flag */

/* A zero-filled object of size bytes registered under a new handle, or null.
 * Null also for a size below what the library itself reads and writes in an
 * object of that kind: 2552 bytes for an I/O session (its fields end with the
 * async semaphore at 2544), 40 for a resource manager (the header), 96 for a
 * find list (the source array at 88) and 136 for an event queue (its head;
 * the nodes follow from offset 80 on, 56 bytes each). */
ZYVISA_EXPORT ViAddr zyvisaCreateObject(ViUInt16 kind, ViUInt32 size,
                                        ViUInt32* handle) ZYVISA_NOEXCEPT;
/* Clears the signature, then empties the handle's slot, unlinks the object and
 * frees it. When the list semaphore cannot be obtained (only while the library
 * unloads, when no service lock is waited for) it refuses with
 * VI_ERROR_SYSTEM_ERROR and leaves the object as it was: live, in its slot and
 * in its list. No freed object stays reachable. */
ZYVISA_EXPORT ViStatus zyvisaFreeObject(ViUInt16 kind, ViAddr object,
                                        ViUInt16 handle) ZYVISA_NOEXCEPT;
/* The recursive semaphore that guards the list of one kind. */
ZYVISA_EXPORT ViSemaphore zyvisaGetObjectListMutex(ViUInt16 kind) ZYVISA_NOEXCEPT;
/* Newest object of the kind; walk on through the header's next links only while
 * holding the list's semaphore. */
ZYVISA_EXPORT ViAddr zyvisaGetFirstObject(ViUInt16 kind) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViAddr zyvisaValidateRM(ViUInt32 handle) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViAddr zyvisaValidateFindList(ViUInt32 handle) ZYVISA_NOEXCEPT;
/* Address of the event node that the event handle names. */
ZYVISA_EXPORT ViAddr zyvisaValidateEvent(ViUInt32 event) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViAddr zyvisaValidateIoSession(ViUInt32 handle, ViUInt32 flags) ZYVISA_NOEXCEPT;
/* Takes back one ZYVISA_SESN_ENTER. */
ZYVISA_EXPORT void zyvisaReleaseIoSession(ViAddr session) ZYVISA_NOEXCEPT;

/* Callback of visaEnumSessions: a negative status or VI_SUCCESS_NCHAIN stops. */
typedef ViStatus (*ZyvisaEnumSessionProc)(ViSession session, ViAddr context);
/* Calls back for every open session, newest first; only for those whose
 * operation table is table unless table is null. The callback may free any
 * session: the walk covers the sessions open when it began, and skips those
 * freed before their turn. VI_ERROR_SYSTEM_ERROR when the session list cannot
 * be taken or memory for the walk cannot be had. */
ZYVISA_EXPORT ViStatus visaEnumSessions(ZyvisaEnumSessionProc callback, ViAddr table,
                                        ViAddr context) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaSetSessionInfo(ViSession session, ViAddr table, ViAddr ignored,
                                          ViUInt32 value1, ViUInt32 value2) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViAddr visaGetSesnImpl(ViSession session) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViAddr visaGetEventImpl(ViUInt32 event) ZYVISA_NOEXCEPT;
/* Adds a resource name that a search found; source 0 names no source. */
ZYVISA_EXPORT ViStatus visaRsrcFound(ViUInt32 find_list, ViConstRsrc name,
                                     ViUInt64 source) ZYVISA_NOEXCEPT;
/* Kept for callers that still report search settings; it has no effect. */
ZYVISA_EXPORT ViStatus visaSetFindInfo(ViUInt32 find_list, ...) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_OBJECTS_H */
