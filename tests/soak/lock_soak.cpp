// Kill -9 soak of resource locking: worker processes take exclusive and
// shared locks and pass the gate on one resource while the parent kills one
// of them with SIGKILL at random moments and starts a replacement. At the
// end no request may be wedged, exclusion may never have been broken, and
// the record's counts must agree with its state.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lifecycle/startup.h"
#include "locking/resource_record.h"
#include "objects/object_layouts.h"
#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"

namespace {

namespace pf = zyvisa::platform;
namespace lk = zyvisa::locking;
using zyvisa::objects::IoSession;
using zyvisa::test::Child;

// A request that waits this long is wedged: holds last microseconds, and a
// dead holder is given up within milliseconds.
constexpr uint32_t kWedgedMs = 10000;

// What the workers count; the last three fail the soak.
enum Count {
  kExclusiveGrants, kSharedGrants, kGateEntries, kGateRefusals, kLockRefusals, kWedged, kViolations, kSetupFailures
};
constexpr const char* kCountNames[] = {"exclusive grants", "shared grants", "gate entries", "gate refusals",
                                       "lock refusals", "wedged", "violations", "setup failures"};

// Counters every process shares (anonymous shared memory, not the region:
// they must survive whatever happens to the region's users).
struct Board {
  std::atomic<uint32_t> stop;
  // Process id of the worker inside its exclusive section, 0 when none.
  std::atomic<uint32_t> exclusive_holder;
  std::atomic<uint64_t> counts[std::size(kCountNames)];
};

// A live worker other than us in its exclusive section (holder) is a broken
// exclusion when we got the lock or are inside the gate.
bool Violated(Board& b, uint32_t me, uint32_t holder, const char* what) {
  if (holder == 0 || holder == me || pf::ProcessState(holder) == pf::ProcState::kGone) return false;
  b.counts[kViolations]++;
  std::fprintf(stderr, "soak: %u %s while %u holds the exclusive lock\n", me, what, holder);
  return true;
}

// Takes the exclusive section's marker; a marker left by a killed worker is
// taken over.
void EnterExclusive(Board& b, uint32_t me) {
  for (;;) {
    uint32_t holder = 0;
    if (b.exclusive_holder.compare_exchange_strong(holder, me)) return;
    if (Violated(b, me, holder, "got the lock") || b.exclusive_holder.compare_exchange_strong(holder, me)) return;
  }
}

void Spin(std::mt19937& rng) {
  const auto n = unsigned(rng() % 200);
  for (volatile unsigned i = 0; i < n; i = i + 1) {
  }
}

// Starts the library and opens a session on the soak's resource.
IoSession* StartAndOpen() {
  ViUInt32 handle = 0;
  auto* s = zyvisa::lifecycle::Startup() != 1 ? nullptr : static_cast<IoSession*>(
      zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) return nullptr;
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->identity_a = 7;
  s->identity_c = 1;
  const bool ok = zyvisaRsrcCreateResource(s) == VI_SUCCESS && zyvisaRsrcCreateSession(s) == VI_SUCCESS;
  return ok ? s : nullptr;
}

void GateOnce(Board& b, IoSession* s, uint32_t me, std::mt19937& rng) {
  ViUInt16 entered = 0;
  if (visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) {
    b.counts[kGateRefusals]++;
    return;
  }
  b.counts[kGateEntries]++;
  Violated(b, me, b.exclusive_holder.load(), "is inside the gate");
  Spin(rng);
  visaExitLockOper(s->handle, entered);
}

int Worker(Board& b, unsigned seed) {
  const uint32_t me = pf::CurrentProcessId();
  IoSession* s = StartAndOpen();
  if (s == nullptr) {
    std::fprintf(stderr, "soak: %u cannot start the library or open its session\n", me);
    b.counts[kSetupFailures]++;
    return 2;
  }
  std::mt19937 rng(seed);
  char key[256];
  while (b.stop.load() == 0) {
    const auto what = unsigned(rng() % 3);
    if (what == 2) {
      GateOnce(b, s, me, rng);
      continue;
    }
    const ViInt32 type = what == 0 ? VI_EXCLUSIVE_LOCK : VI_SHARED_LOCK;
    const uint32_t start = pf::TickCount();
    const ViStatus status = zyvisaLock(s, type, kWedgedMs, "soak", key);
    if (status != VI_SUCCESS) {
      const bool wedged = pf::TickCount() - start >= kWedgedMs;
      b.counts[wedged ? kWedged : kLockRefusals]++;
      if (wedged) std::fprintf(stderr, "soak: %u waited %u ms for a lock (0x%08X)\n", me, kWedgedMs,
                           unsigned(status));
      continue;
    }
    b.counts[type == VI_EXCLUSIVE_LOCK ? kExclusiveGrants : kSharedGrants]++;
    if (type == VI_EXCLUSIVE_LOCK) EnterExclusive(b, me);
    GateOnce(b, s, me, rng);
    if (type == VI_EXCLUSIVE_LOCK) {
      Spin(rng);
      uint32_t mine = me;
      b.exclusive_holder.compare_exchange_strong(mine, 0);
    }
    zyvisaUnlock(s);
  }
  zyvisaUnlockAllSessionLocks(s);
  zyvisaRsrcFreeSession(s);
  zyvisa::lifecycle::Shutdown();
  return 0;
}

// The record's fields agree with each other and with the holders table.
int CheckInvariants(const lk::ResourceRecord& r, const char* when) {
  int bad = 0;
  auto fail = [&](const char* what) {
    std::fprintf(stderr, "soak: %s: %s (state %u, nest %u, shared %u, waiters %u)\n", when, what,
                 r.lock_state, r.exclusive_nest_count, r.shared_lock_count, r.lock_waiters);
    ++bad;
  };
  if (r.lock_state > 2) fail("corrupt lock state");
  if ((r.exclusive_nest_count > 0) != (r.lock_state == 1)) fail("state disagrees with nesting");
  if (r.lock_state == 2 && r.shared_lock_count == 0) fail("shared without sharers");
  if (r.lock_state == 0 && r.shared_lock_count != 0) fail("unlocked with sharers");
  if (const lk::RecordHolders* h = lk::HoldersOf(&r)) {
    uint32_t shared = h->untracked_shared, waiters = h->untracked_waiters;
    for (const lk::HolderSlot& slot : h->slots) {
      shared += slot.shared_sessions;
      waiters += slot.waiters;
    }
    if (shared != r.shared_lock_count) fail("holders table disagrees with the shared count");
    if (waiters != r.lock_waiters) fail("holders table disagrees with the waiter count");
  }
  return bad;
}

int Usage() {
  std::fprintf(stderr, "usage: zyvisa-lock-soak [--kills N] [--workers N] [--seed N]\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string flags[] = {"--kills", "--workers", "--seed"};
  long values[] = {1000, 6, long(std::random_device{}())};
  for (int i = 1; i < argc; i += 2) {
    const auto flag = std::find(std::begin(flags), std::end(flags), argv[i]);
    if (i + 1 >= argc || flag == std::end(flags)) return Usage();
    values[flag - std::begin(flags)] = std::strtol(argv[i + 1], nullptr, 10);
  }
  const int kills = int(values[0]), workers = int(values[1]);
  const auto seed = unsigned(values[2]);
  if (workers < 2 || kills < 0) return Usage();
  std::printf("soak: %d workers, %d kills, seed %u\n", workers, kills, seed);

  zyvisa::test::TestMachine machine;
  auto& board = *new (zyvisa::test::SharedScratch(sizeof(Board))) Board{};
  std::mt19937 rng(seed);
  // Keeps the region open whatever happens to the workers, and is the first
  // process: the soak is about locking, not about a first process killed
  // while it builds the region.
  zyvisa::test::Signal kept;
  Child keeper([&kept] {
    if (zyvisa::lifecycle::Startup() != 1) return 2;
    kept.Notify();
    pf::SleepMs(24u * 3600u * 1000u);
    return 0;
  });
  if (!kept.Wait(int(kWedgedMs))) {
    std::fprintf(stderr, "soak: the keeper cannot start the library\n");
    return 1;
  }
  const auto hire = [&] {
    const auto worker_seed = unsigned(rng());
    return std::make_unique<Child>([&board, worker_seed] { return Worker(board, worker_seed); });
  };
  std::vector<std::unique_ptr<Child>> crew;
  for (int i = 0; i < workers; ++i) crew.push_back(hire());
  for (int k = 0; k < kills; ++k) {
    // Anywhere in a worker's life: in start-up, waiting, holding a lock,
    // inside the gate, inside a resource mutex.
    pf::SleepMs(uint32_t(rng() % 4));
    auto& victim = crew[rng() % crew.size()];
    victim->Kill();
    victim->Wait(kWedgedMs);
    victim = hire();
  }
  pf::SleepMs(200);
  board.stop = 1;
  int failures = 0;
  for (auto& worker : crew) {
    const int code = worker->Wait(3 * kWedgedMs);
    if (code != 0) {
      std::fprintf(stderr, "soak: a worker ended with %d\n", code);
      ++failures;
    }
  }

  // The parent joins last: the survivors' work is done, the record must hold
  // at most what the killed ones left, and give it up.
  IoSession* s = StartAndOpen();
  if (s == nullptr) {
    std::fprintf(stderr, "soak: the parent cannot start the library or open its session\n");
    return 1;
  }
  auto& r = *static_cast<lk::ResourceRecord*>(s->resource_record);
  failures += CheckInvariants(r, "after the run");
  const ViStatus got = zyvisaLock(s, VI_EXCLUSIVE_LOCK, kWedgedMs, nullptr, nullptr);
  if (got != VI_SUCCESS) {
    std::fprintf(stderr, "soak: the final exclusive lock gave 0x%08X\n", unsigned(got));
    ++failures;
  }
  zyvisaUnlock(s);
  failures += CheckInvariants(r, "after the final lock");
  // Free, with no operation of a killed worker counted, and the gate open.
  uint32_t opers = 0;
  for (uint32_t count : r.oper_count) opers += count;
  ViUInt16 entered = 0;
  const bool gate_open = visaEnterLockOper(s->handle, &entered) == VI_SUCCESS;
  visaExitLockOper(s->handle, entered);
  if (r.lock_state != 0 || r.lock_waiters != 0 || r.shared_lock_count != 0 || opers != 0 || !gate_open) {
    std::fprintf(stderr, "soak: the record is not free at the end (operations %u, gate %s)\n", opers,
                 gate_open ? "open" : "shut");
    ++failures;
  }
  zyvisaRsrcFreeSession(s);
  zyvisaFreeObject(ZYVISA_KIND_SESSION, s, ViUInt16(s->handle));
  zyvisa::lifecycle::Shutdown();
  keeper.Kill();
  keeper.Wait(kWedgedMs);

  std::printf("soak: kills %d", kills);
  for (size_t i = 0; i < std::size(kCountNames); ++i) {
    std::printf(", %s %llu", kCountNames[i], static_cast<unsigned long long>(board.counts[i].load()));
    if (i >= kWedged) failures += int(board.counts[i].load());
  }
  std::printf("\n");
  std::printf("soak: %s\n", failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
