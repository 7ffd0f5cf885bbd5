// The process-wide state instance.
#include "runtime/process_state.h"

#include <type_traits>

namespace zyvisa::runtime {

static_assert(std::is_trivially_destructible_v<ProcessState>,
              "the unload hook runs after static destructors");

ProcessState g_process_state;

}  // namespace zyvisa::runtime
