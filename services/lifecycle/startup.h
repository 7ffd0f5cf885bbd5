// Start-up and shutdown of the services in one process: the top of the
// library, above every subsystem it brings up and tears down.
#pragma once

#include "zyvisa_types.h"

namespace zyvisa::lifecycle {

// Start-up and shutdown as the load and unload hooks run them. Tests call them
// directly (they link the library statically), so shutdown leaves the state as
// a fresh process has it and start-up can run again.
ViUInt16 Startup() noexcept;
// The full shutdown: everything start-up made is closed and freed.
void Shutdown() noexcept;
// The shutdown of a process that ends while other threads may still run:
// sets State().process_exiting, then does only what other processes need
// (see there). Steps added to shutdown by other subsystems go into Shutdown,
// and into this one only if another process needs them.
void ShutdownAtProcessExit() noexcept;

}  // namespace zyvisa::lifecycle
