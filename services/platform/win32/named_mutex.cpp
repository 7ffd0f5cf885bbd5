// Machine-wide named mutexes and unnamed events on Windows kernel objects, and
// the security attributes every machine-wide object is created with.
#include <atomic>
#include <mutex>
#include <new>
#include <string>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace win32 {

SECURITY_ATTRIBUTES* OpenToEveryone() noexcept {
  // Built once; a descriptor with a null access list grants everyone every
  // access. Kept for the life of the process: handles made with it may be
  // in use while the library unloads.
  static SECURITY_DESCRIPTOR descriptor;
  static SECURITY_ATTRIBUTES attributes;
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    ok = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = ok ? &descriptor : nullptr;
    attributes.bInheritHandle = FALSE;
  });
  return &attributes;
}

}  // namespace win32

// ---------------------------------------------------------------- machine folder

// The kernel's object namespace is the machine here; the folder only holds
// the region's backing file. Static storage: the unload hook may still read
// it after the C++ runtime ran the library's destructors.
namespace {
SRWLOCK g_folder_lock = SRWLOCK_INIT;
char g_folder[MAX_PATH + 1];
}  // namespace

void SetMachineFolder(const char* folder) {
  if (folder == nullptr) folder = "";
  size_t size = std::char_traits<char>::length(folder);
  while (size > 3 && (folder[size - 1] == '\\' || folder[size - 1] == '/')) --size;
  AcquireSRWLockExclusive(&g_folder_lock);
  if (size >= sizeof g_folder) size = 0;
  std::char_traits<char>::copy(g_folder, folder, size);
  g_folder[size] = '\0';
  ReleaseSRWLockExclusive(&g_folder_lock);
}

std::string MachineFolder() {
  AcquireSRWLockShared(&g_folder_lock);
  std::string folder;
  try {
    folder = g_folder;
  } catch (...) {
  }
  ReleaseSRWLockShared(&g_folder_lock);
  return folder;
}

// ---------------------------------------------------------------- named mutexes

// The handle is the kernel's: recursive for its owner, handed to the next
// waiter as abandoned when the owner's thread ends, gone with its last handle
// (no leftovers from a crashed run).
struct NamedMutex {
  HANDLE handle;
  // Made anew in place of one that was in use: its first acquisition through
  // this handle is reported abandoned (see NamedMutexOpen).
  std::atomic<bool> report_abandoned;
};

NamedMutex* NamedMutexOpen(const char* name, bool may_create) noexcept {
  if (name == nullptr || name[0] == '\0') return nullptr;
  // Creates it not owned, or opens the existing one of that name.
  HANDLE handle = may_create ? nullptr : OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  bool report_abandoned = false;
  if (handle == nullptr) {
    // A mutex that should exist but does not lost its last handle: nobody
    // holds it (a holder has a handle), so making it anew lets no second
    // holder in. But its last holder may have died holding it, with nobody
    // left to be told: the one process that makes it again tells its caller,
    // who repairs what it guards as after any abandoned hold.
    if (!may_create && GetLastError() != ERROR_FILE_NOT_FOUND) return nullptr;
    handle = CreateMutexA(win32::OpenToEveryone(), FALSE, name);
    if (handle == nullptr) return nullptr;
    report_abandoned = !may_create && GetLastError() != ERROR_ALREADY_EXISTS;
  }
  auto* mutex = new (std::nothrow) NamedMutex{handle, {report_abandoned}};
  if (mutex == nullptr) CloseHandle(handle);
  return mutex;
}

WaitResult NamedMutexWait(NamedMutex* mutex, uint32_t timeout_ms) noexcept {
  if (mutex == nullptr) return WaitResult::kFailed;
  const WaitResult result =
      win32::WaitResultFromWait(WaitForSingleObject(mutex->handle, win32::WaitMs(timeout_ms)));
  if (result == WaitResult::kAcquired && mutex->report_abandoned.load(std::memory_order_relaxed) &&
      mutex->report_abandoned.exchange(false)) {
    return WaitResult::kAbandoned;
  }
  return result;
}

bool NamedMutexRelease(NamedMutex* mutex) noexcept {
  return mutex != nullptr && ReleaseMutex(mutex->handle) != 0;
}

void NamedMutexClose(NamedMutex* mutex) noexcept {
  if (mutex == nullptr) return;
  CloseHandle(mutex->handle);
  delete mutex;
}

// ---------------------------------------------------------------- events

// An auto-reset kernel event, and a lock of this process that makes a
// time-out's give-up and a setter's decision one step each (platform.h): a
// setter decides and sets under the lock; a waiter that timed out takes the
// lock and looks at the event once more before it gives up.
struct Event {
  HANDLE handle;
  SRWLOCK decision;
  // Set by EventAbandon: every wait, woken or new, ends unsignalled.
  std::atomic<bool> abandoned;
};

namespace {

// A wait that ended because the event was abandoned passes the wake-up on
// (auto-reset lets one waiter through per signal) and counts as a time-out.
bool Taken(Event* event, DWORD wait) {
  if (event->abandoned.load(std::memory_order_acquire)) {
    SetEvent(event->handle);
    return false;
  }
  return wait == WAIT_OBJECT_0;
}

}  // namespace

Event* EventCreate() noexcept {
  HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  auto* event = new (std::nothrow) Event{handle, SRWLOCK_INIT, {false}};
  if (event == nullptr) CloseHandle(handle);
  return event;
}

void EventSet(Event* event) noexcept {
  if (event != nullptr) SetEvent(event->handle);
}

bool EventWait(Event* event, uint32_t timeout_ms) noexcept {
  if (event == nullptr || event->abandoned.load(std::memory_order_acquire)) return false;
  return Taken(event, WaitForSingleObject(event->handle, win32::WaitMs(timeout_ms)));
}

void EventAbandon(Event* event) noexcept {
  if (event == nullptr) return;
  event->abandoned.store(true, std::memory_order_release);
  SetEvent(event->handle);
}

bool EventWaitOrGiveUp(Event* event, uint32_t timeout_ms, void (*give_up)(void*),
                       void* context) noexcept {
  if (event == nullptr) return false;
  if (!event->abandoned.load(std::memory_order_acquire) &&
      Taken(event, WaitForSingleObject(event->handle, win32::WaitMs(timeout_ms)))) {
    return true;
  }
  AcquireSRWLockExclusive(&event->decision);
  // A setter that decided for us before we took the lock has set the event.
  const bool taken = !event->abandoned.load(std::memory_order_acquire) &&
                     Taken(event, WaitForSingleObject(event->handle, 0));
  if (!taken) give_up(context);
  ReleaseSRWLockExclusive(&event->decision);
  return taken;
}

bool EventSetIf(Event* event, bool (*decide)(void*), void* context) noexcept {
  if (event == nullptr) return false;
  AcquireSRWLockExclusive(&event->decision);
  const bool set = decide(context);
  if (set) SetEvent(event->handle);
  ReleaseSRWLockExclusive(&event->decision);
  return set;
}

void EventClose(Event* event) noexcept {
  if (event == nullptr) return;
  CloseHandle(event->handle);
  delete event;
}

}  // namespace zyvisa::platform
