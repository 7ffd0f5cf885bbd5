// Resources and locking: one record per resource across processes, the lock
// rules as a table, the gate, and what must survive a process killed at any
// moment (a dead owner, holder or waiter, a dead process inside the gate or
// the record's mutex, a full operation table).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lifecycle/startup.h"
#include "locking/resource_record.h"
#include "objects/object_layouts.h"
#include "platform/platform.h"
#include "support/inspect_tool.h"
#include "support/test_machine.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"

namespace {

namespace pf = zyvisa::platform;
namespace lc = zyvisa::lifecycle;
namespace lk = zyvisa::locking;
using lk::ResourceRecord;
using zyvisa::objects::IoSession;
using zyvisa::test::Child;
using zyvisa::test::ScenarioArgs;
using zyvisa::test::Signal;

constexpr int kChildMs = 15000;
constexpr int kOpenMany = 4000;
constexpr ViInt32 kUnlock = -1, kGate = -2;  // steps of the rules table beside lock types

struct Identity {
  uint16_t a = 1, b = 2;
  uint32_t c = 3, d = 4;
};

// Sessions this process opened, freed before shutdown.
std::vector<IoSession*> opened_sessions;

// A session as the core opens one: an object, its identity, its record and
// its count in the record.
IoSession* Open(Identity id = {}) {
  ViUInt32 handle = 0;
  auto* s = static_cast<IoSession*>(zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) return nullptr;
  opened_sessions.push_back(s);
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->identity_a = id.a;
  s->identity_b = id.b;
  s->identity_c = id.c;
  s->identity_d = id.d;
  const bool ok = zyvisaRsrcCreateResource(s) == VI_SUCCESS && zyvisaRsrcCreateSession(s) == VI_SUCCESS;
  return ok ? s : nullptr;
}

ResourceRecord& Rec(IoSession* s) { return *static_cast<ResourceRecord*>(s->resource_record); }

// Lock state, exclusive nesting, shared holders and waiters, to compare in one go.
std::string Counts(IoSession* s) {
  const ResourceRecord& r = Rec(s);
  return "state " + std::to_string(r.lock_state) + " nest " + std::to_string(r.exclusive_nest_count) +
         " shared " + std::to_string(r.shared_lock_count) + " waiters " + std::to_string(r.lock_waiters);
}
constexpr char kFree[] = "state 0 nest 0 shared 0 waiters 0";

// Spins until a lock request of another thread or process counts as waiting;
// the count is read under the record's mutex, as the waiter writes it.
void AwaitWaiter(IoSession* s) {
  for (uint32_t waiters = 0; waiters == 0; pf::SleepMs(1)) {
    ViUInt16 acquired = 0;
    visaSemAcquire(lk::MutexOf(&Rec(s)), VI_TMO_INFINITE, &acquired);
    waiters = Rec(s).lock_waiters;
    visaSemRelease(lk::MutexOf(&Rec(s)), &acquired);
  }
}

ViStatus Lock(IoSession* s, ViInt32 type, ViUInt32 timeout = 0, const char* key = nullptr) {
  char buffer[256] = {};
  return zyvisaLock(s, type, timeout, key, buffer);
}

// Enters the gate and leaves it at once; the entry's status.
ViStatus PassGate(IoSession* s) {
  ViUInt16 entered = 0;
  const ViStatus status = visaEnterLockOper(s->handle, &entered);
  visaExitLockOper(s->handle, entered);
  return status;
}

class LockingTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.WriteConfig("[VISA-CONFIG]\nMaxNumResources=4\n"); }
  void TearDown() override { Stop(); }
  void Stop() {
    if (!started_) return;
    for (IoSession* s : opened_sessions) zyvisaFreeObject(ZYVISA_KIND_SESSION, s, ViUInt16(s->handle));
    opened_sessions.clear();
    lc::Shutdown();
    started_ = false;
  }
  // Children start the library themselves, as loading would.
  void Start() { ASSERT_TRUE(started_ = lc::Startup() == 1); }
  // zyvisa-inspect on this machine: its exit status (3: a dead owner) and lines.
  void Inspect(int status, const std::string& args, const std::vector<std::string>& wants) {
    int code = -1;
    const std::string out = zyvisa::test::Inspect(zyvisa::test::Region(machine_) + " " + args, &code);
    EXPECT_EQ(code, status);
    for (const std::string& want : wants) EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
  }
  zyvisa::test::TestMachine machine_;
  bool started_ = false;
};

