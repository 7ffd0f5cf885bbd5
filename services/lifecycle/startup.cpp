// Start-up and shutdown of the services in one process.
#include "lifecycle/process_state.h"
#include "zyvisa_lifecycle.h"

namespace zyvisa::lifecycle {

ViUInt16 Startup() noexcept { return 0; }
void Shutdown() noexcept {}

void OnProcessAttach(void* module_handle) noexcept {
  State().module_handle = module_handle;
  State().initialized = Startup();
}

void OnProcessDetach() noexcept { Shutdown(); }

}  // namespace zyvisa::lifecycle

extern "C" ZYVISA_EXPORT ViUInt16 zyvisaInitializeServicesIfNeeded() noexcept {
  return zyvisa::lifecycle::State().initialized.load();
}
