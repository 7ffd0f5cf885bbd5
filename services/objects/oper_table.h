// The operation table (vector table) of a driver: a named block with one slot
// per VISA operation, shared byte for byte with the core library, which calls
// through the slots.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zyvisa_types.h"

namespace zyvisa::objects {

constexpr size_t kOperSlotCount = 90;
constexpr size_t kOperTableNameSize = 256;

// Slot numbers of the operations that this library calls itself.
enum OperSlot : uint16_t {
  kSlotClose = 4,
  kSlotRead = 15,
  kSlotReadAsync = 16,
  kSlotWrite = 17,
  kSlotWriteAsync = 18,
  kSlotMove = 37,
  kSlotMoveAsync = 38,
  kSlotMoveEx = 83,
  kSlotMoveAsyncEx = 84,
};

struct OperTable {
  OperTable* next;      // registered before this one
  OperTable* previous;  // registered after this one; null for the newest
  char name[kOperTableNameSize];
  ViAddr slots[kOperSlotCount];  // a driver's entry point, or null
};
static_assert(sizeof(OperTable) == 992);
static_assert(offsetof(OperTable, next) == 0);
static_assert(offsetof(OperTable, previous) == 8);
static_assert(offsetof(OperTable, name) == 16);
static_assert(offsetof(OperTable, slots) == 272);
static_assert(offsetof(OperTable, slots) + kSlotRead * sizeof(ViAddr) == 392);
static_assert(offsetof(OperTable, slots) + kSlotMoveEx * sizeof(ViAddr) == 936);

}  // namespace zyvisa::objects
