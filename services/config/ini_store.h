// Internal side of the configuration store (its exports are in zyvisa_config.h).
#pragma once

namespace zyvisa::config {

// The store keeps the handle of its lock, the process semaphore "ZY-VISA INI
// service mutex", for the life of the process. Shutdown closes every process
// semaphore: it calls this afterwards, so that a later start-up in the same
// process (tests) obtains the lock anew instead of using a closed handle.
void ForgetIniServiceLock() noexcept;
// True once the lock has been obtained.
bool HaveIniServiceLock() noexcept;

}  // namespace zyvisa::config
