// Resources and locking: one record per resource across processes, the lock
// rules as tables, the gate, and what must survive a process killed at any
// moment (a dead exclusive owner, a dead process inside the gate, a full
// operation table, a dead shared holder or waiter).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
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

// A session as the core opens one: an object, its identity, its record and
// its count in the record.
IoSession* Open(Identity id = {}) {
  ViUInt32 handle = 0;
  auto* s = static_cast<IoSession*>(zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (s == nullptr) return nullptr;
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
  void TearDown() override {
    if (started_) lc::Shutdown();
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
}

}  // namespace
