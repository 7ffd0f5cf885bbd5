// The shared object's load and unload hooks: the POSIX counterpart of process
// attach and detach. Linked into the shared object only.
#include "lifecycle/startup.h"

namespace {

// Any address inside this module identifies it.
__attribute__((constructor)) void ZyvisaProcessAttach() {
  zyvisa::lifecycle::OnProcessAttach(reinterpret_cast<void*>(&ZyvisaProcessAttach));
}

__attribute__((destructor)) void ZyvisaProcessDetach() { zyvisa::lifecycle::OnProcessDetach(); }

}  // namespace
