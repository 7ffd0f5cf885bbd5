// Resources and locking: one record per resource across processes, the lock
// rules as tables, the gate, and what must survive a process killed at any
// moment (a dead exclusive owner, a dead process inside the gate, a full
// operation table, a dead shared holder or waiter).
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
#include "support/test_machine.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"

namespace {

namespace pf = zyvisa::platform;
namespace lc = zyvisa::lifecycle;
using zyvisa::locking::ResourceRecord;
using zyvisa::objects::IoSession;
using zyvisa::test::Child;
using zyvisa::test::Signal;

constexpr int kChildMs = 15000;
constexpr char kNoKey[] = "";

struct Identity {
  uint16_t a = 1, b = 2;
  uint32_t c = 3, d = 4;
};

// Sessions this process opened, freed before shutdown.
std::vector<IoSession*>& Opened() {
  static std::vector<IoSession*> opened;
  return opened;
}

// A session as the core opens one: an object, its identity, its record and
// its count in the record.
IoSession* Open(Identity id = {}) {
  ViUInt32 handle = 0;
  auto* s = static_cast<IoSession*>(zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) return nullptr;
  Opened().push_back(s);
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->identity_a = id.a;
  s->identity_b = id.b;
  s->identity_c = id.c;
  s->identity_d = id.d;
  if (zyvisaRsrcCreateResource(s) != VI_SUCCESS || zyvisaRsrcCreateSession(s) != VI_SUCCESS) {
    return nullptr;
  }
  return s;
}

ResourceRecord& Rec(IoSession* s) { return *static_cast<ResourceRecord*>(s->resource_record); }

// The record's waiter count, read under its mutex while another thread of
// the test waits in a lock request.
uint32_t Waiters(IoSession* s) {
  ViSemaphore mutex = zyvisa::locking::MutexOf(&Rec(s));
  ViUInt16 acquired = 0;
  visaSemAcquire(mutex, VI_TMO_INFINITE, &acquired);
  const uint32_t waiters = Rec(s).lock_waiters;
  visaSemRelease(mutex, &acquired);
  return waiters;
}

// Spins until a lock request of another thread or process counts as waiting.
void AwaitWaiter(IoSession* s) {
  while (Waiters(s) == 0) pf::SleepMs(1);
}

ViStatus Lock(IoSession* s, ViInt32 type, ViUInt32 timeout = 0, const char* key = nullptr,
              std::string* out = nullptr) {
  char buffer[256] = {};
  const ViStatus status = zyvisaLock(s, type, timeout, key, buffer);
  if (out != nullptr) *out = buffer;
  return status;
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
    for (IoSession* s : Opened()) zyvisaFreeObject(ZYVISA_KIND_SESSION, s, ViUInt16(s->handle));
    Opened().clear();
    lc::Shutdown();
    started_ = false;
  }
  // Children fork before this and start the library themselves, as loading would.
  void Start() { ASSERT_TRUE(started_ = lc::Startup() == 1); }
  zyvisa::test::TestMachine machine_;
  bool started_ = false;
};

// ------------------------------------------------------------------ one process

