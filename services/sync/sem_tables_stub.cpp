// Placeholder until the semaphore tables land: start-up succeeds without them.
#include "sync/sem_tables.h"

namespace zyvisa::sync {

bool InitProcessTableLock() noexcept { return true; }
void CloseProcessTableLock() noexcept {}
void AcquireProcessTableLock() noexcept {}
void ReleaseProcessTableLock() noexcept {}
bool CreateSystemTable(int32_t count) noexcept { return count >= 1; }
bool CreateProcessTable(int32_t count, uint32_t) noexcept { return count >= 1; }
void CloseProcessTable() noexcept {}
void CloseSystemTable() noexcept {}

}  // namespace zyvisa::sync
