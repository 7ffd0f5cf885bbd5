// The DLL's process attach and detach. Linked into the DLL only.
#include "platform/module_hooks.h"
#include "platform/win32/win32_common.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Thread attach and detach do nothing: no calls for them.
      DisableThreadLibraryCalls(module);
      zyvisa::platform::ModuleLoaded(static_cast<void*>(module));
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer is process exit. Windows has ended the
      // other threads by then, so nothing of ours can still be reached and
      // the full shutdown is safe; and it is needed: a view still mapped
      // keeps the backing file's share, and the last process could not
      // delete it. (Locks the ended threads held: our own semaphores are not
      // waited for once unloading began; an abandoned named mutex is taken.)
      static_cast<void>(reserved);
      zyvisa::platform::ModuleUnloading(false);
      break;
    default:
      break;
  }
  // Loading never fails: start-up reports through the initialized flag.
  return TRUE;
}
