// Kill -9 soak of resource locking: worker processes take exclusive and
// shared locks and pass the gate on one resource while the parent kills one
// of them with SIGKILL at random moments and starts a replacement. At the
// end no request may be wedged, exclusion may never have been broken, and
// the record's counts must agree with its state.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Counters every process shares (anonymous shared memory, not the region:
// they must survive whatever happens to the region's users).
struct Board {
  std::atomic<uint32_t> stop;
  // Process id of the worker inside its exclusive section, 0 when none.
  std::atomic<uint32_t> exclusive_holder;
  std::atomic<uint64_t> exclusive_grants, shared_grants, gate_entries, gate_refusals;
  std::atomic<uint64_t> lock_refusals, wedged, violations, setup_failures;
};

bool Dead(uint32_t pid) { return pf::ProcessState(pid) == pf::ProcState::kGone; }

// Takes the exclusive section's marker; a marker left by a killed worker is
// taken over, one of a live worker is a broken exclusion.
void EnterExclusive(Board& b, uint32_t me) {
  for (;;) {
    uint32_t holder = 0;
    if (b.exclusive_holder.compare_exchange_strong(holder, me)) return;
    if (!Dead(holder)) {
      b.violations++;
      std::fprintf(stderr, "soak: %u got the exclusive lock while %u holds it\n", me, holder);
      return;
    }
    if (b.exclusive_holder.compare_exchange_strong(holder, me)) return;
  }
}

// Inside the gate without the lock: no live worker other than us may be in
// its exclusive section.
void CheckGateAlone(Board& b, uint32_t me) {
  const uint32_t holder = b.exclusive_holder.load();
  if (holder != 0 && holder != me && !Dead(holder)) {
    b.violations++;
    std::fprintf(stderr, "soak: %u inside the gate under %u's exclusive lock\n", me, holder);
  }
}

void Spin(std::mt19937& rng) {
  const auto n = unsigned(rng() % 200);
  for (volatile unsigned i = 0; i < n; i = i + 1) {
  }
}

IoSession* OpenSession() {
  ViUInt32 handle = 0;
  auto* s = static_cast<IoSession*>(
      zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) return nullptr;
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->identity_a = 7;
  s->identity_c = 1;
  ViStatus status = zyvisaRsrcCreateResource(s);
  if (status == VI_SUCCESS) status = zyvisaRsrcCreateSession(s);
  if (status != VI_SUCCESS) {
    std::fprintf(stderr, "soak: %u cannot open its session (0x%08X)\n", pf::CurrentProcessId(),
                 unsigned(status));
    return nullptr;
  }
  return s;
}

bool GateOnce(Board& b, IoSession* s, uint32_t me, std::mt19937& rng) {
  ViUInt16 entered = 0;
  if (visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) {
    b.gate_refusals++;
    return false;
  }
  b.gate_entries++;
  CheckGateAlone(b, me);
  Spin(rng);
  visaExitLockOper(s->handle, entered);
  return true;
}

int Worker(Board& b, unsigned seed) {
  if (zyvisa::lifecycle::Startup() != 1) {
    std::fprintf(stderr, "soak: %u cannot start the library\n", pf::CurrentProcessId());
    b.setup_failures++;
    return 2;
  }
  IoSession* s = OpenSession();
  if (s == nullptr) {
    b.setup_failures++;
    return 3;
  }
  const uint32_t me = pf::CurrentProcessId();
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
      if (pf::TickCount() - start >= kWedgedMs) {
        b.wedged++;
        std::fprintf(stderr, "soak: %u waited %u ms for a lock (status 0x%08X)\n", me,
                     kWedgedMs, unsigned(status));
      } else {
        b.lock_refusals++;
      }
      continue;
    }
    if (type == VI_EXCLUSIVE_LOCK) {
      b.exclusive_grants++;
      EnterExclusive(b, me);
      GateOnce(b, s, me, rng);
      Spin(rng);
      uint32_t mine = me;
      b.exclusive_holder.compare_exchange_strong(mine, 0);
    } else {
      b.shared_grants++;
      GateOnce(b, s, me, rng);
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
  int kills = 1000, workers = 6;
  unsigned seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) return Usage();
    const std::string flag = argv[i];
    const long value = std::strtol(argv[++i], nullptr, 10);
    if (flag == "--kills") {
      kills = int(value);
    } else if (flag == "--workers") {
      workers = int(value);
    } else if (flag == "--seed") {
      seed = unsigned(value);
    } else {
      return Usage();
    }
  }
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
  std::vector<std::unique_ptr<Child>> crew;
  for (int i = 0; i < workers; ++i) {
    const unsigned s = unsigned(rng());
    crew.push_back(std::make_unique<Child>([&board, s] { return Worker(board, s); }));
  }
  for (int k = 0; k < kills; ++k) {
    // Anywhere in a worker's life: in start-up, waiting, holding a lock,
    // inside the gate, inside a resource mutex.
    pf::SleepMs(uint32_t(rng() % 4));
    auto& victim = crew[rng() % crew.size()];
    victim->Kill();
    victim->Wait(kWedgedMs);
    const unsigned s = unsigned(rng());
    victim = std::make_unique<Child>([&board, s] { return Worker(board, s); });
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
  if (zyvisa::lifecycle::Startup() != 1) {
    std::fprintf(stderr, "soak: the parent cannot start the library\n");
    return 1;
  }
  IoSession* s = OpenSession();
  if (s == nullptr) return 1;
  auto& r = *static_cast<lk::ResourceRecord*>(s->resource_record);
  failures += CheckInvariants(r, "after the run");
  const ViStatus got = zyvisaLock(s, VI_EXCLUSIVE_LOCK, kWedgedMs, nullptr, nullptr);
  if (got != VI_SUCCESS) {
    std::fprintf(stderr, "soak: the final exclusive lock gave 0x%08X\n", unsigned(got));
    ++failures;
  }
  zyvisaUnlock(s);
  failures += CheckInvariants(r, "after the final lock");
  if (r.lock_state != 0 || r.lock_waiters != 0 || r.shared_lock_count != 0) {
    std::fprintf(stderr, "soak: the record is not free at the end\n");
    ++failures;
  }
  for (uint32_t count : r.oper_count) {
    if (count != 0) {
      std::fprintf(stderr, "soak: an operation of a killed worker is still counted\n");
      ++failures;
      break;
    }
  }
  ViUInt16 entered = 0;
  if (visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) {
    std::fprintf(stderr, "soak: the gate stays shut at the end\n");
    ++failures;
  }
  visaExitLockOper(s->handle, entered);
  zyvisaRsrcFreeSession(s);
  zyvisaFreeObject(ZYVISA_KIND_SESSION, s, ViUInt16(s->handle));
  zyvisa::lifecycle::Shutdown();
  keeper.Kill();
  keeper.Wait(kWedgedMs);

  std::printf(
      "soak: kills %d, exclusive grants %llu, shared grants %llu, gate entries %llu, "
      "gate refusals %llu, lock refusals %llu, wedged %llu, violations %llu, setup failures %llu\n",
      kills, (unsigned long long)board.exclusive_grants.load(),
      (unsigned long long)board.shared_grants.load(), (unsigned long long)board.gate_entries.load(),
      (unsigned long long)board.gate_refusals.load(), (unsigned long long)board.lock_refusals.load(),
      (unsigned long long)board.wedged.load(), (unsigned long long)board.violations.load(),
      (unsigned long long)board.setup_failures.load());
  failures += int(board.wedged.load() + board.violations.load() + board.setup_failures.load());
  std::printf("soak: %s\n", failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
