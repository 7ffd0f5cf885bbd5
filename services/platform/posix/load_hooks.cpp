// The shared object's load and unload hooks: the POSIX counterpart of process
// attach and detach, and the test that tells process exit from unloading.
// Linked into the shared object only.
#include <dlfcn.h>
#include <semaphore.h>

#include <cstdlib>

#include "platform/module_hooks.h"
#include "platform/platform.h"
#include "zyvisa_lifecycle.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso_handle);

namespace {

// exit() runs the unload hook while other threads still run; dlclose runs
// the same hook, and an atexit handler of ours runs in both cases (the C
// library registers it with this object and calls it at dlclose too). Two
// facts tell them apart:
// - An exit handler registered for no loaded object runs at exit() only. It
//   must not be code of ours (after a dlclose the exit would call into
//   unmapped pages), so it is the C library's sem_post on a semaphore of the
//   heap, never freed. It runs before the unload hook of a library opened at
//   run time (registered after the loader's own exit handler, so run before
//   it). The object it is registered for is the semaphore's address, which
//   no loaded object has: a null one would do for the C library, but the
//   thread sanitizer takes null for atexit() and drops the argument.
// - A library the program was linked with is loaded before that loader
//   handler is registered, so the semaphore would be posted too late; but
//   such a library is never unloaded: its hook runs at exit only. It is found
//   in the program's global scope, a library opened with dlopen is not (yet).
sem_t* g_exit_seen = nullptr;
bool g_linked_with_program = false;

void WatchForExit() {
  if (void* program = dlopen(nullptr, RTLD_NOW)) {
    g_linked_with_program = dlsym(program, "zyvisaInitializeServicesIfNeeded") ==
                            reinterpret_cast<void*>(&zyvisaInitializeServicesIfNeeded);
    dlclose(program);
  }
  // Linked with the program, the hook can only run at exit: no handler is
  // needed (and none is registered out of order with the loader's own, which
  // the thread sanitizer's exit bookkeeping cannot follow).
  if (g_linked_with_program) return;
  g_exit_seen = static_cast<sem_t*>(std::malloc(sizeof(sem_t)));
  if (g_exit_seen != nullptr && sem_init(g_exit_seen, 0, 0) == 0) {
    // sem_post returns an int the caller ignores: the call is the same.
    __cxa_atexit(reinterpret_cast<void (*)(void*)>(reinterpret_cast<void (*)()>(&sem_post)),
                 g_exit_seen, g_exit_seen);
  }
}

bool ProcessIsExiting() {
  int posted = 0;
  const bool at_exit = g_linked_with_program ||
                       (g_exit_seen != nullptr && sem_getvalue(g_exit_seen, &posted) == 0 &&
                        posted > 0);
  // Alone in the process, the full shutdown is safe at exit too.
  return at_exit && zyvisa::platform::OtherThreadsMayRun();
}

// Any address inside this module identifies it.
__attribute__((constructor)) void ZyvisaProcessAttach() {
  WatchForExit();
  zyvisa::platform::ModuleLoaded(reinterpret_cast<void*>(&ZyvisaProcessAttach));
}

__attribute__((destructor)) void ZyvisaProcessDetach() {
  zyvisa::platform::ModuleUnloading(ProcessIsExiting());
}

}  // namespace
