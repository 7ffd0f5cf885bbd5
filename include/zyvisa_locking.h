/* Resources and locking: one shared record per open resource with its session
 * count and lock state, exclusive and shared locks across processes, and the
 * gate that every operation on a resource passes. */
#ifndef ZYVISA_LOCKING_H
#define ZYVISA_LOCKING_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* The session arguments of the zyvisa functions are addresses of I/O session
 * objects; record arguments are addresses of resource records (the session's
 * record pointer). */

/* Binds the session to its resource's record, allocating one if needed. */
ZYVISA_EXPORT ViStatus zyvisaRsrcCreateResource(ViAddr session) ZYVISA_NOEXCEPT;
/* Clears the session's record (all of it) if it is in use. */
ZYVISA_EXPORT void zyvisaRsrcFreeResource(ViAddr session) ZYVISA_NOEXCEPT;
/* Opens the record's resource mutex in this process if needed; counts a session. */
ZYVISA_EXPORT ViStatus zyvisaRsrcCreateSession(ViAddr session) ZYVISA_NOEXCEPT;
/* Counts a session out; returns the count left (0 if there was none). */
ZYVISA_EXPORT ViUInt32 zyvisaRsrcFreeSession(ViAddr session) ZYVISA_NOEXCEPT;
/* 0xFFFFFFFF for a null or free record. */
ZYVISA_EXPORT ViUInt32 zyvisaRsrcGetSessionCount(ViAddr record) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViUInt32 zyvisaRsrcGetLockState(ViAddr record) ZYVISA_NOEXCEPT;

/* lock_type VI_EXCLUSIVE_LOCK or VI_SHARED_LOCK; timeout in milliseconds
 * (VI_TMO_INFINITE waits forever); access_key receives at least 256 bytes
 * when a shared lock is granted or nested. */
ZYVISA_EXPORT ViStatus zyvisaLock(ViAddr session, ViInt32 lock_type, ViUInt32 timeout,
                                  ViConstString requested_key,
                                  ViChar* access_key) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus zyvisaUnlock(ViAddr session) ZYVISA_NOEXCEPT;

/* The gate. Every entry that sets *entered to 1 is matched by exactly one exit
 * with that flag; a refused entry (0) needs none. */
ZYVISA_EXPORT ViStatus visaEnterLockOper(ViSession session, ViUInt16* entered) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus zyvisaEnterLockOperImpl(ViSession session, ViUInt16* entered,
                                               ViAddr* session_object) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaExitLockOper(ViSession session, ViUInt16 entered) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void zyvisaExitLockOperImpl(ViAddr session_object,
                                          ViUInt16 entered) ZYVISA_NOEXCEPT;
/* Drops the session's exclusive lock and its shared lock (when it is closed). */
ZYVISA_EXPORT ViStatus zyvisaUnlockAllSessionLocks(ViAddr session_object) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_LOCKING_H */
