// The platform layer and the exported platform services, with real processes
// where the behaviour crosses them: killed lock owners, leftovers of crashed
// or earlier runs, share modes, liveness of ended processes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_platform.h"

namespace {

namespace pf = zyvisa::platform;
using zyvisa::test::Child;
using zyvisa::test::ScenarioArgs;
using zyvisa::test::Signal;
using pf::WaitResult;

constexpr int kChildTimeoutMs = 10000;

// Every test gets a machine folder of its own for its named objects.
class PlatformMachine : public ::testing::Test {
 protected:
  void SetUp() override { pf::SetMachineFolder(machine_.shm_dir().c_str()); }
  void TearDown() override { pf::SetMachineFolder(""); }
  std::string Path(const std::string& file) const { return machine_.shm_dir() + "/" + file; }
  zyvisa::test::TestMachine machine_;
};

// args: the machine folder, a mutex name, and a signal. With the signal, holds
// the mutex until killed, after notifying it; without, ends with 0 when this
// fresh process gets the mutex, plainly, within a second. The POSIX mutex
// files' suite uses it too.
ZYVISA_SCENARIO(NamedMutexUser) {
  pf::SetMachineFolder(args.at(0).c_str());
  pf::NamedMutex* m = pf::NamedMutexOpen(args.at(1).c_str());
  const WaitResult got = pf::NamedMutexWait(m, args.size() > 2 ? pf::kWaitForever : 1000);
  if (args.size() == 2) return got == WaitResult::kAcquired && pf::NamedMutexRelease(m) ? 0 : 1;
  if (got != WaitResult::kAcquired) return 1;
  Signal(args[2]).Notify();
  for (;;) pf::SleepMs(1000);
}

// Holds the named mutex in a child until killed; returns once it is held.
std::unique_ptr<Child> HoldInChild(const std::string& name) {
  Signal held;
  auto child = std::make_unique<Child>("NamedMutexUser", ScenarioArgs{pf::MachineFolder(), name, held.id()});
  EXPECT_TRUE(held.Wait(kChildTimeoutMs));
  return child;
}

bool AcquiredInChild(const std::string& name) {
  return Child("NamedMutexUser", {pf::MachineFolder(), name}).Wait(kChildTimeoutMs) == 0;
}

// ---------------------------------------------------------------- named mutex

// The next waiter gets a mutex whose owner ended holding it, made usable again.
TEST_F(PlatformMachine, OwnerThatEndsHoldingItHandsItOverAbandoned) {
  // A process killed while we wait, without limit and with one; a thread of
  // ours that ended.
  for (const uint32_t timeout : {pf::kWaitForever, 5000u, 0u}) {
    const std::string name = "Global\\gone after " + std::to_string(timeout);
    SCOPED_TRACE(name);
    pf::NamedMutex* m = pf::NamedMutexOpen(name.c_str());
    ASSERT_NE(m, nullptr);
    if (timeout == 0) {
      std::thread([&] { EXPECT_EQ(pf::NamedMutexWait(m, 0), WaitResult::kAcquired); }).join();
      EXPECT_EQ(pf::NamedMutexWait(m, 0), WaitResult::kAbandoned);
    } else {
      std::unique_ptr<Child> owner = HoldInChild(name);
      std::thread killer([&] {
        pf::SleepMs(50);
        owner->Kill();
      });
      EXPECT_EQ(pf::NamedMutexWait(m, timeout), WaitResult::kAbandoned);
      killer.join();
    }
    EXPECT_TRUE(pf::NamedMutexRelease(m));
    EXPECT_EQ(pf::NamedMutexWait(m, 0), WaitResult::kAcquired);
    EXPECT_TRUE(pf::NamedMutexRelease(m));
    EXPECT_TRUE(AcquiredInChild(name));
    pf::NamedMutexClose(m);
  }
}

TEST_F(PlatformMachine, EachNameIsItsOwnMutexForEveryUser) {
  auto holder = HoldInChild("Global\\a/b");
  pf::NamedMutex* held = pf::NamedMutexOpen("Global\\a/b");
  EXPECT_EQ(pf::NamedMutexWait(held, 0), WaitResult::kTimeout);
  pf::NamedMutexClose(held);
  // Names compare exactly. (A '\\' past the namespace is no name on Windows;
  // tests/posix checks those.)
  for (const char* name : {"Global\\a%2Fb", "Global\\a/B", "Global/a/b"}) {
    EXPECT_TRUE(AcquiredInChild(name)) << name;
  }
}

// ---------------------------------------------------------------- event

// The guarantee counter locks build on: a releaser's decision cannot fall
// between a timed-out waiter's give-up and the end of its wait. The give-up is
// made slow on purpose; the decision must see it done, whole.
TEST(Event, GiveUpAndDecisionNeverInterleave) {
  pf::Event* e = pf::EventCreate();
  std::atomic<int> step{0};  // 1: inside the give-up, 2: give-up done
  std::thread waiter([&] {
    EXPECT_FALSE(pf::EventWaitOrGiveUp(e, 20, [](void* c) {
      *static_cast<std::atomic<int>*>(c) = 1;
      pf::SleepMs(100);
      *static_cast<std::atomic<int>*>(c) = 2;
    }, &step));
  });
  while (step.load() == 0) pf::SleepMs(1);
  EXPECT_FALSE(pf::EventSetIf(e, [](void*) { return false; }, nullptr));
  EXPECT_FALSE(pf::EventWait(e, 0));  // a refused decision set nothing
  EXPECT_TRUE(pf::EventSetIf(e, [](void* c) { return *static_cast<std::atomic<int>*>(c) == 2; },
                             &step));
  waiter.join();
  EXPECT_TRUE(pf::EventWait(e, 0));  // the signal waited for the next waiter
  pf::EventClose(e);
}

// ---------------------------------------------------------------- files

// Opens args[0] shared (delete on close), notifies args[1], holds it until
// args[2] is notified.
ZYVISA_SCENARIO(ShareFile) {
  pf::SharedFile* f = pf::SharedFileOpen(args.at(0).c_str(), pf::ShareMode::kShared, true);
  if (f == nullptr) return 1;
  Signal(args.at(1)).Notify();
  Signal(args.at(2)).Wait(kChildTimeoutMs);
  pf::SharedFileClose(f);
  return 0;
}

TEST_F(PlatformMachine, ShareModesAcrossProcessesAndTheLastHolderDeletes) {
  const std::string path = Path("region.tmp");
  const auto open = [&](pf::ShareMode m) { return pf::SharedFileOpen(path.c_str(), m, true); };
  Signal opened, done;
  Child sharer("ShareFile", {path, opened.id(), done.id()});
  ASSERT_TRUE(opened.Wait(kChildTimeoutMs));
  EXPECT_EQ(open(pf::ShareMode::kExclusive), nullptr);
  pf::SharedFile* shared = open(pf::ShareMode::kShared);
  ASSERT_NE(shared, nullptr);
  done.Notify();
  EXPECT_EQ(sharer.Wait(kChildTimeoutMs), 0);
  EXPECT_TRUE(pf::PathExists(path.c_str()));  // still ours
  EXPECT_EQ(open(pf::ShareMode::kExclusive), nullptr);
  pf::SharedFileClose(shared);
  EXPECT_FALSE(pf::PathExists(path.c_str()));
}

// Two processes seeding one configuration at once: the later copy must lose.
TEST_F(PlatformMachine, CopyNeverOverwrites) {
  const std::string from = Path("from.ini"), to = Path("to.ini");
  zyvisa::test::WriteFile(from, "new");
  zyvisa::test::WriteFile(to, "old");
  EXPECT_FALSE(pf::CopyFileNoOverwrite(from.c_str(), to.c_str()));
  EXPECT_EQ(zyvisa::test::ReadFile(to), "old");
}

// ---------------------------------------------------------------- processes

// Exits at once: 0 when neither id of this process is the parent's
// (args[0]). A forked child must not report its parent's cached ids, or it
// would take the parent's holds for its own.
ZYVISA_SCENARIO(IdsAreOwn) {
  const auto parent = uint32_t(std::stoul(args.at(0)));
  return pf::CurrentProcessId() == parent || pf::CurrentThreadId() == parent;
}

// visaProcIsAlive's answer; -1 when it fails.
int Alive(uint32_t id) {
  ViBoolean alive = 7;
  return visaProcIsAlive(id, &alive) == VI_SUCCESS ? alive : -1;
}

TEST(Processes, EndedChildIsGoneEvenBeforeReapedAndIdsAreRenewedInAChild) {
  Child ended("IdsAreOwn", {std::to_string(pf::CurrentProcessId())});
  // Not reaped until Wait below: a zombie, which kill(pid, 0) still finds; a
  // process object that our handle keeps, on Windows.
  for (int i = 0; pf::ProcessState(uint32_t(ended.pid())) == pf::ProcState::kAlive && i < 5000; ++i) {
    pf::SleepMs(1);
  }
  EXPECT_EQ(pf::ProcessState(uint32_t(ended.pid())), pf::ProcState::kGone);
  EXPECT_EQ(Alive(uint32_t(ended.pid())), VI_FALSE);
  EXPECT_EQ(ended.Wait(kChildTimeoutMs), 0);
  EXPECT_EQ(pf::ProcessState(0), pf::ProcState::kGone);  // not "my process group"
  EXPECT_EQ(pf::ProcessState(0xFFFFFFFFu), pf::ProcState::kGone);  // not "every process"
}

// A thread's id has its own /proc entry; it names no process.
TEST(Processes, OnlyAProcessIdCountsAsALiveProcess) {
  std::atomic<uint32_t> tid{0};
  std::atomic<bool> done{false};
  std::thread thread([&] {
    tid = pf::CurrentThreadId();
    while (!done) pf::SleepMs(1);
  });
  while (tid == 0) pf::SleepMs(1);
  EXPECT_EQ(Alive(pf::CurrentProcessId()), VI_TRUE);
  EXPECT_EQ(Alive(tid), VI_FALSE);
  done = true;
  thread.join();
}

// ---------------------------------------------------------------- exported services

TEST(PlatformExports, CaseInsensitiveComparison) {
  struct Case {
    const char *a, *b;
    int count;  // -1: visaStricmp; else visaStrnicmp with this count (0: no limit)
    ViBoolean equal;
  };
  const Case cases[] = {
      {"GPIB0", "gpib0", -1, 1}, {"GPIB", "GPIB0", -1, 0}, {"GPIB0", "GPIB", -1, 0},
      // Bytes above 127 compare as themselves; only a-z fold.
      {"\xe9t\xe9", "\xe9T\xe9", -1, 1}, {"\xe9", "\xc9", -1, 0}, {"[", "{", -1, 0},
      {"", "", -1, 1}, {nullptr, "a", -1, 0}, {nullptr, nullptr, -1, 0},
      {"VISA://host/GPIB0::1::INSTR", "visa:/", 6, 1}, {"visa", "visa:/", 6, 0},
      {"visa:x", "visa:/", 6, 0}, {"ab", "AB", 10, 1} /* ended together */,
      {"xyz", "Xab", 1, 1}, {"xyz", "ab", 1, 0}, {"abc", "ABD", 0, 0}, {"abc", "ABC", 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + " / " + (c.b ? c.b : "(null)") + " / " +
                 std::to_string(c.count));
    EXPECT_EQ(c.count < 0 ? visaStricmp(c.a, c.b) : visaStrnicmp(c.a, c.b, ViUInt32(c.count)),
              c.equal);
  }
}

TEST(PlatformExports, NewMemoryIsZeroFilledAndCodeLibrariesLoad) {
  auto* fresh = static_cast<unsigned char*>(visaRealloc(nullptr, 4096));
  ASSERT_NE(fresh, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(fresh[i], 0) << i;
  visaFree(fresh);

  ViAddr library = reinterpret_cast<ViAddr>(1), entry = reinterpret_cast<ViAddr>(1);
  EXPECT_EQ(visaLibLoad("/nonexistent/libnothing.so", &library), VI_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(library, nullptr);
  // A system library: loading our own would start the services on the
  // machine's real folders.
  ASSERT_EQ(visaLibLoad(zyvisa::test::kMathLibrary, &library), VI_SUCCESS);
  EXPECT_EQ(visaLibSymbol(library, "noSuchSymbol", &entry), VI_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(entry, nullptr);
  ASSERT_EQ(visaLibSymbol(library, "cos", &entry), VI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<double (*)(double)>(entry)(0.0), 1.0);
  EXPECT_EQ(visaLibFree(library), VI_SUCCESS);
}

}  // namespace
