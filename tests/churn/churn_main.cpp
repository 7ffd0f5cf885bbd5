// zyvisa-churn: starts and kills processes of the library at random moments
// of start-up, work and shutdown, on a machine of their own where no process
// lives long, beside workers that take turns holding one system semaphore.
// It counts start-ups that failed, processes that hung, and breaches of the
// semaphore's mutual exclusion; any of them makes it fail.
//
//   zyvisa-churn [--processes N] [--slots N] [--kill-percent P] [--seed S]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process_control.h"
#include "support/test_machine.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_platform.h"
#include "zyvisa_sem.h"

namespace {

using Clock = std::chrono::steady_clock;

// Exit codes of a child.
constexpr int kDone = 0;
constexpr int kStartupFailed = 3;
constexpr int kExclusionBroken = 4;
constexpr int kSemaphoreTimedOut = 5;
constexpr int kBadArguments = 64;

constexpr ViUInt32 kAcquireLimitMs = 15000;  // a wait this long is a hang
constexpr auto kProcessLimit = std::chrono::seconds(30);

// Shared by the workers, in the region: who is inside.
struct Guard {
  std::atomic<uint32_t> inside;
};

void Record(const char* results, long index, char value) {
  if (std::FILE* f = std::fopen(results, "r+b")) {
    std::fseek(f, index, SEEK_SET);
    std::fputc(value, f);
    std::fclose(f);
  }
}

// A child: the library started when it was loaded; report how, then work.
int RunChild(const std::string& role, long index, const char* results) {
  const bool started = zyvisaInitializeServicesIfNeeded() == 1;
  Record(results, index, started ? '1' : '0');
  if (!started) return kStartupFailed;
  if (role != "worker") return kDone;  // leaves at once: shutdown runs
  ViAddr address = nullptr;
  ViUInt16 created = 0;
  ViSemaphore sem = nullptr;
  if (visaAllocShared("churn guard", sizeof(Guard), &address, &created) != VI_SUCCESS ||
      visaSemAlloc("churn semaphore", ZYVISA_SEM_SYSTEM, 0, &sem) != VI_SUCCESS) {
    return kStartupFailed;
  }
  auto* guard = static_cast<Guard*>(address);
  const uint32_t me = visaProcGetID();
  std::minstd_rand random(me);
  for (int round = 0; round < 5; ++round) {
    ViUInt16 acquired = 0;
    if (visaSemAcquire(sem, kAcquireLimitMs, &acquired) != VI_SUCCESS) return kSemaphoreTimedOut;
    // A holder killed inside leaves its id here; a second holder at the same
    // time would overwrite ours, which we see on the way out.
    guard->inside.store(me);
    visaSleep(ViUInt32(random() % 3));
    const bool alone = guard->inside.exchange(0) == me;
    visaSemRelease(sem, &acquired);
    if (!alone) return kExclusionBroken;
  }
  return kDone;
}

struct Running {
  Clock::time_point started;
  Clock::time_point kill_at;  // max(): not to be killed
  bool killed = false;
};

int RunChurn(long processes, int slots, int kill_percent, unsigned seed) {
  zyvisa::test::TestMachine machine;  // its own folder and registry, inherited by the children
  const std::string self = zyvisa::test::OwnExecutable();
  const std::string results = machine.root() + "/results";
  zyvisa::test::WriteFile(results, std::string(size_t(processes), ' '));
  std::mt19937 random(seed);

  std::map<int, Running> running;
  long spawned = 0, killed = 0, hangs = 0, timeouts = 0, breaches = 0, others = 0;
  while (spawned < processes || !running.empty()) {
    while (spawned < processes && int(running.size()) < slots) {
      const bool worker = random() % 3 == 0;
      const int pid = zyvisa::test::SpawnProgram(
          {self, "--child", worker ? "worker" : "brief", std::to_string(spawned), results});
      if (pid < 0) {
        ++others;
        break;
      }
      Running r{Clock::now(), Clock::time_point::max()};
      // From before the library is loaded to well into a worker's turns.
      if (int(random() % 100) < kill_percent) {
        r.kill_at = r.started + std::chrono::microseconds(random() % (worker ? 40000 : 12000));
      }
      running[pid] = r;
      ++spawned;
    }
    const auto now = Clock::now();
    for (auto& [pid, r] : running) {
      if (r.killed || (now < r.kill_at && now - r.started <= kProcessLimit)) continue;
      zyvisa::test::KillProcess(pid);
      r.killed = true;
      ++(now >= r.kill_at ? killed : hangs);
    }
    int pid = 0, code = 0;
    bool reaped = false;
    while (zyvisa::test::ReapEnded(&pid, &code)) {
      reaped = true;
      const auto it = running.find(pid);
      if (it == running.end()) continue;
      const bool killed_here = it->second.killed && code == -9;
      running.erase(it);
      if (killed_here) continue;
      if (code == kSemaphoreTimedOut) ++timeouts;
      else if (code == kExclusionBroken) ++breaches;
      else if (code != kDone && code != kStartupFailed) ++others;
    }
    if (!reaped) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }

  // Start-ups that failed, also in processes killed after reporting.
  const std::string outcome = zyvisa::test::ReadFile(results);
  const auto ok = std::count(outcome.begin(), outcome.end(), '1');
  const auto failed = std::count(outcome.begin(), outcome.end(), '0');
  // With every process gone, a new start-up works and, leaving last, takes
  // the region (and whatever killed processes left in it) with it.
  const int last = zyvisa::test::SpawnProgram({self, "--child", "brief", "0", results});
  int pid = 0, code = -1;
  for (auto deadline = Clock::now() + kProcessLimit; Clock::now() < deadline;) {
    if (zyvisa::test::ReapEnded(&pid, &code) && pid == last) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool last_ok = pid == last && code == kDone;
  const bool region_left = zyvisa::test::FileExists(machine.backing_file());

  std::printf(
      "processes %ld, killed %ld, start-ups %ld ok / %ld failed, hangs %ld, semaphore "
      "time-outs %ld, mutual-exclusion violations %ld, other failures %ld, final start-up %s%s\n",
      spawned, killed, ok, failed, hangs, timeouts, breaches, others, last_ok ? "ok" : "FAILED",
      region_left ? ", region left behind" : "");
  return failed == 0 && hangs == 0 && timeouts == 0 && breaches == 0 && others == 0 && last_ok &&
                 !region_left
             ? 0
             : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--child") == 0) {
    return RunChild(argv[2], std::strtol(argv[3], nullptr, 10), argv[4]);
  }
  const std::string flags[] = {"--processes", "--slots", "--kill-percent", "--seed"};
  long values[] = {3000, 6, 45, long(std::random_device()())};
  bool bad = argc % 2 == 0;
  for (int i = 1; !bad && i + 1 < argc; i += 2) {
    const auto flag = std::find(std::begin(flags), std::end(flags), argv[i]);
    bad = flag == std::end(flags);
    if (!bad) values[flag - std::begin(flags)] = std::strtol(argv[i + 1], nullptr, 10);
  }
  if (bad || values[0] < 1 || values[1] < 1) {
    std::fprintf(stderr, "usage: zyvisa-churn [--processes N] [--slots N] [--kill-percent P] [--seed S]\n");
    return kBadArguments;
  }
  std::printf("seed %u\n", unsigned(values[3]));
  return RunChurn(values[0], int(values[1]), int(values[2]), unsigned(values[3]));
}
