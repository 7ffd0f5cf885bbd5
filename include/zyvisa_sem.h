/* Named semaphores of machine-wide (system) or per-process scope. */
#ifndef ZYVISA_SEM_H
#define ZYVISA_SEM_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* Opaque handle; one handle per name and process. */
typedef struct ZyvisaSemaphore* ViSemaphore;

#define ZYVISA_SEM_PROCESS ((ViUInt16)0)
#define ZYVISA_SEM_SYSTEM ((ViUInt16)1)

/* Finds or creates the semaphore of that name (at most 79 characters). */
ZYVISA_EXPORT ViStatus visaSemAlloc(ViConstString name, ViUInt16 scope, ViUInt16 recursive,
                                    ViSemaphore* handle) ZYVISA_NOEXCEPT;
/* timeout in milliseconds, VI_TMO_INFINITE waits forever. acquired may be null;
 * without a handle it is left as it is (VI_ERROR_INV_OBJECT), else it is
 * written. The owner thread acquiring a semaphore again: a recursive one counts
 * one more hold; a non-recursive one, of either scope, waits for its own
 * release until the time-out and gives VI_ERROR_TMO. With VI_TMO_INFINITE a
 * non-recursive system semaphore then never returns (only its owner thread can
 * release it); a process semaphore returns once another thread of the process
 * releases it. */
ZYVISA_EXPORT ViStatus visaSemAcquire(ViSemaphore handle, ViUInt32 timeout,
                                      ViUInt16* acquired) ZYVISA_NOEXCEPT;
/* With acquired given and 0, does nothing. */
ZYVISA_EXPORT ViStatus visaSemRelease(ViSemaphore handle, ViUInt16* acquired) ZYVISA_NOEXCEPT;
/* Freeing (or closing) a process semaphore never waits for the threads that wait
 * on it: each returns VI_ERROR_TMO with acquired 0, and its record is taken
 * again by a later allocation only once the last of them has left. A thread
 * that is about to acquire or release a handle while another frees it is the
 * caller's error. */
ZYVISA_EXPORT ViStatus visaSemFree(ViSemaphore handle) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViBoolean zyvisaSemCloseMutex(ViSemaphore handle) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_SEM_H */