TEST_F(LockingTest, LockRulesInOneProcess) {
  Start();
  IoSession* a = Open();
  IoSession* b = Open();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(a->resource_record, b->resource_record);
  // Each row: who does what, the status it must get, the record's lock state after.
  enum Op { kExcl, kShared, kUnlock, kGate };
  struct Step {
    IoSession* who;
    Op op;
    const char* key;
    ViStatus want;
    uint32_t state_after;
  };
  std::string generated;
  const Step steps[] = {
      {a, kUnlock, nullptr, VI_ERROR_SESN_NLOCKED, 0},
      {a, kExcl, nullptr, VI_SUCCESS, 1},
      {a, kExcl, nullptr, VI_SUCCESS_NESTED_EXCLUSIVE, 1},
      {b, kExcl, nullptr, VI_ERROR_RSRC_LOCKED, 1},  // time-out 0: no sleep
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 1},
      {a, kGate, nullptr, VI_SUCCESS, 1},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_EXCLUSIVE, 1},
      {a, kUnlock, nullptr, VI_SUCCESS, 0},
      {a, kUnlock, nullptr, VI_ERROR_SESN_NLOCKED, 0},
      {a, kShared, "k1", VI_SUCCESS, 2},
      {b, kShared, nullptr, VI_ERROR_INV_ACCESS_KEY, 2},  // no key to join with
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 2},
      {b, kShared, "other", VI_ERROR_RSRC_LOCKED, 2},  // waits for a change
      {b, kShared, "k1", VI_SUCCESS, 2},
      {b, kGate, nullptr, VI_SUCCESS, 2},
      {a, kShared, "other", VI_ERROR_INV_ACCESS_KEY, 2},  // nested with a wrong key
      {a, kShared, kNoKey, VI_SUCCESS_NESTED_SHARED, 2},
      {a, kExcl, nullptr, VI_SUCCESS, 1},  // upgrade beside b's share
      {a, kShared, "k1", VI_ERROR_RSRC_LOCKED, 1},  // the exclusive owner
      {b, kGate, nullptr, VI_ERROR_RSRC_LOCKED, 1},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_SHARED, 2},
      {b, kUnlock, nullptr, VI_SUCCESS, 2},
      {a, kUnlock, nullptr, VI_SUCCESS_NESTED_SHARED, 2},
      {a, kUnlock, nullptr, VI_SUCCESS, 0},
  };
  int row = 0;
  for (const Step& step : steps) {
    ViStatus got = 0;
    switch (step.op) {
      case kExcl: got = Lock(step.who, VI_EXCLUSIVE_LOCK); break;
      case kShared: got = Lock(step.who, VI_SHARED_LOCK, 0, step.key); break;
      case kUnlock: got = zyvisaUnlock(step.who); break;
      case kGate: got = PassGate(step.who); break;
    }
    EXPECT_EQ(got, step.want) << "row " << row;
    EXPECT_EQ(zyvisaRsrcGetLockState(a->resource_record), step.state_after) << "row " << row;
    ++row;
  }
  const ResourceRecord& r = Rec(a);
  EXPECT_EQ(r.shared_lock_count, 0u);
  EXPECT_EQ(r.lock_waiters, 0u);
  EXPECT_EQ(r.oper_count[0], 0u);
  // Refusals that leave the unlocked record as it was.
  EXPECT_EQ(Lock(a, 0), VI_ERROR_INV_LOCK_TYPE);
  EXPECT_EQ(Lock(a, 3), VI_ERROR_INV_LOCK_TYPE);
  EXPECT_EQ(Lock(a, VI_SHARED_LOCK, 0, std::string(256, 'k').c_str()), VI_ERROR_INV_ACCESS_KEY);
  EXPECT_EQ(r.lock_state, 0u);
  // A generated key: a number, an underscore, a date, a newline; others join with it.
  std::string key;
  ASSERT_EQ(Lock(a, VI_SHARED_LOCK, 0, nullptr, &key), VI_SUCCESS);
  EXPECT_EQ(key.back(), '\n');
  EXPECT_LE(key.size(), 31u);
  EXPECT_NE(key.find('_'), std::string::npos);
  EXPECT_EQ(Lock(b, VI_SHARED_LOCK, 0, key.c_str()), VI_SUCCESS);
  EXPECT_EQ(r.shared_lock_count, 2u);
  // Closing a's session while b also holds exclusive leaves the lock in force.
  ASSERT_EQ(Lock(b, VI_EXCLUSIVE_LOCK), VI_SUCCESS);
  EXPECT_EQ(zyvisaUnlockAllSessionLocks(a), VI_SUCCESS);
  EXPECT_EQ(r.lock_state, 1u);
  EXPECT_EQ(zyvisaUnlockAllSessionLocks(b), VI_SUCCESS);
  EXPECT_EQ(r.lock_state, 0u);
  EXPECT_EQ(r.shared_lock_count, 0u);
  // Two sessions of the process inside the gate at once: one entry, counted twice.
  ViUInt16 in_a = 0;
  ViUInt16 in_b = 0;
  ASSERT_EQ(visaEnterLockOper(a->handle, &in_a), VI_SUCCESS);
  ASSERT_EQ(visaEnterLockOper(b->handle, &in_b), VI_SUCCESS);
  EXPECT_EQ(r.oper_count[0], 2u);
  visaExitLockOper(a->handle, in_a);
  visaExitLockOper(b->handle, in_b);
  EXPECT_EQ(r.oper_count[0], 0u);
}