// ------------------------------------------------------------------ one process

TEST_F(LockingTest, LockRulesInOneProcess) {
  Start();
  IoSession* a = Open();
  IoSession* b = Open();
  ASSERT_TRUE(a && b);
  ASSERT_EQ(a->resource_record, b->resource_record);
  const std::string long_key(256, 'k');
  // Each row: who does what, the status it must get, the record's lock state after.
  const struct {
    IoSession* who;
    ViInt32 op;  // a lock type, kUnlock or kGate
    const char* key;
    ViStatus want;
    uint32_t state_after;
  } steps[] = {
      {a, kUnlock, nullptr, VI_ERROR_SESN_NLOCKED, 0},
      {a, 0, nullptr, VI_ERROR_INV_LOCK_TYPE, 0},
      {a, 3, nullptr, VI_ERROR_INV_LOCK_TYPE, 0},
      {a, VI_SHARED_LOCK, long_key.c_str(), VI_ERROR_INV_ACCESS_KEY, 0},
      {a, VI_EXCLUSIVE_LOCK, nullptr, VI_SUCCESS, 1},
      {a, VI_EXCLUSIVE_LOCK, nullptr, VI_SUCCESS_NESTED_EXCLUSIVE, 1},
      {b, VI_EXCLUSIVE_LOCK, nullptr, VI_ERROR_RSRC_LOCKED, 1},  // time-out 0: no sleep
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 1},
      {a, kGate, nullptr, VI_SUCCESS, 1},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_EXCLUSIVE, 1},
      {a, kUnlock, nullptr, VI_SUCCESS, 0},
      {a, kUnlock, nullptr, VI_ERROR_SESN_NLOCKED, 0},
      {a, VI_SHARED_LOCK, "k1", VI_SUCCESS, 2},
      {b, VI_SHARED_LOCK, nullptr, VI_ERROR_INV_ACCESS_KEY, 2},  // no key to join with
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 2},
      {b, VI_SHARED_LOCK, "other", VI_ERROR_RSRC_LOCKED, 2},  // waits for a change
      {b, VI_SHARED_LOCK, "k1", VI_SUCCESS, 2},
      {b, kGate, nullptr, VI_SUCCESS, 2},
      {a, VI_SHARED_LOCK, "other", VI_ERROR_INV_ACCESS_KEY, 2},  // nested with a wrong key
      {a, VI_SHARED_LOCK, "", VI_SUCCESS_NESTED_SHARED, 2},
      {a, VI_EXCLUSIVE_LOCK, nullptr, VI_SUCCESS, 1},  // upgrade beside b's share
      {a, VI_SHARED_LOCK, "k1", VI_ERROR_RSRC_LOCKED, 1},  // the exclusive owner
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 1},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_SHARED, 2},
      {b, kUnlock, nullptr, VI_SUCCESS, 2},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_SHARED, 2},
      {a, kUnlock, nullptr, VI_SUCCESS, 0},
  };
  for (size_t row = 0; row < std::size(steps); ++row) {
    const auto& step = steps[row];
    const ViStatus got = step.op == kUnlock ? zyvisaUnlock(step.who)
                         : step.op == kGate ? PassGate(step.who)
                                            : Lock(step.who, step.op, 0, step.key);
    EXPECT_EQ(got, step.want) << "row " << row;
    EXPECT_EQ(zyvisaRsrcGetLockState(a->resource_record), step.state_after) << "row " << row;
  }
  EXPECT_EQ(Counts(a), kFree);
  // A generated key: a number, an underscore, a date, a newline; others join with it.
  char key[256] = {};
  ASSERT_EQ(zyvisaLock(a, VI_SHARED_LOCK, 0, nullptr, key), VI_SUCCESS);
  EXPECT_TRUE(std::strlen(key) <= 31 && key[std::strlen(key) - 1] == '\n' && std::strchr(key, '_')) << key;
  EXPECT_EQ(Lock(b, VI_SHARED_LOCK, 0, key), VI_SUCCESS);
  EXPECT_EQ(Rec(a).shared_lock_count, 2u);
  // Closing a's session while b also holds exclusive leaves the lock in force.
  ASSERT_EQ(Lock(b, VI_EXCLUSIVE_LOCK), VI_SUCCESS);
  EXPECT_EQ(zyvisaUnlockAllSessionLocks(a), VI_SUCCESS);
  EXPECT_EQ(Rec(a).lock_state, 1u);
  EXPECT_EQ(zyvisaUnlockAllSessionLocks(b), VI_SUCCESS);
  EXPECT_EQ(Counts(a), kFree);
  // Two sessions of the process inside the gate at once: one entry, counted twice.
  ViUInt16 in_a = 0, in_b = 0;
  ASSERT_EQ(visaEnterLockOper(a->handle, &in_a), VI_SUCCESS);
  ASSERT_EQ(visaEnterLockOper(b->handle, &in_b), VI_SUCCESS);
  EXPECT_EQ(Rec(a).oper_count[0], 2u);
  visaExitLockOper(a->handle, in_a);
  visaExitLockOper(b->handle, in_b);
  EXPECT_EQ(Rec(a).oper_count[0], 0u);
}

