// The system semaphore records of a region, as zyvisa-inspect shows them:
// who holds what, and whether the holder is still alive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/region_reader.h"

namespace zyvisa::inspect {

struct SemaphoreRow {
  uint32_t index = 0;
  std::string name;
  bool free = false;
  bool held = false;  // owner ids set
  uint32_t owner_pid = 0;
  uint32_t owner_tid = 0;
  // "alive", "gone" or "unknown" (not ours to inspect, or an error); only
  // meaningful while held.
  std::string owner_state;
  uint32_t hold_count = 0;
  uint16_t recursive = 0;
};

struct SemaphoreTable {
  bool present = false;     // the region has the block
  std::string problem;      // set when the block is there but unreadable
  uint32_t records = 0;
  uint32_t allocated = 0;
  // Allocated records, and free ones that still carry a name.
  std::vector<SemaphoreRow> rows;
};

SemaphoreTable ReadSystemSemaphores(const Region& region);

void PrintSemaphoresText(const SemaphoreTable& table);
// A JSON value (object or null) for the "system_semaphores" member.
void PrintSemaphoresJson(const SemaphoreTable& table);

}  // namespace zyvisa::inspect