TEST_F(LockingTest, RecordTable) {
  Start();
  IoSession* a = Open({1, 2, 3, 4});
  IoSession* b = Open({1, 2, 3, 4});
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->resource_record, b->resource_record);
  EXPECT_EQ(zyvisaRsrcGetSessionCount(a->resource_record), 2u);
  // A second session of the process uses the mutex the first one opened.
  EXPECT_EQ(zyvisa::locking::MutexOf(&Rec(a)), zyvisa::locking::MutexOf(&Rec(b)));
  // Identities that differ in one value each get a record of their own, until
  // the table (4 records) is full.
  const Identity others[] = {{9, 2, 3, 4}, {1, 9, 3, 4}, {1, 2, 9, 4}, {1, 2, 3, 9}};
  std::vector<IoSession*> opened;
  for (const Identity& id : others) opened.push_back(Open(id));
  EXPECT_NE(opened[0], nullptr);
  EXPECT_NE(opened[1], nullptr);
  EXPECT_NE(opened[2], nullptr);
  EXPECT_EQ(opened[3], nullptr) << "a fifth record in a table of four";
  EXPECT_EQ(Rec(opened[2]).record_index, 3);
  // Freed, the slot goes to the next new identity with its index written again.
  zyvisaRsrcFreeResource(opened[1]);
  IoSession* again = Open({7, 7, 7, 7});
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Rec(again).record_index, 2);
  EXPECT_EQ(Rec(again).session_count, 1);
  struct Query {
    ViUInt32 got, want;
  };
  const Query queries[] = {
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

// Children racing to open one resource all land in one record, and every
// count is kept.
TEST_F(LockingTest, ProcessesRacingToOpenShareOneRecord) {
  ZYVISA_REQUIRE_FORK();
  constexpr int kChildren = 6;
  Signal go;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kChildren; ++i) {
    children.push_back(std::make_unique<Child>([&] {
      if (lc::Startup() != 1) return 10;
      go.Wait(kChildMs);
      IoSession* s = Open();
      if (s == nullptr) return 11;
      return Rec(s).record_index;
    }));
  }
  Start();
  for (int i = 0; i < kChildren; ++i) go.Notify();
  for (auto& child : children) EXPECT_EQ(child->Wait(kChildMs), 0);
  const ResourceRecord* r = zyvisa::locking::RecordAt(0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->in_use, 1);
  EXPECT_EQ(r->session_count, kChildren);
  EXPECT_EQ(zyvisa::locking::RecordAt(1)->in_use, 0);
}