TEST_F(LockingTest, RecordTable) {
  Start();
  IoSession* a = Open();
  IoSession* b = Open();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->resource_record, b->resource_record);
  EXPECT_EQ(zyvisaRsrcGetSessionCount(a->resource_record), 2u);
  // A second session of the process uses the mutex the first one opened.
  EXPECT_EQ(lk::MutexOf(&Rec(a)), lk::MutexOf(&Rec(b)));
  // Identities that differ in one value each get a record of their own, until
  // the table (4 records) is full.
  const Identity others[] = {{9, 2, 3, 4}, {1, 9, 3, 4}, {1, 2, 9, 4}, {1, 2, 3, 9}};
  IoSession* got[4] = {};
  std::transform(std::begin(others), std::end(others), got, [](Identity id) { return Open(id); });
  ASSERT_TRUE(got[0] && got[1] && got[2]);
  EXPECT_EQ(got[3], nullptr) << "a fifth record in a table of four";
  EXPECT_EQ(Rec(got[2]).record_index, 3);
  // Freed, the slot goes to the next new identity with its index written again.
  zyvisaRsrcFreeResource(got[1]);
  IoSession* again = Open({7, 7, 7, 7});
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Rec(again).record_index, 2);
  EXPECT_EQ(Rec(again).session_count, 1);
  const struct {
    ViUInt32 got, want;
  } queries[] = {
      {zyvisaRsrcFreeSession(a), 1},
      {zyvisaRsrcFreeSession(b), 0},
      {zyvisaRsrcFreeSession(b), 0},  // already at 0: stays there
      {zyvisaRsrcGetSessionCount(a->resource_record), 0},
      {zyvisaRsrcGetSessionCount(nullptr), 0xFFFFFFFFu},
      {zyvisaRsrcGetLockState(nullptr), 0xFFFFFFFFu},
      {zyvisaRsrcFreeSession(nullptr), 0},
  };
  for (size_t i = 0; i < std::size(queries); ++i) EXPECT_EQ(queries[i].got, queries[i].want) << i;
}

// ------------------------------------------------------------------ other processes

