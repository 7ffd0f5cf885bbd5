/* Platform services: time, sleeping, process and thread identity, liveness of
 * other processes, code libraries, memory and case-insensitive comparison. */
#ifndef ZYVISA_PLATFORM_H
#define ZYVISA_PLATFORM_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

ZYVISA_EXPORT ViUInt32 visaGetTickCount(void) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaSleep(ViUInt32 milliseconds) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViUInt32 visaProcGetID(void) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViUInt32 visaThreadGetID(void) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViBoolean visaProcIsSame(ViUInt32 pid1, ViUInt32 pid2) ZYVISA_NOEXCEPT;
/* alive = 1 only for the id of a running process: an ended one (not yet reaped
 * included) and the id of a thread that is not its process's first are 0. */
ZYVISA_EXPORT ViStatus visaProcIsAlive(ViUInt32 pid, ViBoolean* alive) ZYVISA_NOEXCEPT;

ZYVISA_EXPORT ViStatus visaLibLoad(ViConstString file, ViAddr* library) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaLibSymbol(ViAddr library, ViConstString symbol,
                                     ViAddr* entry) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViStatus visaLibFree(ViAddr library) ZYVISA_NOEXCEPT;

ZYVISA_EXPORT void* visaCalloc(size_t count, size_t size) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void* visaCallocDbg(size_t count, size_t size) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void* visaRealloc(void* block, size_t size) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void* visaReallocDbg(void* block, size_t size) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT void visaFree(void* block) ZYVISA_NOEXCEPT;

ZYVISA_EXPORT ViBoolean visaStricmp(ViConstString a, ViConstString b) ZYVISA_NOEXCEPT;
ZYVISA_EXPORT ViBoolean visaStrnicmp(ViConstString a, ViConstString b,
                                     ViUInt32 count) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_PLATFORM_H */
