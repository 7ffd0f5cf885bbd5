// The summary: size and use of the region, its users, who holds semaphores
// and locks, and every owner that is dead, in as few lines as fit a screen.
#include "inspect/summary.h"

#include <cstdio>
#include <string>

namespace zyvisa::inspect {
namespace {

// Rows beyond these are left to the sections, to keep to one screen.
constexpr size_t kMaxRows = 8;

const char* Mark(const std::string& state) { return state == "gone" ? "DEAD" : state.c_str(); }

}  // namespace

int CountDeadOwners(const SemaphoreTable& semaphores, const ResourceTable& resources) {
  int dead = 0;
  for (const SemaphoreRow& s : semaphores.rows) dead += s.held && s.owner_state == "gone";
  for (const ResourceRow& r : resources.rows) {
    dead += r.nest != 0 && r.owner_state == "gone";
    for (const OperRow& o : r.operations) dead += o.state == "gone";
  }
  return dead;
}

void PrintSummary(const Region& region, const SemaphoreTable& semaphores,
                  const ResourceTable& resources) {
  const size_t free_bytes = region.blocks.empty() ? 0 : region.blocks.back().size;
  const size_t used = region.size - free_bytes;
  std::printf("machine     %s\n", region.path.c_str());
  std::printf("region      %zu bytes, %zu used (%zu%%), %zu free, %zu named blocks\n", region.size,
              used, region.size == 0 ? 0 : used * 100 / region.size, free_bytes,
              region.blocks.empty() ? 0 : region.blocks.size() - 1);
  std::printf("users       ");
  if (region.has_services) std::printf("use count %u; ", region.services.use_count);
  if (region.holders_known) {
    // Killed processes stay in the use count; the holders are who is there.
    std::printf("processes holding the region: %zu", region.holders.size());
    for (size_t i = 0; i < region.holders.size() && i < kMaxRows; ++i) {
      std::printf("%s%u", i == 0 ? " (" : " ", region.holders[i]);
    }
    std::printf("%s\n", region.holders.empty() ? "" : ")");
  } else {
    std::printf("holders unknown\n");
  }

  size_t held = 0;
  for (const SemaphoreRow& s : semaphores.rows) held += s.held;
  std::printf("semaphores  %zu held", held);
  if (semaphores.present && semaphores.problem.empty()) {
    std::printf(" (%u of %u allocated)", semaphores.allocated, semaphores.records);
  } else if (!semaphores.problem.empty()) {
    std::printf(" (table unreadable: %s)", semaphores.problem.c_str());
  }
  std::printf("\n");
  size_t shown = 0;
  for (const SemaphoreRow& s : semaphores.rows) {
    if (!s.held || shown++ >= kMaxRows) continue;
    std::printf("  %-40s held by pid %u tid %u %s, %u times\n", s.name.c_str(), s.owner_pid,
                s.owner_tid, Mark(s.owner_state), s.hold_count);
  }
  if (shown > kMaxRows) std::printf("  ... %zu more (--section semaphores)\n", shown - kMaxRows);

  size_t locked = 0;
  for (const ResourceRow& r : resources.rows) locked += r.lock_state != 0 || !r.operations.empty();
  std::printf("resources   %zu open, %zu locked or busy", resources.rows.size(), locked);
  if (resources.present) std::printf(" (%u records)", resources.records);
  std::printf("\n");
  shown = 0;
  for (const ResourceRow& r : resources.rows) {
    if ((r.lock_state == 0 && r.operations.empty()) || shown++ >= kMaxRows) continue;
    std::printf("  resource %u (%u/%u/%u/%u), sessions %d:", r.index, r.identity_a, r.identity_b,
                r.identity_c, r.identity_d, r.session_count);
    if (r.nest != 0) std::printf(" exclusive by pid %u %s", r.owner_pid, Mark(r.owner_state));
    if (r.shared_count != 0) std::printf(" shared by %u", r.shared_count);
    if (r.waiters != 0) std::printf(", %u waiting", r.waiters);
    for (const OperRow& o : r.operations) {
      std::printf(", %u operations by pid %u %s", o.count, o.pid, Mark(o.state));
    }
    std::printf("\n");
  }
  if (shown > kMaxRows) std::printf("  ... %zu more (--section resources)\n", shown - kMaxRows);

  const int dead = CountDeadOwners(semaphores, resources);
  if (dead == 0) {
    std::printf("dead owners none\n");
  } else {
    std::printf("dead owners %d, marked DEAD above: the next request for each takes it over\n",
                dead);
  }
}

}  // namespace zyvisa::inspect