// A process of the library that does what args say: args[0] is a signal to
// notify at "notify", args[1] one to wait for at "leave"; then steps on
// sessions named by their identity's first value ("5:excl" opens identity
// 5/2/3/4 if needed and locks it): open, many (opens kOpenMany in all), excl,
// shared (key "k"), gate (enters the gate), die (see below); "exit" leaves the gates entered, "down" shuts
// the library down, "up" starts it again, "sleep" sleeps until killed.
ZYVISA_SCENARIO(Act) {
  // Steps that begin with "down" start the library themselves.
  if (args.at(2) != "down" && lc::Startup() != 1) return 10;
  IoSession* sessions[10] = {};
  std::vector<std::pair<IoSession*, ViUInt16>> entered;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string& step = args[i];
    const int failed = 10 + int(i);
    if (step == "notify") {
      Signal(args[0]).Notify();
    } else if (step == "leave") {
      if (!Signal(args[1]).Wait(kChildMs)) return failed;
    } else if (step == "sleep") {
      for (;;) pf::SleepMs(1000);
    } else if (step == "down" || step == "up") {
      if (step == "down") lc::Shutdown();
      if (step == "up" && lc::Startup() != 1) return failed;
    } else if (step == "exit") {
      for (auto& [s, depth] : entered) visaExitLockOper(s->handle, depth);
      entered.clear();
    } else {
      IoSession*& s = sessions[step[0] - '0'];
      if (s == nullptr && (s = Open({uint16_t(step[0] - '0'), 2, 3, 4})) == nullptr) return failed;
      const std::string op = step.substr(2);
      ViUInt16 depth = 0;
      ViStatus status = VI_SUCCESS;
      if (op == "excl") status = Lock(s, VI_EXCLUSIVE_LOCK);
      if (op == "shared") status = Lock(s, VI_SHARED_LOCK, 0, "k");
      if (op == "gate") status = visaEnterLockOper(s->handle, &depth);
      for (int n = op == "many" ? 1 : kOpenMany; n < kOpenMany && status == VI_SUCCESS; ++n) {
        status = Open() != nullptr ? VI_SUCCESS : VI_ERROR_ALLOC;
      }
      // Takes the record's mutex and is left half-way through changes: an
      // exclusive grant cut short after its nesting, a shared join counted in
      // the holders table only, a waiter counted.
      if (op == "die" && (status = visaSemAcquire(lk::MutexOf(&Rec(s)), VI_TMO_INFINITE, &depth)) == VI_SUCCESS) {
        Rec(s).exclusive_owner_pid = pf::CurrentProcessId();
        Rec(s).exclusive_nest_count = Rec(s).lock_waiters = 1;
        lk::HoldersOf(&Rec(s))->slots[0] = {pf::CurrentProcessId(), lk::OwnStartTag(), 1, 1};
      }
      if (status != VI_SUCCESS) return failed;
      if (op == "gate") entered.emplace_back(s, depth);
    }
  }
  return 0;
}

// Starts Act with the given notify and leave signals.
std::unique_ptr<Child> Act(const Signal& notify, const Signal& leave, ScenarioArgs steps) {
  steps.insert(steps.begin(), {notify.id(), leave.id()});
  return std::make_unique<Child>("Act", steps);
}

// Processes racing to open one resource all land in one record, and every
// count is kept: many opens each, so that an unserialized table shows.
TEST_F(LockingTest, ProcessesRacingToOpenShareOneRecord) {
  constexpr int kChildren = 4;
  Signal go;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kChildren; ++i) children.push_back(Act(go, go, {"leave", "1:many"}));
  Start();
  for (int i = 0; i < kChildren; ++i) go.Notify();
  for (auto& child : children) EXPECT_EQ(child->Wait(kChildMs), 0);
  ASSERT_NE(lk::RecordAt(0), nullptr);
  EXPECT_EQ(lk::RecordAt(0)->session_count, kChildren * kOpenMany);
  EXPECT_EQ(lk::RecordAt(1)->in_use, 0) << "a second record for one resource";
}

// A lock request waits for a gated operation of another process and gets
// the lock once it leaves the gate (KilledOwnersHoldIsGivenUp kills one
// inside the gate).
TEST_F(LockingTest, OperationOfAnotherProcessHoldsLockBack) {
  Signal inside, leave;
  auto child = Act(inside, leave, {"1:gate", "notify", "leave", "exit", "sleep"});
  Start();
  IoSession* s = Open();
  ASSERT_TRUE(inside.Wait(kChildMs));
  EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK), VI_ERROR_TMO) << "unlocked, but an operation runs";
  std::atomic<ViStatus> got{1};
  std::thread waiter([&] { got = Lock(s, VI_EXCLUSIVE_LOCK, 10000); });
  AwaitWaiter(s);
  EXPECT_EQ(PassGate(Open()), VI_ERROR_RSRC_LOCKED) << "a lock request is waiting";
  leave.Notify();
  waiter.join();
  EXPECT_EQ(got.load(), VI_SUCCESS);
  EXPECT_EQ(Rec(s).lock_waiters, 0u);
}

