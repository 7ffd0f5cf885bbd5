// Reads the system semaphore records out of a read-only mapped region. The
// records are live: other processes change them while we read, so each field
// is read once and the rows are a snapshot that may be a moment stale.
#include "inspect/semaphore_view.h"

#include <cstdio>

#include "platform/platform.h"
#include "sync/sem_record.h"

namespace zyvisa::inspect {

using sync::SemRecord;

SemaphoreTable ReadSystemSemaphores(const Region& region) {
  SemaphoreTable table;
  const Block* block = nullptr;
  for (const Block& b : region.blocks) {
    if (!b.free_tail && b.name == sync::kSystemBlockName) block = &b;
  }
  if (block == nullptr) return table;
  table.present = true;
  if (block->size % sizeof(SemRecord) != 0) {
    table.problem = "its size is not a whole number of records";
    return table;
  }
  // The library only makes 4-aligned payloads; a file that has others is
  // not one it made, and its fields cannot be read as words.
  if (block->payload_offset % alignof(SemRecord) != 0) {
    table.problem = "its records are not aligned";
    return table;
  }
  table.records = block->size / uint32_t(sizeof(SemRecord));
  const auto* records = reinterpret_cast<const SemRecord*>(region.data + block->payload_offset);
  constexpr auto kRelaxed = std::memory_order_relaxed;
  for (uint32_t i = 0; i < table.records; ++i) {
    const SemRecord& record = records[i];
    SemaphoreRow row;
    row.index = i;
    row.name = FieldText(record.name, sizeof record.name);
    row.free = record.free_flag != 0;
    if (!row.free) ++table.allocated;
    if (row.free && row.name.empty()) continue;
    row.owner_pid = record.owner_pid.load(kRelaxed);
    row.owner_tid = record.owner_tid.load(kRelaxed);
    row.held = row.owner_pid != sync::kNoOwner;
    row.hold_count = record.hold_count.load(kRelaxed);
    row.recursive = record.recursive.load(kRelaxed);
    if (row.held) {
      switch (platform::ProcessState(row.owner_pid)) {
        case platform::ProcState::kAlive: row.owner_state = "alive"; break;
        case platform::ProcState::kGone: row.owner_state = "gone"; break;
        default: row.owner_state = "unknown"; break;
      }
    }
    table.rows.push_back(row);
  }
  return table;
}

void PrintSemaphoresText(const SemaphoreTable& table) {
  if (!table.present) {
    std::printf("system semaphores: none in this region\n");
    return;
  }
  if (!table.problem.empty()) {
    std::printf("system semaphores: unreadable, %s\n", table.problem.c_str());
    return;
  }
  std::printf("system semaphores: %u of %u records allocated\n", table.allocated, table.records);
  if (table.rows.empty()) return;
  std::printf("%-5s %-40s %-9s %-10s %-10s %-7s %5s %-9s\n", "index", "name", "state", "owner pid",
              "owner tid", "owner", "holds", "recursive");
  for (const SemaphoreRow& r : table.rows) {
    char pid[16] = "-", tid[16] = "-";
    if (r.held) {
      std::snprintf(pid, sizeof pid, "%u", r.owner_pid);
      std::snprintf(tid, sizeof tid, "%u", r.owner_tid);
    }
    std::printf("%-5u %-40s %-9s %-10s %-10s %-7s %5u %-9s\n", r.index, r.name.c_str(),
                r.free ? "free" : "allocated", pid, tid, r.held ? r.owner_state.c_str() : "-",
                r.hold_count, r.recursive == 1 ? "yes" : "no");
  }
}

void PrintSemaphoresJson(const SemaphoreTable& table) {
  if (!table.present) {
    std::printf("null");
    return;
  }
  if (!table.problem.empty()) {
    std::printf("{\"problem\":%s}", JsonString(table.problem).c_str());
    return;
  }
  std::printf("{\"records\":%u,\"allocated\":%u,\"list\":[", table.records, table.allocated);
  bool first = true;
  for (const SemaphoreRow& r : table.rows) {
    std::printf("%s{\"index\":%u,\"name\":%s,\"free\":%s,", first ? "" : ",", r.index,
                JsonString(r.name).c_str(), r.free ? "true" : "false");
    if (r.held) {
      std::printf("\"owner_pid\":%u,\"owner_tid\":%u,\"owner_alive\":%s,", r.owner_pid,
                  r.owner_tid,
                  r.owner_state == "alive" ? "true" : r.owner_state == "gone" ? "false" : "null");
    } else {
      std::printf("\"owner_pid\":null,\"owner_tid\":null,\"owner_alive\":null,");
    }
    std::printf("\"hold_count\":%u,\"recursive\":%s}", r.hold_count,
                r.recursive == 1 ? "true" : "false");
    first = false;
  }
  std::printf("]}");
}

}  // namespace zyvisa::inspect
