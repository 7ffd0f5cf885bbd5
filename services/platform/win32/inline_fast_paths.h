// Inline parts of the platform interface for the lock fast paths, Windows.
// No OS header: the ids are a read of the thread's own block inside the two
// calls, so they are not cached. Included by platform.h only.
#pragma once

#include <cstdint>

namespace zyvisa::platform {

namespace win32 {
uint32_t ProcessId() noexcept;
uint32_t ThreadId() noexcept;
}  // namespace win32

inline uint32_t CurrentThreadId() noexcept { return win32::ThreadId(); }
inline uint32_t CurrentProcessId() noexcept { return win32::ProcessId(); }

// The C runtime keeps no single-thread flag here: always take the safe path.
inline bool SingleThreaded() noexcept { return false; }

}  // namespace zyvisa::platform
