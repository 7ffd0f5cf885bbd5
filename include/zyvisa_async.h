/* Asynchronous read, write and move for drivers that only do synchronous I/O:
 * the four entries a driver puts into its operation table, and the job thread
 * of a session that performs the larger transfers. */
#ifndef ZYVISA_ASYNC_H
#define ZYVISA_ASYNC_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Hands job (a record made by the four entries below, or null to wake the
 * thread without work) to the session's job thread, creating the thread on
 * first use. Always VI_SUCCESS: a job that cannot be queued completes at once
 * with the failure as the status of its I/O completion events. */
ZYVISA_EXPORT ViStatus zyvisaAsyncThreadQueue(ViSession session, ViAddr job) ZYVISA_NOEXCEPT;
/* Stops the job thread of a session being closed, waiting at most timeout
 * milliseconds before it cancels the thread, and closes the thread and the
 * session's async semaphore. */
ZYVISA_EXPORT void zyvisaAsyncThreadCleanup(ViAddr session_object, ViUInt32 timeout) ZYVISA_NOEXCEPT;

/* Operation-table entries for viReadAsync, viWriteAsync, viMoveAsync and
 * viMoveAsyncEx. A transfer below the machine's MinAsyncCount (or from a
 * time-critical thread) is done at once and returns VI_SUCCESS_SYNC; a larger
 * one returns VI_SUCCESS and completes on the job thread. Either way the
 * outcome arrives as a VI_EVENT_IO_COMPLETION. */
ZYVISA_EXPORT ViStatus visaReadAsyncFake(ViSession session, ViAddr buffer, ViUInt32 count,
                                         ViJobId* job_id) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaWriteAsyncFake(ViSession session, ViAddr buffer, ViUInt32 count,
                                          ViJobId* job_id) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaMoveAsyncFake(ViSession session, ViUInt16 source_space,
                                         ViUInt64 source_offset, ViUInt16 source_width,
                                         ViUInt16 destination_space, ViUInt64 destination_offset,
                                         ViUInt16 destination_width, ViUInt64 count,
                                         ViJobId* job_id) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaMoveAsyncExFake(ViSession session, ViUInt16 source_space,
                                           ViUInt64 source_offset, ViUInt16 source_width,
                                           ViUInt16 destination_space, ViUInt64 destination_offset,
                                           ViUInt16 destination_width, ViUInt64 count,
                                           ViJobId* job_id) ZYVISA_NOEXCEPT;

/* The driver entries the emulation calls through the session's operation
 * table. On 64-bit builds bus addresses and sizes are 64 bits wide. */
typedef ViStatus (*ZyvisaReadProc)(ViSession session, ViAddr buffer, ViUInt32 count,
                                   ViUInt32* return_count);
typedef ViStatus (*ZyvisaMoveProc)(ViSession session, ViUInt16 source_space,
                                   ViUInt64 source_offset, ViUInt16 source_width,
                                   ViUInt16 destination_space, ViUInt64 destination_offset,
                                   ViUInt16 destination_width, ViUInt64 count);
typedef ViStatus (*ZyvisaSessionGetAttributeProc)(ViSession session, ViAttr attribute,
                                                  ViAddr value);

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_ASYNC_H */
