// Test isolation: every test that starts the library gets a machine of its own
// (a fresh folder for the shared region, the named mutexes and the
// configuration, and a registry file pointing there), and helpers to run code
// in real child processes. This folder is the tests' only door to the OS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zyvisa::test {

class TestMachine {
 public:
  // Creates the folders and a registry with the product key and the installer
  // key naming them, and points ZYVISA_REGISTRY at it.
  TestMachine();
  ~TestMachine();
  TestMachine(const TestMachine&) = delete;
  TestMachine& operator=(const TestMachine&) = delete;

  const std::string& root() const { return root_; }
  // ZYSHAREDMEMORYDIR: backing file and named mutexes.
  const std::string& shm_dir() const { return shm_dir_; }
  // ZYPUBAPPDATADIR: the configuration folder is this + "/ZYvisa/".
  const std::string& appdata_dir() const { return appdata_dir_; }
  const std::string& registry_path() const { return registry_path_; }
  std::string config_dir() const { return appdata_dir_ + kSep + "ZYvisa" + kSep; }
  std::string config_file() const { return config_dir() + "visaconf.ini"; }
  std::string backing_file() const { return shm_dir_ + kSep + "ZY-VISA Shared Memory.tmp"; }
  // The platform's path separator, as the library writes paths.
  static const char kSep;

  // The registry text the constructor writes.
  std::string DefaultRegistry() const;
  void WriteRegistry(const std::string& text) const;
  // Writes visaconf.ini (creating the configuration folder).
  void WriteConfig(const std::string& text) const;

 private:
  std::string root_, shm_dir_, appdata_dir_, registry_path_;
  std::string saved_registry_env_;
  bool had_registry_env_ = false;
  // What the registry variable names for children and the library: the
  // file, or the Windows registry key that stands in for HKEY_LOCAL_MACHINE.
  std::string registry_key_;
};

// True where a cancelled thread unwinds its stack (POSIX); Windows
// terminates it where it is.
bool CancellationUnwinds();

// Sleeps in a call that is a cancellation point where threads are cancelled
// (POSIX), as a driver waiting for its device does.
void SleepInCancellationPoint(int ms);

// A library of the system with the C function cos, for loading tests.
extern const char kMathLibrary[];

// Writes a whole file; aborts the test binary on failure.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);


// A one-shot signal between processes (a pipe), made before forking.
class Signal {
 public:
  Signal();
  // The same signal in a child, from the parent's id(): a child of a
  // scenario gets it as an argument.
  explicit Signal(const std::string& id);
  std::string id() const;
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Notify(char value = 1);
  // True when notified within timeout_ms; *value receives the byte.
  bool Wait(int timeout_ms, char* value = nullptr);

 private:
  // Read and write ends: file descriptors or handles, inherited by children.
  intptr_t ends_[2] = {-1, -1};
  bool owner_ = true;
};

// ---------------------------------------------------------------- scenarios

// Code that a test runs in another process, found by name, so that the same
// test runs where processes cannot fork: a child of a scenario is a fork
// that calls it on POSIX, and a new run of the test program, told the
// scenario's name and arguments on its command line, on Windows. A scenario
// starts from a fresh process's state on every platform (it may rely on
// nothing the parent set up but the machine, which the child inherits) and
// returns the child's exit code.
using ScenarioArgs = std::vector<std::string>;
using ScenarioFn = int (*)(const ScenarioArgs& args);
bool RegisterScenario(const char* name, ScenarioFn fn);
#define ZYVISA_SCENARIO(name)                                                          \
  int name(const ::zyvisa::test::ScenarioArgs& args);                                  \
  [[maybe_unused]] const bool name##_registered =                                      \
      ::zyvisa::test::RegisterScenario(#name, &name);                                  \
  int name([[maybe_unused]] const ::zyvisa::test::ScenarioArgs& args)
// The test program's main: runs the scenario its command line names, if
// any, and then returns true with *exit_code set.
bool RunScenarioFromCommandLine(int argc, char** argv, int* exit_code);

// A child process: a forked child running fn (POSIX only; the child exits
// with fn's result without running the parent's exit handlers; fork before
// the parent starts threads), or a scenario on any platform.
class Child {
 public:
  explicit Child(const std::function<int()>& fn);
  Child(const char* scenario, const ScenarioArgs& args);
  ~Child();  // kills a child that is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  // Exit code; -signal if it died by a signal (-9 for Kill on every
  // platform); -1000 if still running after timeout_ms (it is then killed).
  int Wait(int timeout_ms = 30000);
  void Kill();

 private:
  int pid_ = -1;
  bool reaped_ = false;
  bool killed_ = false;
  void* process_ = nullptr;  // the process handle where there is one
};

// Zero-filled memory of bytes bytes that every process forked afterwards
// shares with the caller (for counters that children update); never freed.
void* SharedScratch(size_t bytes);

// Opens the shared object at path and returns what its function of that name
// (taking nothing, returning an unsigned 16-bit value) returns; -1 when the
// object or the function cannot be found. With unload, closes the object
// again before returning; without, it stays until the process exits.
int CallInLibrary(const std::string& path, const char* function, bool unload);

// The function names a library file exports (the dynamic symbol table of a
// shared object, the export directory of a DLL); false if it cannot be read.
bool ExportedNames(const std::string& path, std::vector<std::string>* names);

// Runs a program with arguments and returns its exit code and output.
int RunProgram(const std::string& command_line, std::string* output);

}  // namespace zyvisa::test