// A lock request waits for a gated operation of another process and gets
// the lock once it leaves the gate or its process is killed.
TEST_F(LockingTest, OperationOfAnotherProcessHoldsLockBack) {
  ZYVISA_REQUIRE_FORK();
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed inside the gate" : "leaves the gate");
    Signal inside, leave;
    Child child([&] {
      if (lc::Startup() != 1) return 10;
      IoSession* s = Open();
      ViUInt16 entered = 0;
      if (s == nullptr || visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) return 11;
      inside.Notify();
      leave.Wait(kChildMs);
      visaExitLockOper(s->handle, entered);
      leave.Wait(kChildMs);
      return 0;
    });
    Start();
    IoSession* s = Open();
    ASSERT_TRUE(inside.Wait(kChildMs));
    EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK, 0), VI_ERROR_TMO) << "unlocked, but an operation runs";
    std::atomic<ViStatus> got{1};
    std::thread waiter([&] { got = Lock(s, VI_EXCLUSIVE_LOCK, 10000); });
    AwaitWaiter(s);
    EXPECT_EQ(PassGate(Open()), VI_ERROR_RSRC_LOCKED) << "a lock request is waiting";
    if (kill) {
      child.Kill();
    } else {
      leave.Notify();
    }
    waiter.join();
    EXPECT_EQ(got.load(), VI_SUCCESS);
    EXPECT_EQ(Rec(s).lock_waiters, 0u);
    leave.Notify();
    child.Wait(kChildMs);
    Stop();
  }
}

// The exclusive owner's process is killed while another process waits: the
// waiter gets the lock, and gate entries see the dead lock gone.
TEST_F(LockingTest, KilledOwnersHoldIsGivenUp) {
  ZYVISA_REQUIRE_FORK();
  // What the killed child held; each row also checks what the survivor gets.
  struct Case {
    const char* what;
    ViInt32 held;
    bool waiter;  // a survivor waits while the kill happens
  };
  const Case cases[] = {
      {"exclusive owner, survivor waiting", VI_EXCLUSIVE_LOCK, true},
      {"exclusive owner, found by the gate", VI_EXCLUSIVE_LOCK, false},
      {"shared holder, survivor waiting for exclusive", VI_SHARED_LOCK, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Signal locked;
    Child child([&] {
      if (lc::Startup() != 1) return 10;
      IoSession* s = Open();
      if (s == nullptr || Lock(s, c.held, 0, "key") != VI_SUCCESS) return 11;
      locked.Notify();
      pf::SleepMs(kChildMs);
      return 0;
    });
    Start();
    IoSession* s = Open();
    ASSERT_TRUE(locked.Wait(kChildMs));
    EXPECT_EQ(PassGate(s), VI_ERROR_RSRC_LOCKED);
    if (c.waiter) {
      std::atomic<ViStatus> got{1};
      std::thread waiter([&] { got = Lock(s, VI_EXCLUSIVE_LOCK, 10000); });
      AwaitWaiter(s);
      child.Kill();
      waiter.join();
      EXPECT_EQ(got.load(), VI_SUCCESS);
      EXPECT_EQ(zyvisaUnlock(s), VI_SUCCESS);
    } else {
      child.Kill();
      child.Wait(kChildMs);
      EXPECT_EQ(PassGate(s), VI_SUCCESS);
    }
    child.Wait(kChildMs);
    const ResourceRecord& r = Rec(s);
    EXPECT_EQ(r.lock_state, 0u);
    EXPECT_EQ(r.shared_lock_count, 0u);
    EXPECT_EQ(r.exclusive_nest_count, 0u);
    EXPECT_EQ(r.lock_waiters, 0u);
    Stop();
  }
}

// A process killed while it waits for a lock leaves no waiter counted: the
// gate, which holds operations back for waiters, lets them in again.
TEST_F(LockingTest, KilledWaiterDoesNotHoldGateShut) {
  ZYVISA_REQUIRE_FORK();
  Signal waiting;
  Start();
  IoSession* owner = Open();
  ASSERT_EQ(Lock(owner, VI_EXCLUSIVE_LOCK), VI_SUCCESS);
  Child child([&] {
    // The parent's library state is inherited; this child starts its own.
    lc::Shutdown();
    if (lc::Startup() != 1) return 10;
    IoSession* s = Open();
    waiting.Notify();
    return Lock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE) == VI_SUCCESS ? 0 : 12;
  });
  ASSERT_TRUE(waiting.Wait(kChildMs));
  AwaitWaiter(owner);
  child.Kill();
  child.Wait(kChildMs);
  ASSERT_EQ(zyvisaUnlock(owner), VI_SUCCESS);
  EXPECT_EQ(PassGate(owner), VI_SUCCESS);
  EXPECT_EQ(Rec(owner).lock_waiters, 0u);
}

