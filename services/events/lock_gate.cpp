// Leaving the lock-operation gate when an I/O completion is raised.
#include "events/lock_gate.h"

#include "zyvisa_locking.h"

namespace zyvisa::events {

void LeaveLockGate(objects::IoSession* session) noexcept {
  // The asynchronous operation entered the gate (entered = 1) when it was
  // started; its completion is the matching exit.
  zyvisaExitLockOperImpl(session, 1);
}

}  // namespace zyvisa::events
