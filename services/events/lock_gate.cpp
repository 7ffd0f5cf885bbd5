// Leaving the lock-operation gate when an I/O completion is raised.
#include "events/lock_gate.h"

namespace zyvisa::events {

void LeaveLockGate(objects::IoSession* session) noexcept {
  // Wired to the gate's exit (entered = 1) once the gate is in the library.
  (void)session;
}

}  // namespace zyvisa::events