// Sixteen running processes inside the gate fill the operation table: the
// next process is refused with nothing changed, and gets in once one of
// them is gone.
TEST_F(LockingTest, FullOperationTableRefusesAndRecovers) {
  ZYVISA_REQUIRE_FORK();
  constexpr int kInside = 16;
  Signal inside;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < kInside; ++i) {
    children.push_back(std::make_unique<Child>([&] {
      if (lc::Startup() != 1) return 10;
      IoSession* s = Open();
      ViUInt16 entered = 0;
      if (s == nullptr || visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) return 11;
      inside.Notify();
      pf::SleepMs(kChildMs);
      return 0;
    }));
  }
  for (int i = 0; i < kInside; ++i) ASSERT_TRUE(inside.Wait(kChildMs));
  Start();
  IoSession* s = Open();
  ResourceRecord before;
  std::memcpy(&before, &Rec(s), sizeof before);
  EXPECT_EQ(PassGate(s), VI_ERROR_RSRC_BUSY);
  EXPECT_EQ(s->lock_oper_depth, 0u);
  EXPECT_EQ(s->use_count.load(), 0u);
  EXPECT_EQ(std::memcmp(&before, &Rec(s), sizeof before), 0);
  const auto victim = size_t(std::find(std::begin(before.oper_pid), std::end(before.oper_pid),
                                       uint32_t(children[5]->pid())) -
                             std::begin(before.oper_pid));
  ASSERT_LT(victim, size_t{kInside});
  children[5]->Kill();
  children[5]->Wait(kChildMs);
  ViUInt16 entered = 0;
  ASSERT_EQ(visaEnterLockOper(s->handle, &entered), VI_SUCCESS);
  EXPECT_EQ(Rec(s).oper_pid[victim], pf::CurrentProcessId());
  EXPECT_EQ(Rec(s).oper_count[victim], 1u);
  visaExitLockOper(s->handle, entered);
  EXPECT_EQ(Rec(s).oper_count[victim], 0u);
}

// An owner's process id now names another, live process: the start tag
// tells them apart where the record has one.
TEST_F(LockingTest, ReusedOwnerPidIsSeenThrough) {
  ZYVISA_REQUIRE_FORK();
  Child bystander([] {
    pf::SleepMs(kChildMs);
    return 0;
  });
  Start();
  IoSession* s = Open();
  const uint32_t real_tag = zyvisa::locking::StartTag(uint32_t(bystander.pid()));
  ASSERT_NE(real_tag, 0u);
  struct Case {
    const char* what;
    uint32_t tag;
    ViStatus want;
  };
  const Case cases[] = {
      {"the owner is that process", real_tag, VI_ERROR_RSRC_LOCKED},
      {"written without a tag", 0, VI_ERROR_RSRC_LOCKED},
      {"an earlier process of that id", real_tag + 1, VI_SUCCESS},
  };
  for (const Case& c : cases) {
    ResourceRecord& r = Rec(s);
    r.lock_state = 1;
    r.exclusive_nest_count = 1;
    r.exclusive_owner_session = 0x55;
    r.exclusive_owner_pid = uint32_t(bystander.pid());
    r.owner_start_tag = c.tag;
    EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK, 0), c.want) << c.what;
    zyvisaUnlockAllSessionLocks(s);
    r.lock_state = 0;
    r.exclusive_nest_count = 0;
    r.exclusive_owner_pid = 0;
  }
}

