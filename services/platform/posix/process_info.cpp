// Time, sleeping, process and thread identity, the liveness of other processes
// and the environment, for Linux.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform::posix {

ssize_t ReadProcFile(uint32_t pid, const char* name, char* text, size_t size) noexcept {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/%s", pid, name);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n;
  do {
    n = read(fd, text, size - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n >= 0) text[n] = '\0';
  return n;
}

}  // namespace zyvisa::platform::posix

namespace zyvisa::platform {

namespace posix {

// getpid() and gettid() are system calls; the lock fast paths compare owner
// ids on every acquisition, so both are cached (inline_fast_paths.h reads
// them). A forked child gets new ids: the handler below clears the caches of
// the thread that survives the fork (the only thread of the child).
std::atomic<uint32_t> g_process_id{0};
__thread uint32_t t_thread_id __attribute__((tls_model("initial-exec"))) = 0;

uint32_t FetchThreadId() noexcept {
  t_thread_id = static_cast<uint32_t>(gettid());
  return t_thread_id;
}

uint32_t FetchProcessId() noexcept {
  const uint32_t id = static_cast<uint32_t>(getpid());
  g_process_id.store(id, std::memory_order_relaxed);
  return id;
}

}  // namespace posix

namespace {

void ForgetIdsInChild() {
  posix::g_process_id.store(0, std::memory_order_relaxed);
  posix::t_thread_id = 0;
}

[[maybe_unused]] const int g_atfork_registered =
    pthread_atfork(nullptr, nullptr, &ForgetIdsInChild);

}  // namespace

uint64_t MonotonicMs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
}

uint32_t TickCount() noexcept { return static_cast<uint32_t>(MonotonicMs()); }

void SleepMs(uint32_t ms) noexcept {
  if (ms == 0) {
    sched_yield();
    return;
  }
  // An absolute deadline, so that signals interrupting the sleep do not
  // lengthen it.
  const timespec deadline = posix::MonotonicDeadline(ms);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

ProcState ProcessState(uint32_t pid) noexcept {
  // 0 and values above INT_MAX are no process: kill() would read them as a
  // process group or as "every process".
  if (pid == 0 || pid > uint32_t(INT_MAX)) return ProcState::kGone;

  // kill(pid, 0) alone succeeds for a zombie (ended, not yet reaped), and
  // /proc has an entry for every thread id too, so the status file decides
  // while it can be read: the id must be a thread group's (a process's) own,
  // and its state not a zombie's. A lock owner's process id that the kernel
  // has since given to a thread of another process then counts as gone.
  // Name (at most 64 escaped characters), Umask, State and Tgid come first.
  char text[1024];
  // A process that ends while being read leaves an empty file: ask kill().
  if (posix::ReadProcFile(pid, "status", text, sizeof text) > 0) {
    const char* state = std::strstr(text, "\nState:");
    const char* tgid = std::strstr(text, "\nTgid:");
    if (state != nullptr && tgid != nullptr) {
      state += std::strlen("\nState:");
      while (*state == ' ' || *state == '\t') ++state;
      if (std::strtoul(tgid + std::strlen("\nTgid:"), nullptr, 10) != pid) {
        return ProcState::kGone;
      }
      return (*state == 'Z' || *state == 'X') ? ProcState::kGone : ProcState::kAlive;
    }
  }
  // /proc is missing, or hides other users' processes (hidepid): kill() can
  // still tell a missing process from one we may not inspect, but it also
  // reaches a process through the id of any of its threads; only the status
  // file tells the two apart.
  if (kill(pid_t(pid), 0) == 0) return ProcState::kAlive;
  if (errno == ESRCH) return ProcState::kGone;
  if (errno == EPERM) return ProcState::kNoPermission;
  return ProcState::kError;
}

bool OtherThreadsMayRun() noexcept {
  if (SingleThreaded()) return false;
  // The C library's flag stays down once a thread was made; the kernel's
  // list of this process's threads says whether one is still there.
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return true;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(tasks);
  return count != 1;
}

bool AtForkChild(void (*handler)()) noexcept {
  return handler != nullptr && pthread_atfork(nullptr, nullptr, handler) == 0;
}

bool GetEnvironment(const char* name, std::string* value) {
  if (name == nullptr) return false;
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  if (value != nullptr) *value = text;
  return true;
}

}  // namespace zyvisa::platform
