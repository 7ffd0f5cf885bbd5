// The one place where the events leave a session's lock-operation gate: an
// asynchronous operation entered it and its completion is being raised.
#pragma once

#include "objects/object_layouts.h"

namespace zyvisa::events {

void LeaveLockGate(objects::IoSession* session) noexcept;

}  // namespace zyvisa::events
