// Time, sleeping, process and thread identity, the liveness of other
// processes and the environment, for Windows.
#include <string>
#include <vector>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace win32 {

uint32_t ProcessId() noexcept { return GetCurrentProcessId(); }
uint32_t ThreadId() noexcept { return GetCurrentThreadId(); }

}  // namespace win32

uint32_t TickCount() noexcept { return GetTickCount(); }

uint64_t MonotonicMs() noexcept { return GetTickCount64(); }

void SleepMs(uint32_t ms) noexcept { Sleep(ms); }

ProcState ProcessState(uint32_t pid) noexcept {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  DWORD error = ERROR_SUCCESS;
  if (process != nullptr) {
    DWORD code = 0;
    const BOOL read = GetExitCodeProcess(process, &code);
    if (!read) error = GetLastError();
    CloseHandle(process);
    // A process that exits with 259 itself reads as running: the platform
    // has no better answer, and such exit codes are the caller's mistake.
    if (read) return code == STILL_ACTIVE ? ProcState::kAlive : ProcState::kGone;
  } else {
    error = GetLastError();
  }
  return win32::ProcStateFromError(error);
}

// Windows keeps no count of a process's threads that is cheap to read; the
// safe answer. (At process exit it has already ended them, and the unload
// hook knows that from the loader.)
bool OtherThreadsMayRun() noexcept { return true; }

// No fork on Windows: nothing to run.
bool AtForkChild(void (*)()) noexcept { return true; }

bool GetEnvironment(const char* name, std::string* value) {
  if (name == nullptr) return false;
  // The size with the terminator (1 for an empty value); 0 when unset.
  DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  std::vector<char> buffer;
  while (size != 0) {
    buffer.resize(size);
    const DWORD n = GetEnvironmentVariableA(name, buffer.data(), size);
    if (n < size) {
      if (value != nullptr) value->assign(buffer.data(), n);
      return true;
    }
    size = n;  // grown meanwhile by another thread: again with the new size
  }
  return false;
}

}  // namespace zyvisa::platform