// A process killed while holding the resource mutex, half-way through a
// change, leaves a record that the next holder repairs before using it.
TEST_F(LockingTest, RecordIsRepairedAfterHolderDiesInsideMutex) {
  ZYVISA_REQUIRE_FORK();
  Start();
  IoSession* s = Open();
  ResourceRecord& r = Rec(s);
  Signal holding;
  Child child([&] {
    lc::Shutdown();
    if (lc::Startup() != 1) return 10;
    IoSession* mine = Open();
    ResourceRecord& rec = Rec(mine);
    ViUInt16 acquired = 0;
    if (visaSemAcquire(zyvisa::locking::MutexOf(&rec), VI_TMO_INFINITE, &acquired) != VI_SUCCESS) {
      return 11;
    }
    // An exclusive grant cut short after its nesting, a shared join
    // counted in the holders table only, a waiter counted.
    rec.exclusive_owner_pid = pf::CurrentProcessId();
    rec.exclusive_nest_count = 1;
    zyvisa::locking::HoldersOf(&rec)->slots[0] = {pf::CurrentProcessId(),
                                                  zyvisa::locking::OwnStartTag(), 1, 1};
    rec.lock_waiters = 1;
    holding.Notify();
    pf::SleepMs(kChildMs);
    return 0;
  });
  ASSERT_TRUE(holding.Wait(kChildMs));
  child.Kill();
  child.Wait(kChildMs);
  EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK, 0), VI_SUCCESS);
  EXPECT_EQ(r.exclusive_owner_pid, pf::CurrentProcessId());
  EXPECT_EQ(r.shared_lock_count, 0u);
  EXPECT_EQ(r.lock_waiters, 0u);
  EXPECT_EQ(zyvisaUnlock(s), VI_SUCCESS);
  EXPECT_EQ(PassGate(s), VI_SUCCESS);
}

