// The two calls the module's load and unload hooks make. The hooks are the
// operating system's way in (a constructor and destructor of the shared
// object, DllMain in the DLL) and so live with the platform; what they start
// and stop is the top of the library, which defines these. Declared here so
// that nothing in the platform folder includes a layer above it.
#pragma once

namespace zyvisa::platform {

// Process attach: records the module, then runs start-up.
void ModuleLoaded(void* module_handle) noexcept;
// Detach. process_exiting: the hooks tell process exit with other threads
// still alive (true) from unloading (false).
void ModuleUnloading(bool process_exiting) noexcept;

}  // namespace zyvisa::platform
