// Test isolation helpers, the portable part: machine registries and
// configuration, whole-file reads and writes, and the scenarios that tests
// run in other processes. The OS-specific part is in support/posix and
// support/win32.
#include "support/test_machine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/os.h"

namespace zyvisa::test {


namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "test support: %s: %s\n", what.c_str(), std::strerror(errno));
  std::abort();
}

// Filled during static initialisation, read afterwards only.
std::map<std::string, ScenarioFn>& Scenarios() {
  static auto* scenarios = new std::map<std::string, ScenarioFn>;
  return *scenarios;
}

constexpr char kScenarioFlag[] = "--zyvisa-scenario";

}  // namespace

std::string TestMachine::DefaultRegistry() const {
  return "[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n"
         "InstDir=" + root_ + kSep + "install\n"
         "\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
         "ZYSHAREDMEMORYDIR=" + shm_dir_ + "\n"
         "ZYPUBAPPDATADIR=" + appdata_dir_ + "\n";
}

void TestMachine::WriteConfig(const std::string& text) const {
  std::filesystem::create_directories(config_dir());
  WriteFile(config_file(), text);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) Die("open " + path);
  out << text;
  if (!out) Die("write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

void PatchFile(const std::string& path, long offset, const void* bytes, size_t size) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.write(static_cast<const char*>(bytes), std::streamsize(size));
  if (!f) Die("patch " + path);
}

bool RegisterScenario(const char* name, ScenarioFn fn) {
  if (!Scenarios().emplace(name, fn).second) {
    std::fprintf(stderr, "test support: scenario %s registered twice\n", name);
    std::abort();
  }
  return true;
}

namespace os {
ScenarioFn FindScenario(const std::string& name) {
  auto it = Scenarios().find(name);
  return it == Scenarios().end() ? nullptr : it->second;
}

std::vector<std::string> ScenarioCommandLine(const char* scenario, const ScenarioArgs& args) {
  std::vector<std::string> line{kScenarioFlag, scenario};
  line.insert(line.end(), args.begin(), args.end());
  return line;
}
}  // namespace os

bool RunScenarioFromCommandLine(int argc, char** argv, int* exit_code) {
  if (argc < 3 || std::strcmp(argv[1], kScenarioFlag) != 0) return false;
  const ScenarioFn fn = os::FindScenario(argv[2]);
  if (fn == nullptr) {
    std::fprintf(stderr, "test support: no scenario %s\n", argv[2]);
    *exit_code = 127;
    return true;
  }
  os::PrepareScenarioProcess();
  *exit_code = fn(ScenarioArgs(argv + 3, argv + argc));
  return true;
}

}  // namespace zyvisa::test
