// Test isolation helpers on POSIX: private machine folders with a registry
// file, pipes as signals, forked children, dlopen and popen.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support/os.h"
#include "support/posix/posix_files.h"
#include "support/test_machine.h"

namespace zyvisa::test {

namespace {
[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "test support: %s: %s\n", what.c_str(), std::strerror(errno));
  std::abort();
}
}  // namespace

namespace os {

void SetEnv(const char* name, const char* value) {
  value == nullptr ? unsetenv(name) : setenv(name, value, 1);
}

bool GetEnv(const char* name, std::string* value) {
  const char* text = std::getenv(name);
  if (text == nullptr) return false;
  *value = text;
  return true;
}

// A forked child has the parent's environment and memory already.
void PrepareScenarioProcess() {}

const char kRegistryVariable[] = "ZYVISA_REGISTRY";
std::string RegistryKey(const std::string&, const std::string& registry_file) { return registry_file; }
void DropRegistry(const std::string&) {}

}  // namespace os

void TestMachine::WriteRegistry(const std::string& text) const { WriteFile(registry_path_, text); }

bool CancellationUnwinds() { return true; }

void SleepInCancellationPoint(int ms) { poll(nullptr, 0, ms); }
const char kMathLibrary[] = "libm.so.6";

void MakeFifo(const std::string& path) {
  if (mkfifo(path.c_str(), 0666) != 0) Die("mkfifo " + path);
}

bool InOurGroup(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_gid == getegid();
}

int GoneProcessId() {
  pid_t pid = fork();
  if (pid < 0) Die("fork");
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return pid;
}

Signal::Signal() {
  int fds[2];
  if (pipe(fds) != 0) Die("pipe");
  ends_[0] = fds[0];
  ends_[1] = fds[1];
}

Signal::~Signal() {
  if (!owner_) return;
  close(int(ends_[0]));
  close(int(ends_[1]));
}

void Signal::Notify(char value) {
  if (write(int(ends_[1]), &value, 1) != 1) Die("signal write");
}

bool Signal::Wait(int timeout_ms, char* value) {
  pollfd p{int(ends_[0]), POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  char c = 0;
  if (read(int(ends_[0]), &c, 1) != 1) return false;
  if (value != nullptr) *value = c;
  return true;
}

Child::Child(const std::function<int()>& fn) {
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) Die("fork");
  if (pid_ == 0) _exit(fn());
}

// An unknown scenario's child ends with 127, as a shell's unknown command does.
Child::Child(const char* scenario, const ScenarioArgs& args)
    : Child([fn = os::FindScenario(scenario), &args] { return fn != nullptr ? fn(args) : 127; }) {}

Child::~Child() {
  if (!reaped_ && pid_ > 0) {
    Kill();
    Wait(5000);
  }
}

void Child::Kill() {
  if (!reaped_ && pid_ > 0) ::kill(pid_, SIGKILL);
}

int Child::Wait(int timeout_ms) {
  if (reaped_) return -1001;
  for (int waited = 0;; waited += 1) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return -WTERMSIG(status);
      return -1002;
    }
    if (waited >= timeout_ms) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      reaped_ = true;
      return -1000;
    }
    usleep(1000);
  }
}

void* SharedScratch(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) Die("mmap");
  return p;
}

int CallInLibrary(const std::string& path, const char* function, bool unload) {
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return -1;
  auto fn = reinterpret_cast<unsigned short (*)()>(dlsym(lib, function));
  const int result = fn != nullptr ? fn() : -1;
  if (unload) dlclose(lib);
  return result;
}

int RunProgram(const std::string& command_line, std::string* output) {
  std::fflush(nullptr);
  FILE* p = popen((command_line + " 2>&1").c_str(), "r");
  if (p == nullptr) Die("popen");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  if (output != nullptr) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ExportedNames(const std::string& path, std::vector<std::string>* names) {
  std::string out;
  if (RunProgram("nm -D --defined-only " + path, &out) != 0) return false;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string addr, type, name;
    fields >> addr >> type >> name;
    // Version nodes and the like are absolute symbols, not functions.
    if (name.empty() || type == "A") continue;
    names->push_back(name);
  }
  return true;
}

}  // namespace zyvisa::test
