// A loopback interface driver, written as a driver author would start one:
// what is written comes back on the next read, and asynchronous I/O is the
// library's emulation on a job thread.
#pragma once

#include "zyvisa_types.h"

namespace loopback {

// Registers the driver's operation table with the services (once per
// process; a second call finds the same table) and returns it, or null.
ViAddr RegisterDriver();

}  // namespace loopback
