// Starting, killing and reaping whole programs.
#include "support/process_control.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

namespace zyvisa::test {

int SpawnProgram(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void KillProcess(int pid) {
  if (pid > 0) kill(pid, SIGKILL);
}

bool ReapEnded(int* pid, int* code) {
  int status = 0;
  const pid_t ended = waitpid(-1, &status, WNOHANG);
  if (ended <= 0) return false;
  *pid = ended;
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
  return true;
}

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, size_t(n)) : std::string();
}

}  // namespace zyvisa::test
