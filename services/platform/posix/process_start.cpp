// Process start times from /proc, which tell a process from a later one that
// reuses its id, and the futex words that waiters of any process sleep on.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace zyvisa::platform {

uint64_t ProcessStartTime(uint32_t pid) noexcept {
  if (pid == 0 || pid > uint32_t(INT_MAX)) return 0;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[1024];
  ssize_t n;
  do {
    n = read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // "pid (command) state ppid ...": the command may hold spaces and ')', so
  // fields are counted from the last ')'. The start time is field 22, the
  // 20th after the command.
  const char* p = std::strrchr(text, ')');
  if (p == nullptr) return 0;
  ++p;
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p + 1, ' ');
    if (p == nullptr) return 0;
  }
  char* end = nullptr;
  const unsigned long long ticks = std::strtoull(p + 1, &end, 10);
  if (end == p + 1) return 0;
  return ticks;
}

// Without FUTEX_PRIVATE_FLAG: the word lives in a shared file mapping and the
// kernel keys the wait by the file page, so waiters of every process meet.
void WaitOnWord(const uint32_t* word, uint32_t expected, uint32_t timeout_ms) noexcept {
  timespec relative{};
  relative.tv_sec = time_t(timeout_ms / 1000);
  relative.tv_nsec = long(timeout_ms % 1000) * 1000000L;
  syscall(SYS_futex, word, FUTEX_WAIT, expected,
          timeout_ms == kWaitForever ? nullptr : &relative, nullptr, 0);
}

void WakeWord(const uint32_t* word) noexcept {
  syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace zyvisa::platform
