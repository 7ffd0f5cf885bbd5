// Process start times from /proc: with the pid, a start time tells a
// process from a later one that reuses its id.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform {

uint64_t ProcessStartTime(uint32_t pid) noexcept {
  if (pid == 0 || pid > uint32_t(INT_MAX)) return 0;
  char text[1024];
  if (posix::ReadProcFile(pid, "stat", text, sizeof text) <= 0) return 0;
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

}  // namespace zyvisa::platform
