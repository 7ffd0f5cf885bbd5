// Start-up and shutdown of the services in one process: the top of the
// library, above every subsystem it brings up and tears down.
#pragma once

#include "zyvisa_types.h"

namespace zyvisa::lifecycle {

// Start-up and shutdown as the load and unload hooks run them. Tests call them
// directly (they link the library statically), so shutdown leaves the state as
// a fresh process has it and start-up can run again.
ViUInt16 Startup() noexcept;
void Shutdown() noexcept;
// Load hook: records the module, then runs start-up.
void OnProcessAttach(void* module_handle) noexcept;
void OnProcessDetach() noexcept;

}  // namespace zyvisa::lifecycle
