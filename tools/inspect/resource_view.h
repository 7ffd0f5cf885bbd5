// The resource records in use in a region, as zyvisa-inspect shows them:
// identity, sessions, lock state, the exclusive owner and whether it still
// lives, shared holders, waiters and the operations in progress per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/region_reader.h"

namespace zyvisa::inspect {

struct OperRow {
  uint32_t entry = 0;
  uint32_t pid = 0;
  uint32_t count = 0;
  std::string state;  // "alive", "gone" or "unknown"
};

struct ResourceRow {
  uint32_t index = 0;
  int32_t record_index = 0;
  uint16_t identity_a = 0, identity_b = 0;
  uint32_t identity_c = 0, identity_d = 0;
  int32_t session_count = 0;
  uint32_t lock_state = 0;
  uint32_t nest = 0, owner_session = 0, owner_pid = 0;
  std::string owner_state;  // set while an exclusive lock is held
  uint32_t shared_count = 0;
  std::string access_key;
  uint32_t waiters = 0;
  std::vector<OperRow> operations;  // entries with a count
};

struct ResourceTable {
  bool present = false;
  uint32_t records = 0;
  std::vector<ResourceRow> rows;  // records in use
};

ResourceTable ReadResources(const Region& region);
void PrintResourcesText(const ResourceTable& table);
// A JSON value (object or null) for the "resources" member.
void PrintResourcesJson(const ResourceTable& table);

}  // namespace zyvisa::inspect
