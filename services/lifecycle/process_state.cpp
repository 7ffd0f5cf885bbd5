// The process-wide state instance.
#include "lifecycle/process_state.h"

#include "lifecycle/never_destroyed.h"

namespace zyvisa::lifecycle {

ProcessState& State() noexcept {
  static NeverDestroyed<ProcessState> state;
  return state.get();
}

}  // namespace zyvisa::lifecycle
