// The semaphore tables as start-up and shutdown create and close them, and the
// process table lock that guards the process table.
#pragma once

#include <cstdint>

namespace zyvisa::sync {

// Start-up steps 5-6: the lock's auto-reset event, counter set to -1.
bool InitProcessTableLock() noexcept;
// Shutdown: closes the event, counter back to -1.
void CloseProcessTableLock() noexcept;
void AcquireProcessTableLock() noexcept;
void ReleaseProcessTableLock() noexcept;

// Start-up step 15, under the initialization mutex with the region mapped:
// creates or joins "ZYVISA_SYSTEM_SEMAPHORES" with count records.
bool CreateSystemTable(int32_t count) noexcept;
// Start-up step 16: the process table "%ld ZYVISA_PROCESS_MUTEX" of count records.
bool CreateProcessTable(int32_t count, uint32_t process_id) noexcept;
// Shutdown steps 3.2 and 3.3.
void CloseProcessTable() noexcept;
void CloseSystemTable() noexcept;

}  // namespace zyvisa::sync
