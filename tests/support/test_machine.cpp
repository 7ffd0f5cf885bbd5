// Test isolation helpers: private machine folders and child processes.
#include "support/test_machine.h"

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
#include <fstream>
#include <sstream>

namespace zyvisa::test {

namespace {
[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "test support: %s: %s\n", what.c_str(), std::strerror(errno));
  std::abort();
}
}  // namespace

TestMachine::TestMachine() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zyvisa-test-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) Die("mkdtemp");
  root_ = tmpl;
  shm_dir_ = root_ + "/shm";
  appdata_dir_ = root_ + "/public";
  registry_path_ = root_ + "/registry.ini";
  std::filesystem::create_directories(shm_dir_);
  std::filesystem::create_directories(appdata_dir_);
  WriteRegistry(DefaultRegistry());
  if (const char* old = std::getenv("ZYVISA_REGISTRY")) {
    had_registry_env_ = true;
    saved_registry_env_ = old;
  }
  setenv("ZYVISA_REGISTRY", registry_path_.c_str(), 1);
}

TestMachine::~TestMachine() {
  if (had_registry_env_) {
    setenv("ZYVISA_REGISTRY", saved_registry_env_.c_str(), 1);
  } else {
    unsetenv("ZYVISA_REGISTRY");
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string TestMachine::DefaultRegistry() const {
  return "[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n"
         "InstDir=" + root_ + "/install\n"
         "\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
         "ZYSHAREDMEMORYDIR=" + shm_dir_ + "\n"
         "ZYPUBAPPDATADIR=" + appdata_dir_ + "\n";
}

void TestMachine::WriteRegistry(const std::string& text) const { WriteFile(registry_path_, text); }

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
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Signal::Signal() {
  if (pipe(fds_) != 0) Die("pipe");
}

Signal::~Signal() {
  close(fds_[0]);
  close(fds_[1]);
}

void Signal::Notify(char value) {
  if (write(fds_[1], &value, 1) != 1) Die("signal write");
}

bool Signal::Wait(int timeout_ms, char* value) {
  pollfd p{fds_[0], POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  char c = 0;
  if (read(fds_[0], &c, 1) != 1) return false;
  if (value != nullptr) *value = c;
  return true;
}

Child::Child(const std::function<int()>& fn) {
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) Die("fork");
  if (pid_ == 0) {
    int code = fn();
    _exit(code);
  }
}

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

}  // namespace zyvisa::test
