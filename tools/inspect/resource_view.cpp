// Reads the resource records out of a read-only mapped region. Other
// processes change them while we read, so the rows are a snapshot that may
// be a moment stale (and a record being changed may look half-changed).
#include "inspect/resource_view.h"

#include <cstdio>
#include <cstring>

#include "locking/resource_record.h"
#include "platform/platform.h"
#include "runtime/shared_region.h"

namespace zyvisa::inspect {

using locking::ResourceRecord;

namespace {

std::string Liveness(uint32_t pid, uint32_t start_tag) {
  switch (platform::ProcessState(pid)) {
    case platform::ProcState::kGone:
      return "gone";
    case platform::ProcState::kAlive:
    case platform::ProcState::kNoPermission:
      // Alive under that id, but a different start: the owner is gone and
      // its id reused.
      if (start_tag != 0) {
        const uint32_t now = locking::StartTag(pid);
        if (now != 0 && now != start_tag) return "gone";
      }
      return "alive";
    default:
      return "unknown";
  }
}

const char* StateName(uint32_t state) {
  switch (state) {
    case locking::kUnlocked: return "unlocked";
    case locking::kExclusive: return "exclusive";
    case locking::kShared: return "shared";
    default: return "corrupt";
  }
}

// The key as text, with the generated key's trailing newline shown escaped.
std::string KeyText(const ResourceRecord& r) {
  std::string key = FieldText(r.access_key, sizeof r.access_key);
  if (!key.empty() && key.back() == '\n') key.replace(key.size() - 1, 1, "\\n");
  return key;
}

}  // namespace

ResourceTable ReadResources(const Region& region) {
  ResourceTable table;
  const Block* block = nullptr;
  for (const Block& b : region.blocks) {
    if (!b.free_tail && b.name == runtime::kServicesDataName) block = &b;
  }
  if (block == nullptr || block->size < runtime::kServicesDataExtra ||
      block->payload_offset % alignof(ResourceRecord) != 0) {
    return table;
  }
  table.present = true;
  table.records = (block->size - runtime::kServicesDataExtra) / runtime::kResourceRecordSize;
  const auto* records = reinterpret_cast<const ResourceRecord*>(
      region.data + block->payload_offset + sizeof(runtime::ServicesSharedHead));
  for (uint32_t i = 0; i < table.records; ++i) {
    ResourceRecord r;
    std::memcpy(&r, &records[i], sizeof r);
    if (r.in_use == 0) continue;
    ResourceRow row;
    row.index = i;
    row.record_index = r.record_index;
    row.identity_a = r.identity_a;
    row.identity_b = r.identity_b;
    row.identity_c = r.identity_c;
    row.identity_d = r.identity_d;
    row.session_count = r.session_count;
    row.lock_state = r.lock_state;
    row.nest = r.exclusive_nest_count;
    row.owner_session = r.exclusive_owner_session;
    row.owner_pid = r.exclusive_owner_pid;
    if (r.exclusive_nest_count != 0) row.owner_state = Liveness(r.exclusive_owner_pid, r.owner_start_tag);
    row.shared_count = r.shared_lock_count;
    if (r.shared_lock_count != 0) row.access_key = KeyText(r);
    row.waiters = r.lock_waiters;
    for (uint32_t e = 0; e < locking::kOperEntries; ++e) {
      if (r.oper_count[e] == 0) continue;
      row.operations.push_back({e, r.oper_pid[e], r.oper_count[e], Liveness(r.oper_pid[e], 0)});
    }
    table.rows.push_back(row);
  }
  return table;
}

void PrintResourcesText(const ResourceTable& table) {
  if (!table.present) {
    std::printf("resources: no resource records in this region\n");
    return;
  }
  std::printf("resources: %zu of %u records in use\n", table.rows.size(), table.records);
  for (const ResourceRow& r : table.rows) {
    std::printf("resource %u: identity %u/%u/%u/%u, sessions %d, %s", r.index, r.identity_a,
                r.identity_b, r.identity_c, r.identity_d, r.session_count,
                StateName(r.lock_state));
    if (r.nest != 0) {
      // A dead owner stands out: its lock is given up by the next request.
      std::printf(", exclusive owner session 0x%X pid %u %s (nesting %u)%s", r.owner_session,
                  r.owner_pid, r.owner_state.c_str(), r.nest,
                  r.owner_state == "gone" ? "  <-- DEAD OWNER" : "");
    }
    if (r.shared_count != 0) {
      std::printf(", shared %u key \"%s\"", r.shared_count, r.access_key.c_str());
    }
    std::printf(", lock waiters %u\n", r.waiters);
    for (const OperRow& o : r.operations) {
      std::printf("  operation entry %u: pid %u %s, %u in progress%s\n", o.entry, o.pid,
                  o.state.c_str(), o.count, o.state == "gone" ? "  <-- DEAD PROCESS" : "");
    }
  }
}

void PrintResourcesJson(const ResourceTable& table) {
  if (!table.present) {
    std::printf("null");
    return;
  }
  std::printf("{\"records\":%u,\"in_use\":[", table.records);
  bool first = true;
  for (const ResourceRow& r : table.rows) {
    std::printf(
        "%s{\"index\":%u,\"identity\":[%u,%u,%u,%u],\"session_count\":%d,\"lock_state\":%s,",
        first ? "" : ",", r.index, r.identity_a, r.identity_b, r.identity_c, r.identity_d,
        r.session_count, JsonString(StateName(r.lock_state)).c_str());
    if (r.nest != 0) {
      std::printf("\"exclusive\":{\"session\":%u,\"pid\":%u,\"alive\":%s,\"nesting\":%u},",
                  r.owner_session, r.owner_pid,
                  r.owner_state == "alive" ? "true" : r.owner_state == "gone" ? "false" : "null",
                  r.nest);
    } else {
      std::printf("\"exclusive\":null,");
    }
    std::printf("\"shared_count\":%u,\"access_key\":%s,\"lock_waiters\":%u,\"operations\":[",
                r.shared_count, JsonString(r.access_key).c_str(), r.waiters);
    for (size_t i = 0; i < r.operations.size(); ++i) {
      const OperRow& o = r.operations[i];
      std::printf("%s{\"entry\":%u,\"pid\":%u,\"count\":%u,\"alive\":%s}", i ? "," : "", o.entry,
                  o.pid, o.count,
                  o.state == "alive" ? "true" : o.state == "gone" ? "false" : "null");
    }
    std::printf("]}");
    first = false;
  }
  std::printf("]}");
}

}  // namespace zyvisa::inspect
