// The four per-process object lists as start-up creates them.
#pragma once

namespace zyvisa::objects {

// Start-up step 17: creates the lists and their list semaphores.
bool CreateObjectLists() noexcept;
// Forgets the lists (their semaphores are closed with the process table), so
// that a later start-up in the same process begins afresh.
void ResetObjectLists() noexcept;

}  // namespace zyvisa::objects
