// The one-screen summary of a machine that zyvisa-inspect shows first, and
// the count of owners that are dead, which sets its exit status.
#pragma once

#include "inspect/region_reader.h"
#include "inspect/resource_view.h"
#include "inspect/semaphore_view.h"

namespace zyvisa::inspect {

// Semaphores held, exclusive locks and operations in progress whose process
// is gone.
int CountDeadOwners(const SemaphoreTable& semaphores, const ResourceTable& resources);

void PrintSummary(const Region& region, const SemaphoreTable& semaphores,
                  const ResourceTable& resources);

}  // namespace zyvisa::inspect
