// What the portable test support needs from the platform's folder
// (support/posix or support/win32), beside the classes of test_machine.h
// that those folders implement.
#pragma once

#include <string>

#include "support/test_machine.h"

namespace zyvisa::test::os {

// Sets a variable of this process's environment; null unsets it.
void SetEnv(const char* name, const char* value);
bool GetEnv(const char* name, std::string* value);
// Runs first in a child of a scenario: takes over the machine the parent's
// test made (where the environment alone does not carry it).
void PrepareScenarioProcess();
// The scenario registered under name; null if none.
ScenarioFn FindScenario(const std::string& name);
// The arguments that make the test program run a scenario.
std::vector<std::string> ScenarioCommandLine(const char* scenario, const ScenarioArgs& args);

// The environment variable that carries a machine's registry to the library
// and to children, and its value for a machine in the folder name.
extern const char kRegistryVariable[];
std::string RegistryKey(const std::string& name, const std::string& registry_file);
// Forgets what the platform keeps of a machine's registry beyond its file.
void DropRegistry(const std::string& key);

}  // namespace zyvisa::test::os
