// Start-up and shutdown of the services in one process: the registry, the
// sizing keys of the configuration, the machine-wide shared region and the
// tables built in it, in a fixed order that every process of the machine
// follows under the initialization mutex.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "config/config_paths.h"
#include "config/ini_store.h"
#include "lifecycle/startup.h"
#include "locking/resource_record.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "objects/object_lists.h"
#include "platform/module_hooks.h"
#include "platform/platform.h"
#include "sync/sem_tables.h"
#include "zyvisa_config.h"
#include "zyvisa_lifecycle.h"

namespace zyvisa::lifecycle {

// Start-up fills the process state and formats or joins the region below it.
using namespace zyvisa::runtime;

namespace {

constexpr const char* kInitMutexName = "Global\\ZY-VISA Initialization and Termination";
constexpr const char* kGlobalMutexName = "Global\\ZY-VISA Global Mutex Lock";
constexpr const char* kConfigSection = "VISA-CONFIG";
constexpr uint32_t kDefaultMinAsyncCount = 512;
constexpr int32_t kDefaultSemCount = 512;
constexpr size_t kRegistryPathBuffer = 260;

// Bounds on the sizes read from the configuration (the README lists them). A
// value outside is refused (start-up reports 0) rather than obeyed: -1 read
// as an unsigned size would map a 4 GB region, and a hundred million process
// semaphores take seconds and gigabytes before anything fails.
constexpr uint32_t kMaxRegionSize = 256u << 20;
constexpr int32_t kMaxSemCount = 65536;

// A process killed inside start-up hands the initialization mutex to the
// next waiter before the system has closed its files, so its share lock on
// the backing file can outlive it for a moment. A joiner that finds the
// region unformatted waits this long for such a lock to go before it
// concludes that a live process holds an unusable region.
constexpr uint32_t kDeadHolderGraceMs = 2000;
// At process exit the initialization mutex is waited for this long at most:
// another process that holds it that long is stuck, and this one's use count
// then stays counted, as a killed process's does.
constexpr uint32_t kExitInitWaitMs = 5000;

int32_t ReadConfigNumber(const std::string& config_file, const char* key, int64_t fallback) {
  char def[32];
  std::snprintf(def, sizeof def, "%" PRId64, fallback);
  char value[80] = {};
  visaGetIniStringIntoBuffer(config_file.c_str(), kConfigSection, key, def, value, sizeof value);
  return config::DecimalValue(value);
}

// The semaphore counts look the configuration folder up afresh; when that
// fails they are not read at all.
int32_t ReadSemCount(const char* key) {
  char folder[config::kConfigFolderBufferSize];
  if (config::ConfigFolder(folder) != VI_SUCCESS) return kDefaultSemCount;
  return ReadConfigNumber(std::string(folder) + config::kConfigFileName, key, kDefaultSemCount);
}

// The backing file: the shared-memory folder with a separator, then the fixed
// file name. The whole path has to fit the 260 characters every process
// assumes; a longer folder fails start-up rather than naming another file.
bool BackingFilePath(std::string* path, std::string* folder) {
  char value[kRegistryPathBuffer] = {};
  // Read in the view the installer writes, where the key alone may exist
  // (Windows keeps 32-bit programs' keys apart): no separate existence test.
  if (platform::RegistryReadString(config::kInstallerKey, "ZYSHAREDMEMORYDIR", value,
                                   sizeof value, platform::RegView::k32Bit) !=
      platform::RegRead::kOk) {
    return false;
  }
  *folder = value;
  *path = *folder;
  if (path->empty() || path->back() != platform::kPathSeparator) {
    *path += platform::kPathSeparator;
  }
  *path += kBackingFileName;
  return path->size() < kRegistryPathBuffer;
}

bool Locked(platform::WaitResult r) {
  // An owner that died inside start-up or shutdown leaves at worst a use
  // count that counts it, or a region JoinRegion formats again.
  return r == platform::WaitResult::kAcquired || r == platform::WaitResult::kAbandoned;
}

// First-process test: an exclusive open succeeds only while no other process
// of the machine has the region open.
bool NobodyElseHasIt(const std::string& backing_file) {
  platform::SharedFile* probe =
      platform::SharedFileOpen(backing_file.c_str(), platform::ShareMode::kExclusive, false);
  if (probe == nullptr) return false;
  platform::SharedFileClose(probe);
  return true;
}

bool MapRegion(ProcessState& s, const std::string& backing_file) {
  s.backing_file =
      platform::SharedFileOpen(backing_file.c_str(), platform::ShareMode::kShared, false);
  if (s.backing_file == nullptr) return false;
  s.region = static_cast<uint8_t*>(platform::SharedFileMap(s.backing_file, s.region_size));
  return s.region != nullptr;
}

// Gives up this process's view and share lock.
void UnmapRegion(ProcessState& s) {
  if (s.region != nullptr) platform::SharedFileUnmap(s.region, s.region_size);
  s.region = nullptr;
  s.services_data = nullptr;
  if (s.backing_file != nullptr) platform::SharedFileClose(s.backing_file);
  s.backing_file = nullptr;
}

// With the initialization mutex held, the last process out deletes the
// backing file: the exclusive open succeeds only when no other process still
// has it, and closing deletes it.
void DeleteIfLast() {
  std::string backing_file, machine_folder;
  if (!BackingFilePath(&backing_file, &machine_folder)) return;
  if (platform::SharedFile* last = platform::SharedFileOpen(
          backing_file.c_str(), platform::ShareMode::kExclusive, true)) {
    platform::SharedFileClose(last);
  }
}

// The region's own blocks: the services data and the system semaphore table,
// found or, in a region just formatted, made. False when the region's
// content cannot serve (never formatted, damaged, or made for other sizes).
bool JoinBlocks(ProcessState& s, const std::string& config_file) {
  const uint64_t services_size = ServicesDataSize(s.max_resources);
  if (services_size > INT32_MAX) return false;
  void* services = nullptr;
  ViUInt16 created = 0;
  if (AllocBlock(s.region, s.region_size, kServicesDataName,
                 static_cast<ViUInt32>(services_size), &services, &created) != VI_SUCCESS) {
    return false;
  }
  s.services_data = static_cast<uint8_t*>(services);
  auto* head = reinterpret_cast<ServicesSharedHead*>(s.services_data);
  if (created) {
    head->use_count = 0;
    head->min_async_count = static_cast<uint32_t>(
        ReadConfigNumber(config_file, "MinAsyncCount", kDefaultMinAsyncCount));
  }
  const int32_t system_sems = ReadSemCount("NumSystemSems");
  return system_sems <= kMaxSemCount && sync::CreateSystemTable(system_sems);
}

// Start-up step 11 onwards, run while this thread holds the initialization
// mutex (abandoned: its last owner died holding it).
bool JoinRegion(ProcessState& s, const std::string& backing_file, const std::string& config_file,
                bool abandoned) {
  bool first = NobodyElseHasIt(backing_file);
  if (!MapRegion(s, backing_file)) return false;
  // Whatever a crashed run left in the file is cleared by the first process.
  if (first) FormatRegion(s.region, s.region_size);
  if (!JoinBlocks(s, config_file)) {
    if (first) return false;
    // A region that cannot serve, held by somebody. After an owner of the
    // initialization mutex died, that somebody can be the dead process
    // itself, killed half-way through formatting or carving the region: the
    // mutex reaches us before the system has closed its files. Its share
    // lock goes within moments; ours would stand in the way, so ours goes
    // first. Then the region is ours to format.
    sync::CloseSystemTable();
    UnmapRegion(s);
    const uint64_t deadline = platform::MonotonicMs() + (abandoned ? kDeadHolderGraceMs : 0);
    while (!(first = NobodyElseHasIt(backing_file)) && platform::MonotonicMs() < deadline) {
      platform::SleepMs(1);
    }
    if (!first || !MapRegion(s, backing_file)) return false;
    FormatRegion(s.region, s.region_size);
    if (!JoinBlocks(s, config_file)) return false;
  }

  const int32_t process_sems = ReadSemCount("NumProcessSems");
  if (process_sems > kMaxSemCount ||
      !sync::CreateProcessTable(process_sems, s.process_id.load())) {
    return false;
  }
  if (!objects::CreateObjectLists()) return false;
  locking::JoinHoldersTable();
  auto* head = reinterpret_cast<ServicesSharedHead*>(s.services_data);
  head->use_count = static_cast<uint16_t>(head->use_count + 1);
  s.counted_pid = s.process_id.load();
  return true;
}

// A forked child is a process of its own: its semaphore owner id is its own,
// and the use count it inherited the mapping with is its parent's.
void OnForkChild() { State().process_id = platform::CurrentProcessId(); }
std::atomic<bool> g_fork_hook_added{false};

}  // namespace

namespace {

ViUInt16 RunStartup() noexcept {
  ProcessState& s = State();
  s.process_id = platform::CurrentProcessId();
  s.unloading = 0;
  s.process_exiting = 0;
  s.counted_pid = kNoProcessId;
  s.service_lock_timeout = kServiceWaitForever;
  if (!g_fork_hook_added.exchange(true)) platform::AtForkChild(&OnForkChild);

  // 1-2. The product key; the null access list of the Windows build is the
  // platform layer's business (its named objects are usable by every user).
  if (!platform::RegistryKeyExists(config::kProductKey)) return 0;
  s.product_key_open = true;

  // 3. The configuration file.
  char folder[config::kConfigFolderBufferSize];
  if (config::ConfigFolder(folder) != VI_SUCCESS) return 0;
  const std::string config_file = std::string(folder) + config::kConfigFileName;

  // 4. The backing file; its folder is the machine every named object lives in.
  std::string backing_file, machine_folder;
  if (!BackingFilePath(&backing_file, &machine_folder)) return 0;
  // The built-in default folder may not exist yet on a fresh machine; a
  // folder the registry names but that cannot be made fails below, when the
  // named objects cannot be opened.
  if (!platform::PathExists(machine_folder.c_str())) {
    platform::MakeSharedFolder(machine_folder.c_str());
  }
  platform::SetMachineFolder(machine_folder.c_str());

  // 5-6. Named mutexes and the process table lock. While another process
  // holds the region, both mutexes exist (it opened them before it joined):
  // a missing file then means somebody deleted it, and a new mutex of that
  // name would let this process in beside the holder of the old one.
  const bool region_in_use = platform::SharedFileInUse(backing_file.c_str());
  s.init_mutex = platform::NamedMutexOpen(kInitMutexName, !region_in_use);
  if (s.init_mutex == nullptr) return 0;
  s.global_mutex = platform::NamedMutexOpen(kGlobalMutexName, !region_in_use);
  if (s.global_mutex == nullptr) return 0;
  if (!sync::InitProcessTableLock()) {
    platform::NamedMutexClose(s.global_mutex);
    s.global_mutex = nullptr;
    return 0;
  }

  // 7-8. Seed a missing configuration, then size the region from it. The
  // region size is compared as an unsigned number: a negative value asks
  // for a huge region and fails to map rather than shrinking below the minimum.
  config::SeedDefaultConfig(config_file.c_str());
  const auto mem_size =
      static_cast<uint32_t>(ReadConfigNumber(config_file, "SharedMemSize", kMinRegionSize));
  if (mem_size > kMaxRegionSize) return 0;
  s.region_size = mem_size > kMinRegionSize ? mem_size : kMinRegionSize;
  s.max_resources = static_cast<uint32_t>(
      ReadConfigNumber(config_file, "MaxNumResources", s.max_resources));

  // 9. The resource mutex table. A maximum the region cannot hold would fail at
  // the services data allocation anyway; refusing it here spares allocating a
  // table sized by a nonsensical number.
  if (ServicesDataSize(s.max_resources) + sizeof(BlockHeader) > s.region_size) return 0;
  s.resource_mutexes = new (std::nothrow) void*[s.max_resources]();
  if (s.resource_mutexes == nullptr) return 0;

  // 10-18 under the initialization mutex, which serialises the first-process
  // test, the clearing, the tables in the region and the use count across the
  // machine. Nothing below takes a lock that another process could hold while
  // waiting for this one, so the order is safe.
  const platform::WaitResult locked = platform::NamedMutexWait(s.init_mutex, platform::kWaitForever);
  if (!Locked(locked)) return 0;
  const bool joined =
      JoinRegion(s, backing_file, config_file, locked == platform::WaitResult::kAbandoned);
  if (!joined) {
    // A failed start-up keeps no share lock: another process's first-process
    // test would otherwise see it and join a region nobody formats. The
    // system table's handles point into the view, so they go with it.
    sync::CloseSystemTable();
    UnmapRegion(s);
    DeleteIfLast();
  }
  platform::NamedMutexRelease(s.init_mutex);
  return joined ? 1 : 0;
}

}  // namespace

ViUInt16 Startup() noexcept {
  const ViUInt16 ok = RunStartup();
  State().initialized = ok;
  return ok;
}

namespace {

// Takes this process out of the use count, if it is the process that
// counted itself in (not a forked child of it). Under the initialization mutex.
void LeaveUseCount(ProcessState& s) {
  const bool counted = s.counted_pid.exchange(kNoProcessId) == platform::CurrentProcessId();
  if (s.initialized.exchange(0) != 0 && counted && s.services_data != nullptr) {
    auto* head = reinterpret_cast<ServicesSharedHead*>(s.services_data);
    head->use_count = static_cast<uint16_t>(head->use_count - 1);
  }
}

}  // namespace

void Shutdown() noexcept {
  ProcessState& s = State();
  // 1. From here on no service lock waits: a thread that held one may be gone.
  s.unloading = 1;
  s.service_lock_timeout = 0;
  // 2. Drop the configuration cache.
  char none[1] = {};
  visaGetIniStringIntoBuffer("", "", "", "", none, 0);
  // What this process holds in the resource records, which other processes
  // need given up (before the init mutex: it takes resource mutexes).
  locking::ReleaseProcessHolds();

  // This process's own objects go first, before the initialization mutex is
  // taken: nothing below then waits for anything while other processes wait
  // for that mutex.
  // The resource mutexes are system semaphores that the steps below close.
  locking::ForgetResourceMutexes();
  sync::CloseProcessTable();
  // The INI service lock was one of the process semaphores just closed.
  config::ForgetIniServiceLock();
  sync::CloseSystemTable();
  objects::ResetObjectLists();

  // What other processes see: the use count, the view and share lock, and
  // the deletion of the region by the last process.
  if (s.init_mutex != nullptr) {
    const bool locked = Locked(platform::NamedMutexWait(s.init_mutex, platform::kWaitForever));
    LeaveUseCount(s);
    UnmapRegion(s);
    DeleteIfLast();
    if (locked) platform::NamedMutexRelease(s.init_mutex);
    platform::NamedMutexClose(s.init_mutex);
    s.init_mutex = nullptr;
    if (s.global_mutex != nullptr) platform::NamedMutexClose(s.global_mutex);
    s.global_mutex = nullptr;
    sync::CloseProcessTableLock();
  }
  delete[] s.resource_mutexes;
  s.resource_mutexes = nullptr;
  s.initialized = 0;
  s.product_key_open = false;
  s.max_resources = kDefaultMaxResources;
  config::ResetPathCaches();
}

void ShutdownAtProcessExit() noexcept {
  ProcessState& s = State();
  s.process_exiting = 1;
  s.unloading = 1;
  // The service lock timeout stays: the threads still running hold and wait
  // for those locks as before (a time-out of 0 would send some of them on
  // without the lock, racing each other), and nothing below waits for one.
  // Only what other processes need. The semaphores, object lists,
  // configuration cache and the view stay as they are: threads still running
  // may be waiting on them or reading them (destroying a condition variable
  // with a waiter blocks, freeing a list a lookup walks crashes it), and the
  // system reclaims all of it when the process is gone. Robust named mutexes
  // held by those threads pass to their next waiters when the threads end.
  if (s.init_mutex == nullptr) return;
  // Locks and shares of this process's sessions are machine-wide: give them
  // up now rather than leave others to find this process dead (bounded waits).
  locking::ReleaseProcessHolds();
  if (!Locked(platform::NamedMutexWait(s.init_mutex, kExitInitWaitMs))) return;
  LeaveUseCount(s);
  // The share lock goes (the view stays mapped for the threads), so that the
  // deletion test can see whether this was the last process.
  if (s.backing_file != nullptr) platform::SharedFileClose(s.backing_file);
  s.backing_file = nullptr;
  DeleteIfLast();
  platform::NamedMutexRelease(s.init_mutex);
}

}  // namespace zyvisa::lifecycle

// The load and unload hooks' way up into start-up and shutdown.
void zyvisa::platform::ModuleLoaded(void* module_handle) noexcept {
  runtime::State().module_handle = module_handle;
  lifecycle::Startup();
}

void zyvisa::platform::ModuleUnloading(bool process_exiting) noexcept {
  if (process_exiting) {
    lifecycle::ShutdownAtProcessExit();
  } else {
    lifecycle::Shutdown();
  }
}

extern "C" ZYVISA_EXPORT ViUInt16 zyvisaInitializeServicesIfNeeded() noexcept {
  return zyvisa::runtime::State().initialized.load();
}

extern "C" ZYVISA_EXPORT void zyvisaSetSpyModePtr(ViUInt32* flag) noexcept {
  zyvisa::runtime::State().spy_mode.store(flag);
}
