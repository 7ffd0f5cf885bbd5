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

// Until the semaphores land no semaphore can be had, so services that guard
// process state with one run without it.
#include "zyvisa_sem.h"

extern "C" ZYVISA_EXPORT ViStatus visaSemAlloc(ViConstString, ViUInt16, ViUInt16,
                                               ViSemaphore*) noexcept {
  return VI_ERROR_ALLOC;
}
extern "C" ZYVISA_EXPORT ViStatus visaSemAcquire(ViSemaphore, ViUInt32, ViUInt16* acquired) noexcept {
  if (acquired != nullptr) *acquired = 0;
  return VI_ERROR_INV_OBJECT;
}
extern "C" ZYVISA_EXPORT ViStatus visaSemRelease(ViSemaphore, ViUInt16* acquired) noexcept {
  if (acquired != nullptr) *acquired = 0;
  return VI_ERROR_INV_OBJECT;
}
