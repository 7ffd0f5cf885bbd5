// Starting, killing and reaping whole programs, for soak programs that run
// many short-lived processes of the library.
#pragma once

#include <string>
#include <vector>

namespace zyvisa::test {

// Starts the program argv[0] with those arguments and this environment; the
// pid, or -1.
int SpawnProgram(const std::vector<std::string>& argv);
void KillProcess(int pid);
// A child that has ended, without waiting: its pid and its exit code (or
// -signal). False when none has ended.
bool ReapEnded(int* pid, int* code);
// This program's own file.
std::string OwnExecutable();

}  // namespace zyvisa::test
