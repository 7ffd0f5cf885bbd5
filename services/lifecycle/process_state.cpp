// The process-wide state instance.
#include "lifecycle/process_state.h"

namespace zyvisa::lifecycle {

ProcessState& State() noexcept {
  static ProcessState state;
  return state;
}

}  // namespace zyvisa::lifecycle
