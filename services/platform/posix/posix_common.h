// Helpers that several files of the POSIX platform share: opening files that
// every user of the machine shares, flock, monotonic deadlines.
#pragma once

#include <time.h>

#include <cstdint>

namespace zyvisa::platform::posix {

// Opens path with flags (O_RDWR or O_RDONLY; O_CLOEXEC and O_NOFOLLOW are
// added), creating it with mode 0666 if it is missing. An existing file is
// opened without O_CREAT: in sticky world-writable folders
// fs.protected_regular refuses O_CREAT on a file of another user even when it
// exists. A new file gets 0666 whatever the umask, because the objects these
// files stand for are usable by every user. Returns the descriptor, or -1 with
// errno set.
int OpenOrCreateShared(const char* path, int flags) noexcept;

// flock() that retries when interrupted by a signal; 0 or -1 with errno.
int FlockRetry(int fd, int operation) noexcept;

// CLOCK_MONOTONIC now plus ms, for absolute-deadline waits that a signal or a
// spurious wake-up does not lengthen.
timespec MonotonicDeadline(uint32_t ms) noexcept;

}  // namespace zyvisa::platform::posix
