// Helpers that several files of the POSIX platform share: opening files that
// every user of the machine shares, flock, monotonic deadlines.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>

namespace zyvisa::platform::posix {

// The machine folder and the files in it: see MakeSharedFolder.
constexpr mode_t kSharedFolderMode = 03770;
constexpr mode_t kSharedFileMode = 0660;

// Opens path with flags (O_RDWR or O_RDONLY; O_CLOEXEC, O_NOFOLLOW and
// O_NONBLOCK are added), creating it with kSharedFileMode if it is missing.
// Only a regular file is accepted (EINVAL otherwise). An existing file is
// opened without O_CREAT: in sticky folders fs.protected_regular refuses
// O_CREAT on a file of another user even when it exists. A new file gets its
// mode whatever the umask, because every member of the machine's group uses
// the objects these files stand for. Returns the descriptor, or -1 with errno
// set.
int OpenOrCreateShared(const char* path, int flags) noexcept;

// flock() that retries when interrupted by a signal; 0 or -1 with errno.
int FlockRetry(int fd, int operation) noexcept;

// Reads the start of /proc/<pid>/<name> into text (size bytes with the
// terminator), retrying when interrupted. Returns the length read, 0 for an
// empty file, -1 when the file cannot be opened or read.
ssize_t ReadProcFile(uint32_t pid, const char* name, char* text, size_t size) noexcept;

// The clock's now plus ms, for absolute-deadline waits that a signal or a
// spurious wake-up does not lengthen.
timespec DeadlineOn(clockid_t clock, uint32_t ms) noexcept;
inline timespec MonotonicDeadline(uint32_t ms) noexcept { return DeadlineOn(CLOCK_MONOTONIC, ms); }

}  // namespace zyvisa::platform::posix
