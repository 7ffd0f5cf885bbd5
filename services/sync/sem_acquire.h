// Acquiring a semaphore while learning whether its previous holder died
// holding it, for callers that must repair what the semaphore guards.
#pragma once

#include <cstdint>

#include "zyvisa_sem.h"

namespace zyvisa::sync {

// visaSemAcquire, and *abandoned = true when the platform handed over a
// system semaphore whose owner ended while holding it.
ViStatus AcquireNoticingAbandon(ViSemaphore handle, uint32_t timeout, ViUInt16* acquired,
                                bool* abandoned) noexcept;

}  // namespace zyvisa::sync
