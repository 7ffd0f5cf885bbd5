// The DLL's process attach and detach. Linked into the DLL only.
#include "lifecycle/startup.h"
#include "platform/win32/win32_common.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Thread attach and detach do nothing: no calls for them.
      DisableThreadLibraryCalls(module);
      zyvisa::lifecycle::OnProcessAttach(static_cast<void*>(module));
      break;
    case DLL_PROCESS_DETACH:
      // At process exit Windows has already ended the other threads.
      zyvisa::lifecycle::OnProcessDetach();
      break;
    default:
      break;
  }
  // Loading never fails: start-up reports through the initialized flag.
  return TRUE;
}
