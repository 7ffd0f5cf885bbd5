// Inline parts of the platform interface for the lock fast paths: reading the
// cached ids and the C library's single-thread flag is one load each, where a
// call would cost more than the lock itself. No OS header: the few C library
// names needed are declared here. Included by platform.h only.
#pragma once

#include <atomic>
#include <cstdint>

// glibc: non-zero while the process has one thread (<sys/single_threaded.h>).
extern "C" char __libc_single_threaded;

namespace zyvisa::platform {

namespace posix {
// Zero until first read by the thread (or the process); a forked child
// clears the copies it inherited. initial-exec: one %fs-relative load, not a
// __tls_get_addr call in position-independent code; four bytes of the static
// TLS reserve that the dynamic linker keeps for libraries loaded later.
extern __thread uint32_t t_thread_id __attribute__((tls_model("initial-exec")));
extern std::atomic<uint32_t> g_process_id;
uint32_t FetchThreadId() noexcept;
uint32_t FetchProcessId() noexcept;
}  // namespace posix

inline uint32_t CurrentThreadId() noexcept {
  const uint32_t id = posix::t_thread_id;
  return id != 0 ? id : posix::FetchThreadId();
}

inline uint32_t CurrentProcessId() noexcept {
  const uint32_t id = posix::g_process_id.load(std::memory_order_relaxed);
  return id != 0 ? id : posix::FetchProcessId();
}

inline bool SingleThreaded() noexcept { return __libc_single_threaded != 0; }

}  // namespace zyvisa::platform
