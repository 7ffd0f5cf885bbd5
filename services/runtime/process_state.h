// Process-wide state of the library: one instance per process, read by every
// subsystem. Start-up fills it, shutdown empties it again.
#pragma once

#include <atomic>
#include <cstdint>

#include "zyvisa_types.h"

namespace zyvisa::platform {
struct NamedMutex;
struct SharedFile;
}  // namespace zyvisa::platform

namespace zyvisa::runtime {

constexpr uint32_t kNoProcessId = 0xFFFFFFFFu;
constexpr uint32_t kServiceWaitForever = 0xFFFFFFFFu;
constexpr uint32_t kDefaultMaxResources = 512;

// Every member has a constant initializer and a trivial destructor: the one
// instance is built before any code of the library runs and is never torn
// down by the C++ runtime, so the unload hook can still use it after static
// destructors have run, and reading it costs no initialization guard on the
// per-call paths.
struct ProcessState {
  // Module handle of the library itself, kept so the job thread can pin it.
  void* module_handle = nullptr;
  // The owner id written into semaphore records.
  std::atomic<uint32_t> process_id{kNoProcessId};
  std::atomic<uint16_t> initialized{0};
  std::atomic<uint16_t> unloading{0};
  // Process exit or unloading: the one flag every shutdown step consults.
  // 1 when the unload hook runs because the process is ending while other
  // threads may still run (exit() runs it before they are gone): shutdown
  // then does only what other processes need (the use count, deleting the
  // last region, letting go of what this process holds machine-wide) and
  // destroys or frees nothing a live thread can reach; the system reclaims
  // the rest. 0 for a full shutdown: unloading (dlclose), where no thread may
  // use the library any more, or no other thread is left. Set before any
  // shutdown step runs; never cleared in a process that ends.
  std::atomic<uint16_t> process_exiting{0};
  // The process that counted itself into the region's use count at start-up.
  // A forked child inherits the mapping but not the count: only this process
  // takes it out again.
  std::atomic<uint32_t> counted_pid{kNoProcessId};
  // Every acquisition of the library's own service semaphores waits this long:
  // forever while the library is in use, 0 from the start of unloading so that
  // no thread blocks on a lock held by a thread that is gone.
  std::atomic<uint32_t> service_lock_timeout{kServiceWaitForever};
  uint32_t max_resources = kDefaultMaxResources;
  // One system semaphore handle per resource record, indexed by record
  // index; max_resources entries while the services are started.
  void** resource_mutexes = nullptr;
  bool product_key_open = false;
  platform::NamedMutex* init_mutex = nullptr;
  platform::NamedMutex* global_mutex = nullptr;
  // The shared region as this process maps it.
  platform::SharedFile* backing_file = nullptr;
  uint8_t* region = nullptr;
  uint32_t region_size = 0;
  uint8_t* services_data = nullptr;
  // Address of the caller's 32-bit call-trace flag; null means tracing is off.
  std::atomic<const ViUInt32*> spy_mode{nullptr};
};

extern ProcessState g_process_state;

inline ProcessState& State() noexcept { return g_process_state; }

inline uint32_t ServiceLockTimeout() noexcept {
  return State().service_lock_timeout.load(std::memory_order_relaxed);
}

}  // namespace zyvisa::runtime