// Threads of one process: an exclusive lock excludes, the gate counts, and
// every count is back at zero afterwards.
TEST_F(LockingTest, ThreadsKeepMutualExclusion) {
  Start();
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<IoSession*> sessions;
  for (int i = 0; i < kThreads; ++i) sessions.push_back(Open());
  std::atomic<int> inside{0};
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IoSession* s = sessions[size_t(t)];
      for (int i = 0; i < kRounds; ++i) {
        if (Lock(s, VI_EXCLUSIVE_LOCK, VI_TMO_INFINITE) != VI_SUCCESS) {
          broken++;
          continue;
        }
        if (inside.fetch_add(1) != 0) broken++;
        if (PassGate(s) != VI_SUCCESS) broken++;
        inside.fetch_sub(1);
        if (zyvisaUnlock(s) != VI_SUCCESS) broken++;
        PassGate(s);  // refused or not, it must leave nothing behind
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(broken.load(), 0);
  const ResourceRecord& r = Rec(sessions[0]);
  EXPECT_EQ(r.lock_state, 0u);
  EXPECT_EQ(r.lock_waiters, 0u);
  for (uint32_t count : r.oper_count) EXPECT_EQ(count, 0u);
}

// Exits take their count off without the resource mutex while entries of
// the same process add to the same table entry under it: no count may be
// lost or doubled, and a lock request must never be granted while an
// operation of another session is inside.
TEST_F(LockingTest, ConcurrentExitsAndEntriesKeepTheCount) {
  Start();
  constexpr int kThreads = 3;
  constexpr int kRounds = 3000;
  IoSession* shared = Open();  // one session that two threads use at once
  std::vector<IoSession*> sessions = {shared, shared, Open()};
  IoSession* locker = Open();
  std::atomic<int> inside{0};
  std::atomic<int> broken{0};
  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IoSession* s = sessions[size_t(t)];
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
  int granted = 0;
  while (running.load() > 0) {
    if (Lock(locker, VI_EXCLUSIVE_LOCK) != VI_SUCCESS) continue;
    granted++;
    if (inside.load() != 0) broken++;
    zyvisaUnlock(locker);
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(broken.load(), 0);
  EXPECT_EQ(Lock(locker, VI_EXCLUSIVE_LOCK), VI_SUCCESS) << "a count was left behind";
  zyvisaUnlock(locker);
  for (IoSession* s : {shared, sessions[2], locker}) {
    EXPECT_EQ(s->lock_oper_depth, 0u);
    EXPECT_EQ(s->use_count.load(), 0u);
  }
  for (uint32_t count : Rec(shared).oper_count) EXPECT_EQ(count, 0u);
  RecordProperty("locks_granted", granted);
}

// zyvisa-inspect shows the records in use, and a dead owner stands out.
TEST_F(LockingTest, InspectShowsRecordsAndDeadOwners) {
  ZYVISA_REQUIRE_FORK();
  Signal locked;
  Child child([&] {
    if (lc::Startup() != 1) return 10;
    IoSession* s = Open({5, 6, 7, 8});
    ViUInt16 entered = 0;
    if (s == nullptr || Lock(s, VI_EXCLUSIVE_LOCK) != VI_SUCCESS ||
        visaEnterLockOper(s->handle, &entered) != VI_SUCCESS) {
      return 11;
    }
    locked.Notify();
    pf::SleepMs(kChildMs);
    return 0;
  });
  Start();
  IoSession* s = Open({5, 6, 7, 8});
  ASSERT_TRUE(locked.Wait(kChildMs));
  const std::string pid = std::to_string(child.pid());
  const std::string inspect = std::string(ZYVISA_INSPECT_PATH) + " ";
  struct Look {
    const char* args;
    bool killed;
    std::vector<std::string> want;
  };
  const Look looks[] = {
      {"--section resources", false, {"identity 5/6/7/8, sessions 2, exclusive", "pid " + pid + " alive (nesting 1)",
                   "operation entry 0: pid " + pid + " alive, 1 in progress"}},
      {"--json", false, {"\"identity\":[5,6,7,8],\"session_count\":2,\"lock_state\":\"exclusive\"",
                         "\"pid\":" + pid + ",\"alive\":true,\"nesting\":1"}},
      {"--section resources", true, {"pid " + pid + " gone (nesting 1)  <-- DEAD OWNER", "<-- DEAD PROCESS"}},
      {"--json", true, {"\"pid\":" + pid + ",\"alive\":false,\"nesting\":1",
                        "\"count\":1,\"alive\":false"}},
  };
  for (const Look& look : looks) {
    if (look.killed) {
      child.Kill();
      child.Wait(kChildMs);
    }
    std::string out;
    // A dead owner is the exit status that scripts check.
    EXPECT_EQ(zyvisa::test::RunProgram(inspect + look.args, &out), look.killed ? 3 : 0);
    for (const std::string& want : look.want) EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
  }
  EXPECT_EQ(Rec(s).session_count, 2);
}

// A process that shuts the library down gives up what it holds in the
// records, without waiting for others to find it gone.
TEST_F(LockingTest, ShutdownGivesUpWhatTheProcessHolds) {
  ZYVISA_REQUIRE_FORK();
  Signal down;
  Child child([&] {
    if (lc::Startup() != 1) return 10;
    IoSession* a = Open({1, 1, 1, 1});
    IoSession* b = Open({2, 2, 2, 2});
    ViUInt16 entered = 0;
    if (Lock(a, VI_EXCLUSIVE_LOCK) != VI_SUCCESS || Lock(b, VI_SHARED_LOCK, 0, "k") != VI_SUCCESS ||
        visaEnterLockOper(b->handle, &entered) != VI_SUCCESS) {
      return 11;
    }
    lc::Shutdown();
    down.Notify();
    pf::SleepMs(kChildMs);
    return 0;
  });
  ASSERT_TRUE(down.Wait(kChildMs));
  Start();
  for (const Identity id : {Identity{1, 1, 1, 1}, Identity{2, 2, 2, 2}}) {
    IoSession* s = Open(id);
    EXPECT_EQ(Lock(s, VI_EXCLUSIVE_LOCK), VI_SUCCESS) << id.a;
    EXPECT_EQ(Rec(s).shared_lock_count, 0u);
  }
}

}  // namespace
