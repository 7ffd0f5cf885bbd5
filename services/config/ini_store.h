// Internal side of the configuration store (its exports are in zyvisa_config.h).
#pragma once

#include <cstdint>

namespace zyvisa::config {

// Decimal text to a 32-bit number as atol reads it: leading white space, a
// sign, digits up to the first other character; no digits give 0, and a
// number out of range gives the nearest limit.
int32_t DecimalValue(const char* text) noexcept;

// The store keeps the handle of its lock, the process semaphore "ZY-VISA INI
// service mutex", for the life of the process. Shutdown closes every process
// semaphore: it calls this afterwards, so that a later start-up in the same
// process (tests) obtains the lock anew instead of using a closed handle.
void ForgetIniServiceLock() noexcept;
// True once the lock has been obtained.
bool HaveIniServiceLock() noexcept;

}  // namespace zyvisa::config
