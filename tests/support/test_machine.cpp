// Test isolation helpers, the portable part: machine registries and
// configuration, whole-file reads and writes, and the scenarios that tests
// run in other processes. The OS-specific part is in support/posix and
// support/win32.
#include "support/test_machine.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
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

const char TestMachine::kSep = char(std::filesystem::path::preferred_separator);

TestMachine::TestMachine() {
  // Unique among processes and tests: a name that exists already is passed over.
  static std::atomic<unsigned> counter{0};
  const auto temp = std::filesystem::temp_directory_path();
  std::string name;
  do {
    name = "zyvisa-test-" + std::to_string(std::random_device{}()) + "-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(counter++);
  } while (!std::filesystem::create_directory(temp / name));
  root_ = (temp / name).string();
  shm_dir_ = root_ + kSep + "shm";
  appdata_dir_ = root_ + kSep + "public";
  registry_path_ = root_ + kSep + "registry.ini";
  registry_key_ = os::RegistryKey(name, registry_path_);
  std::filesystem::create_directories(shm_dir_);
  std::filesystem::create_directories(appdata_dir_);
  had_registry_env_ = os::GetEnv(os::kRegistryVariable, &saved_registry_env_);
  WriteRegistry(DefaultRegistry());
  os::SetEnv(os::kRegistryVariable, registry_key_.c_str());
}

TestMachine::~TestMachine() {
  os::DropRegistry(registry_key_);
  os::SetEnv(os::kRegistryVariable, had_registry_env_ ? saved_registry_env_.c_str() : nullptr);
  // The machine of an enclosing test again, where the environment alone does not carry it.
  if (had_registry_env_) os::PrepareScenarioProcess();
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

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

// Inherited descriptors and handles keep their values in a child.
Signal::Signal(const std::string& id) : owner_(false) {
  long long r = 0, w = 0;
  if (std::sscanf(id.c_str(), "%lld:%lld", &r, &w) != 2) Die("signal id " + id);
  ends_[0] = intptr_t(r);
  ends_[1] = intptr_t(w);
}

std::string Signal::id() const {
  return std::to_string(static_cast<long long>(ends_[0])) + ":" +
         std::to_string(static_cast<long long>(ends_[1]));
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
