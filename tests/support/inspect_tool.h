// zyvisa-inspect, run as another process on a test machine's region.
#pragma once

#include <string>

#include "support/test_machine.h"

namespace zyvisa::test {

// The tool's standard output; *code receives its exit status.
inline std::string Inspect(const std::string& args, int* code) {
  std::string out;
  *code = RunProgram(std::string(ZYVISA_INSPECT_PATH) + " " + args, &out);
  return out;
}

// The machine's region named on the command line: the tool is another
// process, and only the POSIX registry follows a test into it (Windows tests
// give HKEY_LOCAL_MACHINE a private stand-in in their own process alone).
inline std::string Region(const TestMachine& machine) {
  return "--file \"" + machine.backing_file() + "\"";
}

}  // namespace zyvisa::test
