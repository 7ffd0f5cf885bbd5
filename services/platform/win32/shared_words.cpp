// Process start times, and waiting on a word of the shared region. Windows
// has no wait on an address that works across processes: WaitOnAddress
// wakes waiters of this process at once, and a short time-out bounds how
// late a change by another process is seen (callers look again anyway).
#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace {
constexpr DWORD kCrossProcessPollMs = 2;
}  // namespace

uint64_t ProcessStartTime(uint32_t pid) noexcept {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  const BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!ok) return 0;
  return uint64_t(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

void WaitOnWord(const uint32_t* word, uint32_t expected, uint32_t timeout_ms) noexcept {
  const DWORD wait = timeout_ms < kCrossProcessPollMs ? timeout_ms : kCrossProcessPollMs;
  WaitOnAddress(const_cast<uint32_t*>(word), &expected, sizeof expected, wait);
}

void WakeWord(const uint32_t* word) noexcept { WakeByAddressAll(const_cast<uint32_t*>(word)); }

}  // namespace zyvisa::platform
