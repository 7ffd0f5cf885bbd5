/* Start-up state of the services and the machine-wide shared region. */
#ifndef ZYVISA_LIFECYCLE_H
#define ZYVISA_LIFECYCLE_H

#include "zyvisa_types.h"

ZYVISA_EXTERN_C_BEGIN

/* 1 when start-up completed in this process, 0 when it failed. Never retries. */
ZYVISA_EXPORT ViUInt16 zyvisaInitializeServicesIfNeeded(void) ZYVISA_NOEXCEPT;
/* Address of the caller's 32-bit call-trace flag (non-zero: tracing on). */
ZYVISA_EXPORT void zyvisaSetSpyModePtr(ViUInt32* flag) ZYVISA_NOEXCEPT;
/* Finds or carves the named block of the shared region; created receives 1 when
 * this call made it. Callers serialise allocations across processes. Every
 * failure with address given leaves it null. */
ZYVISA_EXPORT ViStatus visaAllocShared(ViConstString name, ViUInt32 size, ViAddr* address,
                                       ViUInt16* created) ZYVISA_NOEXCEPT;

ZYVISA_EXTERN_C_END

#endif /* ZYVISA_LIFECYCLE_H */
