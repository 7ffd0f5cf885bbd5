// Sleeping on a 32-bit word of shared memory and waking its sleepers, in any
// process: futexes.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include "platform/platform.h"

namespace zyvisa::platform {

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
