// The entry points of this library's emulated asynchronous operations, as the
// events need them to tell a driver's own completions from emulated ones.
// The emulation registers them here, so that the events do not depend on it.
#pragma once

#include <cstdint>

namespace zyvisa::events {

// Operation ids of the four asynchronous operations (upper half of a job id).
constexpr uint16_t kOperReadAsync = 0x402;
constexpr uint16_t kOperWriteAsync = 0x404;
constexpr uint16_t kOperMoveAsync = 0x50E;
constexpr uint16_t kOperMoveAsyncEx = 0x520;

// Records the emulation's entry point for one of the four operation ids; any
// other id is ignored. Until it is called the emulated entry counts as null,
// so that a table slot left empty reads as "not the driver's".
void SetEmulatedAsyncEntry(uint16_t operation, const void* entry) noexcept;

}  // namespace zyvisa::events
