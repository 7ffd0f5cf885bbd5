// What the files of the Windows platform share: the Windows header with its
// macros tamed, the security attributes of machine-wide objects, and the one
// place where Win32 error codes become the platform interface's results.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace zyvisa::platform::win32 {

// A security descriptor whose access list is null: every user of the machine
// may open the object. Not inheritable. Made once per process; the returned
// pointer stays valid until the process ends (a loaded library never frees
// it, since handles made with it may outlive an unload).
SECURITY_ATTRIBUTES* OpenToEveryone() noexcept;

// Error translation, in errors.cpp only.
ProcState ProcStateFromError(DWORD error) noexcept;
RegRead RegReadFromError(LONG error) noexcept;
WaitResult WaitResultFromWait(DWORD wait) noexcept;

// Milliseconds for a Windows wait: the interface's forever is INFINITE.
inline DWORD WaitMs(uint32_t timeout_ms) noexcept {
  return timeout_ms == kWaitForever ? INFINITE : DWORD(timeout_ms);
}

}  // namespace zyvisa::platform::win32
