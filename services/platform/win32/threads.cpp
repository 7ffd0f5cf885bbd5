// Threads the library creates (the asynchronous job threads) on Windows:
// native priority levels, termination in place of cancellation, and a thread
// that holds the library loaded until FreeLibraryAndExitThread.
#include <mutex>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace {

struct StartBlock {
  ThreadEntry entry;
  void* argument;
};

// The reference a thread drops when it ends (ThreadReleaseLibraryAtExit).
// A plain TLS slot: compiler thread-locals would run destructors from this
// module after it was freed.
std::once_flag g_slot_once;
DWORD g_release_slot = TLS_OUT_OF_INDEXES;

DWORD ReleaseSlot() {
  std::call_once(g_slot_once, [] { g_release_slot = TlsAlloc(); });
  return g_release_slot;
}

DWORD WINAPI ThreadStart(void* raw) {
  const StartBlock block = *static_cast<StartBlock*>(raw);
  delete static_cast<StartBlock*>(raw);
  block.entry(block.argument);
  const DWORD slot = ReleaseSlot();
  void* library = slot == TLS_OUT_OF_INDEXES ? nullptr : TlsGetValue(slot);
  // Dropping the last reference unmaps this code: the call that drops it
  // must also end the thread, without returning here.
  if (library != nullptr) FreeLibraryAndExitThread(static_cast<HMODULE>(library), 0);
  return 0;
}

}  // namespace

int CurrentThreadPriority() noexcept {
  const int level = GetThreadPriority(GetCurrentThread());
  return level == THREAD_PRIORITY_ERROR_RETURN ? kPriorityNormal : level;
}

bool SetCurrentThreadPriority(int level) noexcept {
  return SetThreadPriority(GetCurrentThread(), level) != 0;
}

bool ThreadCreate(ThreadEntry entry, void* argument, int priority, ThreadHandle* handle,
                  uint32_t* thread_id) noexcept {
  static_assert(sizeof(HANDLE) <= sizeof(ThreadHandle), "the session keeps a HANDLE");
  auto* block = new (std::nothrow) StartBlock{entry, argument};
  if (block == nullptr) return false;
  // Suspended, so that the priority is in place before the first
  // instruction; default stack size.
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, &ThreadStart, block, CREATE_SUSPENDED, &id);
  if (thread == nullptr) {
    delete block;
    return false;
  }
  // A refused priority leaves the thread at normal: it still runs.
  SetThreadPriority(thread, priority);
  ResumeThread(thread);
  *handle = reinterpret_cast<ThreadHandle>(thread);
  *thread_id = id;
  return true;
}

bool ThreadJoin(ThreadHandle handle, uint32_t timeout_ms) noexcept {
  HANDLE thread = reinterpret_cast<HANDLE>(handle);
  if (WaitForSingleObject(thread, win32::WaitMs(timeout_ms)) != WAIT_OBJECT_0) return false;
  CloseHandle(thread);
  return true;
}

// Windows cannot unwind another thread: the thread is terminated where it
// is. Whatever it held stays held (the pinned library reference included,
// so the library stays loaded, which is safe where unloading is not).
void ThreadCancel(ThreadHandle handle) noexcept {
  TerminateThread(reinterpret_cast<HANDLE>(handle), 0xBFFF0000u);
}

void ThreadDetach(ThreadHandle handle) noexcept { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

void CallCancellable(ThreadEntry call, void* argument) { call(argument); }

void ThreadReleaseLibraryAtExit(void* library) noexcept {
  if (library == nullptr) return;
  const DWORD slot = ReleaseSlot();
  // Without the slot the reference is kept: the module then stays loaded
  // for the life of the process.
  if (slot != TLS_OUT_OF_INDEXES) TlsSetValue(slot, library);
}

}  // namespace zyvisa::platform
