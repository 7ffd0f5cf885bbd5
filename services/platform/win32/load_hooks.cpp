// The DLL's process attach and detach. Linked into the DLL only.
#include "lifecycle/startup.h"
#include "platform/win32/win32_common.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Thread attach and detach do nothing: no calls for them.
      DisableThreadLibraryCalls(module);
      zyvisa::lifecycle::OnProcessAttach(static_cast<void*>(module));
      break;
    case DLL_PROCESS_DETACH:
      // The loader says which: a non-null reserved pointer is process exit.
      // Windows has ended the other threads by then, wherever they were,
      // locks of ours and of the heap included: only what other processes
      // need is done, as at exit on POSIX.
      zyvisa::lifecycle::OnProcessDetach(reserved != nullptr);
      break;
    default:
      break;
  }
  // Loading never fails: start-up reports through the initialized flag.
  return TRUE;
}
