// What only the POSIX tests ask of the machine: FIFOs, groups, and a process
// id that nobody holds.
#pragma once

#include <string>

namespace zyvisa::test {

// A FIFO at path (aborts on failure): a file that blocks whoever opens it.
void MakeFifo(const std::string& path);
// True when path belongs to the calling process's effective group.
bool InOurGroup(const std::string& path);
// The id of a process that has ended (and been reaped): an id nobody holds.
int GoneProcessId();

}  // namespace zyvisa::test
