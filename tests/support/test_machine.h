// Test isolation: every test that starts the library gets a machine of its own
// (a fresh folder for the shared region, the named mutexes and the
// configuration, and a registry file pointing there), and helpers to run code
// in real child processes. This folder is the tests' only door to the OS.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

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
  std::string config_dir() const { return appdata_dir_ + "/ZYvisa/"; }
  std::string config_file() const { return config_dir() + "visaconf.ini"; }
  std::string backing_file() const { return shm_dir_ + "/ZY-VISA Shared Memory.tmp"; }

  // The registry text the constructor writes.
  std::string DefaultRegistry() const;
  void WriteRegistry(const std::string& text) const;
  // Writes visaconf.ini (creating the configuration folder).
  void WriteConfig(const std::string& text) const;

 private:
  std::string root_, shm_dir_, appdata_dir_, registry_path_;
  std::string saved_registry_env_;
  bool had_registry_env_ = false;
};

// Writes a whole file; aborts the test binary on failure.
void WriteFile(const std::string& path, const std::string& text);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// A one-shot signal between processes (a pipe), made before forking.
class Signal {
 public:
  Signal();
  ~Signal();
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  void Notify(char value = 1);
  // True when notified within timeout_ms; *value receives the byte.
  bool Wait(int timeout_ms, char* value = nullptr);

 private:
  int fds_[2];
};

// A forked child running fn; the child exits with fn's result without running
// the parent's exit handlers. Fork before the parent starts threads.
class Child {
 public:
  explicit Child(const std::function<int()>& fn);
  ~Child();  // kills a child that is still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int pid() const { return pid_; }
  // Exit code; -signal if it died by a signal; -1000 if still running after
  // timeout_ms (it is then killed).
  int Wait(int timeout_ms = 30000);
  void Kill();

 private:
  int pid_ = -1;
  bool reaped_ = false;
};

// Zero-filled memory of bytes bytes that every process forked afterwards
// shares with the caller (for counters that children update); never freed.
void* SharedScratch(size_t bytes);

// Opens the shared object at path and returns what its function of that name
// (taking nothing, returning an unsigned 16-bit value) returns; -1 when the
// object or the function cannot be found. With unload, closes the object
// again before returning; without, it stays until the process exits.
int CallInLibrary(const std::string& path, const char* function, bool unload);

// Runs a program with arguments and returns its exit code and output.
int RunProgram(const std::string& command_line, std::string* output);

}  // namespace zyvisa::test
