// Start-up and shutdown of the services in one process: the registry, the
// sizing keys of the configuration, the machine-wide shared region and the
// tables built in it, in a fixed order that every process of the machine
// follows under the initialization mutex.
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
  if (!platform::RegistryKeyExists(config::kInstallerKey)) return false;
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
  // An owner that died inside start-up leaves at worst a half-counted use
  // count; the region itself is rebuilt by the next first process.
  return r == platform::WaitResult::kAcquired || r == platform::WaitResult::kAbandoned;
}

// Steps 11-18, run while this thread holds the initialization mutex.
bool JoinRegion(ProcessState& s, const std::string& backing_file, const std::string& config_file) {
  // First-process test: an exclusive open succeeds only while no other
  // process of the machine has the region open.
  bool first = false;
  if (platform::SharedFile* probe =
          platform::SharedFileOpen(backing_file.c_str(), platform::ShareMode::kExclusive, false)) {
    first = true;
    platform::SharedFileClose(probe);
  }
  s.backing_file =
      platform::SharedFileOpen(backing_file.c_str(), platform::ShareMode::kShared, false);
  if (s.backing_file == nullptr) return false;
  void* view = platform::SharedFileMap(s.backing_file, s.region_size);
  if (view == nullptr) return false;
  s.region = static_cast<uint8_t*>(view);
  // Whatever a crashed run left in the file is cleared by the first process.
  if (first) FormatRegion(s.region, s.region_size);

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

  if (!sync::CreateSystemTable(ReadSemCount("NumSystemSems"))) return false;
  if (!sync::CreateProcessTable(ReadSemCount("NumProcessSems"), s.process_id.load())) {
    return false;
  }
  if (!objects::CreateObjectLists()) return false;
  locking::JoinHoldersTable();
  head->use_count = static_cast<uint16_t>(head->use_count + 1);
  return true;
}

}  // namespace

namespace {

ViUInt16 RunStartup() noexcept {
  ProcessState& s = State();
  s.process_id = platform::CurrentProcessId();
  s.unloading = 0;
  s.service_lock_timeout = kServiceWaitForever;

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

  // 5-6. Named mutexes and the process table lock.
  s.init_mutex = platform::NamedMutexOpen(kInitMutexName);
  if (s.init_mutex == nullptr) return 0;
  s.global_mutex = platform::NamedMutexOpen(kGlobalMutexName);
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
  if (!Locked(platform::NamedMutexWait(s.init_mutex, platform::kWaitForever))) return 0;
  const bool joined = JoinRegion(s, backing_file, config_file);
  platform::NamedMutexRelease(s.init_mutex);
  return joined ? 1 : 0;
}

}  // namespace

ViUInt16 Startup() noexcept {
  const ViUInt16 ok = RunStartup();
  State().initialized = ok;
  return ok;
}

void Shutdown() noexcept {
  ProcessState& s = State();
  // 1. From here on no service lock waits: a thread that held one may be gone.
  s.unloading = 1;
  s.service_lock_timeout = 0;
  // 2. Drop the configuration cache.
  char none[1] = {};
  visaGetIniStringIntoBuffer("", "", "", "", none, 0);

  if (s.init_mutex != nullptr) {
    const bool locked = Locked(platform::NamedMutexWait(s.init_mutex, platform::kWaitForever));
    if (s.initialized.exchange(0) != 0 && s.services_data != nullptr) {
      auto* head = reinterpret_cast<ServicesSharedHead*>(s.services_data);
      head->use_count = static_cast<uint16_t>(head->use_count - 1);
    }
    // The resource mutexes are system semaphores that the next step closes.
    locking::ForgetResourceMutexes();
    sync::CloseProcessTable();
    // The INI service lock was one of the process semaphores just closed.
    config::ForgetIniServiceLock();
    sync::CloseSystemTable();
    objects::ResetObjectLists();
    if (s.region != nullptr) platform::SharedFileUnmap(s.region, s.region_size);
    s.region = nullptr;
    s.services_data = nullptr;
    if (s.backing_file != nullptr) {
      platform::SharedFileClose(s.backing_file);
      s.backing_file = nullptr;
    }
    // The last process deletes the backing file: the exclusive open succeeds
    // only when no other process still has it, and closing deletes it.
    std::string backing_file, machine_folder;
    if (BackingFilePath(&backing_file, &machine_folder)) {
      if (platform::SharedFile* last = platform::SharedFileOpen(
              backing_file.c_str(), platform::ShareMode::kExclusive, true)) {
        platform::SharedFileClose(last);
      }
    }
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

void OnProcessAttach(void* module_handle) noexcept {
  State().module_handle = module_handle;
  Startup();
}

void OnProcessDetach() noexcept { Shutdown(); }

}  // namespace zyvisa::lifecycle

extern "C" ZYVISA_EXPORT ViUInt16 zyvisaInitializeServicesIfNeeded() noexcept {
  return zyvisa::lifecycle::State().initialized.load();
}

extern "C" ZYVISA_EXPORT void zyvisaSetSpyModePtr(ViUInt32* flag) noexcept {
  zyvisa::lifecycle::State().spy_mode.store(flag);
}