// The exclusive owner's or a shared holder's process is killed: a waiter
// gets the lock, gate entries see the dead lock gone, and zyvisa-inspect
// shows the owner alive, then dead (its exit status tells scripts).
TEST_F(LockingTest, KilledOwnersHoldIsGivenUp) {
  struct Case {
    const char* held;
    bool waiter;  // a survivor waits while the kill happens
  };
  for (const Case c : {Case{"5:excl", true}, Case{"5:excl", false}, Case{"5:shared", true}}) {
    SCOPED_TRACE(std::string(c.held) + (c.waiter ? ", survivor waiting" : ", found by the gate"));
    Signal locked;
    auto child = Act(locked, locked, {c.held, "5:gate", "notify", "sleep"});
    Start();
    IoSession* s = Open({5, 2, 3, 4});
    ASSERT_TRUE(locked.Wait(kChildMs));
    EXPECT_EQ(PassGate(s), VI_ERROR_RSRC_LOCKED);
    const std::string pid = std::to_string(child->pid());
    if (!c.waiter) {
      Inspect(0, "--section resources",
              {"identity 5/2/3/4, sessions 2, exclusive", "pid " + pid + " alive (nesting 1)",
               "operation entry 0: pid " + pid + " alive, 1 in progress"});
    }
    std::atomic<ViStatus> got{1};
    std::thread waiter;
    if (c.waiter) {
      waiter = std::thread([&] { got = Lock(s, VI_EXCLUSIVE_LOCK, 10000); });
      AwaitWaiter(s);
    }
    child->Kill();
    child->Wait(kChildMs);
    if (c.waiter) {
      waiter.join();
      EXPECT_EQ(got.load(), VI_SUCCESS);
      EXPECT_EQ(zyvisaUnlock(s), VI_SUCCESS);
    } else {
      Inspect(3, "--section resources", {"pid " + pid + " gone (nesting 1)  <-- DEAD OWNER", "<-- DEAD PROCESS"});
      Inspect(3, "--json", {"\"pid\":" + pid + ",\"alive\":false,\"nesting\":1", "\"count\":1,\"alive\":false"});
      EXPECT_EQ(PassGate(s), VI_SUCCESS);
    }
    EXPECT_EQ(Counts(s), kFree);
    Stop();
  }
}

// Sixteen running processes inside the gate fill the operation table: the
// next process is refused with nothing changed, and gets in once one of
// them is gone.
TEST_F(LockingTest, FullOperationTableRefusesAndRecovers) {
  constexpr int kInside = 16;
  Signal inside;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kInside; ++i) children.push_back(Act(inside, inside, {"1:gate", "notify", "sleep"}));
  for (int i = 0; i < kInside; ++i) ASSERT_TRUE(inside.Wait(kChildMs));
  Start();
  IoSession* s = Open();
  ResourceRecord before;
  std::memcpy(&before, &Rec(s), sizeof before);
  EXPECT_EQ(PassGate(s), VI_ERROR_RSRC_BUSY);
  EXPECT_EQ(s->use_count.load(), 0u);
  EXPECT_EQ(std::memcmp(&before, &Rec(s), sizeof before), 0);
  const auto victim = size_t(std::find(std::begin(before.oper_pid), std::end(before.oper_pid),
                                       uint32_t(children[5]->pid())) - std::begin(before.oper_pid));
  ASSERT_LT(victim, size_t{kInside});
  children[5]->Kill();
  children[5]->Wait(kChildMs);
  ViUInt16 entered = 0;
  ASSERT_EQ(visaEnterLockOper(s->handle, &entered), VI_SUCCESS);
  EXPECT_EQ(Rec(s).oper_pid[victim], pf::CurrentProcessId());
  visaExitLockOper(s->handle, entered);
  EXPECT_EQ(Rec(s).oper_count[victim], 0u);
}

