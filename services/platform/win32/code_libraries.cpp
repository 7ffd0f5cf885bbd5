// Loading code libraries, finding our own module and pinning it while a
// thread of ours runs in it.
#include <string>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace {

// Any address inside this module identifies it.
HMODULE OwnModule(DWORD extra_flags) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | extra_flags,
                          reinterpret_cast<LPCSTR>(&OwnModule), &module)) {
    return nullptr;
  }
  return module;
}

}  // namespace

void* LibraryLoad(const char* file) noexcept {
  if (file == nullptr || file[0] == '\0') return nullptr;
  // No message box for a missing disk or a file that cannot be opened: the
  // caller gets a status instead. Per thread, so other threads keep theirs;
  // the previous mode comes back whatever the outcome.
  DWORD previous = 0;
  const BOOL changed =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE library = LoadLibraryA(file);
  if (changed) SetThreadErrorMode(previous, nullptr);
  return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* symbol) noexcept {
  if (library == nullptr || symbol == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}

const char kTraceLibraryFile[] = "ZySpyLog.dll";

bool LibraryFree(void* library) noexcept {
  return library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != 0;
}

std::string OwnModulePath() {
  // The module of this code: the DLL, or the executable when linked in.
  HMODULE module = OwnModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  if (module == nullptr) return std::string();
  char path[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(module, path, sizeof path);
  if (n == 0 || n >= sizeof path) return std::string();
  return std::string(path, n);
}

void* LibraryPinSelf() noexcept {
  // Without the unchanged-refcount flag the call takes one reference, which
  // FreeLibraryAndExitThread drops at the thread's end. The executable is
  // never unloaded: nothing to pin.
  const HMODULE module = OwnModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
  if (module == nullptr || module == GetModuleHandleA(nullptr)) return nullptr;
  return reinterpret_cast<void*>(OwnModule(0));
}

}  // namespace zyvisa::platform
