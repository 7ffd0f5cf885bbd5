// The semaphore tables as start-up and shutdown create and close them, and the
// process table lock that guards the process table and the lazy creation of
// named process semaphores elsewhere in the library.
#pragma once

#include <atomic>
#include <cstdint>

#include "sync/sem_record.h"

namespace zyvisa::sync {

// Start-up steps 5-6: the lock's auto-reset event, counter set to -1.
bool InitProcessTableLock() noexcept;
// Shutdown: closes the event, counter back to -1.
void CloseProcessTableLock() noexcept;
// Waits without limit. False (and nothing to release) when the lock does not
// exist: start-up did not get that far, or shutdown is past it.
bool AcquireProcessTableLock() noexcept;
void ReleaseProcessTableLock() noexcept;

// Start-up step 15, under the initialization mutex with the region mapped:
// creates or joins "ZYVISA_SYSTEM_SEMAPHORES" with count records (this
// process's handle array included). False if count < 1, the region is not
// mapped, the block cannot be carved or exists with another size.
bool CreateSystemTable(int32_t count) noexcept;
// Start-up step 16: the process table "%ld ZYVISA_PROCESS_MUTEX" of count records.
bool CreateProcessTable(int32_t count, uint32_t process_id) noexcept;
// Shutdown steps 3.2 and 3.3: closes every handle this process has in the
// table; the system records stay in the region for the other processes.
void CloseProcessTable() noexcept;
void CloseSystemTable() noexcept;

// A thread about to wait on a process semaphore's event counts itself in, so
// that freeing the semaphore meanwhile leaves the handle, its event and its
// record in place for it. False (and not counted) when it was freed already.
// Every true is paired with one LeaveProcessSemaphore, which destroys what a
// free left behind when the last waiter goes.
bool EnterProcessSemaphore(ZyvisaSemaphore* handle) noexcept;
void LeaveProcessSemaphore(ZyvisaSemaphore* handle) noexcept;
inline bool ProcessSemaphoreClosed(const ZyvisaSemaphore& handle) noexcept {
  return (handle.users.load(std::memory_order_acquire) & kSemClosed) != 0;
}

}  // namespace zyvisa::sync