// An owner's process id now names another, live process: the start tag
// tells them apart where the record has one.
TEST_F(LockingTest, ReusedOwnerPidIsSeenThrough) {
  Signal none;
  auto bystander = Act(none, none, {"sleep"});
  Start();
  IoSession* s = Open();
  const uint32_t real_tag = lk::StartTag(uint32_t(bystander->pid()));
  ASSERT_NE(real_tag, 0u);
  // The owner is that process, written without a tag, an earlier process of that id.
  for (const auto& [tag, want] : {std::pair{real_tag, VI_ERROR_RSRC_LOCKED}, {0u, VI_ERROR_RSRC_LOCKED},
                                  {real_tag + 1, VI_SUCCESS}}) {
    ResourceRecord& r = Rec(s);
    r.lock_state = r.exclusive_nest_count = 1;
    r.exclusive_owner_session = 0x55;
    r.exclusive_owner_pid = uint32_t(bystander->pid());
    r.owner_start_tag = tag;
    EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK), want) << tag;
    zyvisaUnlockAllSessionLocks(s);
    r.lock_state = r.exclusive_nest_count = r.exclusive_owner_pid = 0;
  }
}

// What a process killed inside the record's mutex left (see Act's "die") is
// repaired by the next holder before it is used,
// also when the dead process alone had the record's mutex open (on Windows
// the kernel object is then gone, and whoever makes it again is told).
TEST_F(LockingTest, RecordIsRepairedAfterHolderDiesInsideMutex) {
  Start();
  Signal holding;
  // A forked child starts its own library, as a new process does.
  auto child = Act(holding, holding, {"down", "up", "1:die", "notify", "sleep"});
  ASSERT_TRUE(holding.Wait(kChildMs));
  child->Kill();
  child->Wait(kChildMs);
  IoSession* s = Open();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK), VI_SUCCESS);
  EXPECT_EQ(Rec(s).exclusive_owner_pid, pf::CurrentProcessId());
  EXPECT_EQ(Counts(s), "state 1 nest 1 shared 0 waiters 0");
  EXPECT_EQ(zyvisaUnlock(s), VI_SUCCESS);
  EXPECT_EQ(PassGate(s), VI_SUCCESS);
}

// A process that shuts the library down gives up what it holds in the
// records, without waiting for others to find it gone.
TEST_F(LockingTest, ShutdownGivesUpWhatTheProcessHolds) {
  Signal down;
  auto child = Act(down, down, {"1:excl", "2:shared", "2:gate", "down", "notify", "sleep"});
  ASSERT_TRUE(down.Wait(kChildMs));
  Start();
  for (const Identity id : {Identity{1, 2, 3, 4}, Identity{2, 2, 3, 4}}) {
    IoSession* s = Open(id);
    EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK), VI_SUCCESS) << id.a;
    EXPECT_EQ(Rec(s).shared_lock_count, 0u);
  }
}

// Exits take their count off without the resource mutex while entries of
// the same process add to the same table entry under it: no count may be
// lost or doubled, and a lock request must never be granted while an
// operation of another session is inside.
TEST_F(LockingTest, ConcurrentExitsAndEntriesKeepTheCount) {
  Start();
  constexpr int kThreads = 3, kRounds = 3000;
  IoSession* shared = Open();  // one session that two threads use at once
  const std::vector<IoSession*> sessions = {shared, shared, Open()};
  IoSession* locker = Open();
  std::atomic<int> inside{0}, broken{0}, running{kThreads};
  std::vector<std::thread> threads;
  for (IoSession* s : sessions) {
    threads.emplace_back([&, s] {
      for (int i = 0; i < kRounds; ++i) {
        ViUInt16 outer = 0, nested = 0;
        if (visaEnterLockOper(s->handle, &outer) != VI_SUCCESS) continue;  // locked meanwhile
        inside++;
        if (i % 3 == 0 && visaEnterLockOper(s->handle, &nested) != VI_SUCCESS) broken++;
        visaExitLockOper(s->handle, nested);
        inside--;
        visaExitLockOper(s->handle, outer);
      }
      running--;
    });
  }
  while (running.load() > 0) {
    if (Lock(locker, VI_EXCLUSIVE_LOCK) != VI_SUCCESS) continue;
    if (inside.load() != 0) broken++;
    zyvisaUnlock(locker);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(Counts(locker), kFree);
  for (uint32_t count : Rec(shared).oper_count) EXPECT_EQ(count, 0u) << "a count was left behind";
  for (IoSession* s : {shared, sessions[2], locker}) {
    EXPECT_EQ(s->lock_oper_depth + s->use_count.load(), 0u);
  }
}

}  // namespace
