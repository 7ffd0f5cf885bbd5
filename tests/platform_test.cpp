// The platform layer and the exported platform services, with real processes
// where the behaviour crosses them: killed lock owners, leftovers of crashed
// or earlier runs, share modes, liveness of ended processes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/test_machine.h"
#include "zyvisa_platform.h"

namespace {

namespace pf = zyvisa::platform;
using zyvisa::test::Child;
using zyvisa::test::Signal;

constexpr int kChildTimeoutMs = 10000;

// Every test gets a machine folder of its own for its named objects.
class PlatformMachine : public ::testing::Test {
 protected:
  void SetUp() override { pf::SetMachineFolder(machine_.shm_dir().c_str()); }
  void TearDown() override { pf::SetMachineFolder(""); }
  std::string MutexFile(const std::string& plain_name) const {
    return machine_.shm_dir() + "/zyvisa-mutex-" + plain_name;
  }
  zyvisa::test::TestMachine machine_;
};

// Holds the named mutex in a child until killed; returns once it is held.
std::unique_ptr<Child> HoldInChild(const char* name) {
  Signal held;
  auto child = std::make_unique<Child>([&] {
    pf::NamedMutex* m = pf::NamedMutexOpen(name);
    if (m == nullptr || pf::NamedMutexWait(m, pf::kWaitForever) != pf::WaitResult::kAcquired) {
      return 1;
    }
    held.Notify();
    for (;;) pf::SleepMs(1000);
  });
  EXPECT_TRUE(held.Wait(kChildTimeoutMs));
  return child;
}

// ---------------------------------------------------------------- named mutex

using NamedMutexTest = PlatformMachine;

TEST_F(NamedMutexTest, RecursiveForOwnerOneReleasePerAcquisition) {
  pf::NamedMutex* m = pf::NamedMutexOpen("Global\\recursion");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(pf::NamedMutexWait(m, pf::kWaitForever), pf::WaitResult::kAcquired);
  EXPECT_EQ(pf::NamedMutexWait(m, 0), pf::WaitResult::kAcquired);
  EXPECT_EQ(pf::NamedMutexWait(m, 50), pf::WaitResult::kAcquired);
  // A second handle of the same name is the same mutex.
  pf::NamedMutex* again = pf::NamedMutexOpen("Global\\recursion");
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(pf::NamedMutexRelease(again));
  pf::NamedMutexClose(again);
  EXPECT_TRUE(pf::NamedMutexRelease(m));
  EXPECT_TRUE(pf::NamedMutexRelease(m));
  EXPECT_FALSE(pf::NamedMutexRelease(m));  // no longer held
  pf::NamedMutexClose(m);
}

TEST_F(NamedMutexTest, NoMachineFolderNoMutex) {
  pf::SetMachineFolder("");
  EXPECT_EQ(pf::NamedMutexOpen("Global\\anything"), nullptr);
  pf::SetMachineFolder(machine_.shm_dir().c_str());
  EXPECT_EQ(pf::NamedMutexOpen(std::string(300, 'x').c_str()), nullptr);
}

TEST_F(NamedMutexTest, HeldInAnotherProcessTimedWaitTimesOut) {
  auto child = HoldInChild("Global\\held");
  pf::NamedMutex* m = pf::NamedMutexOpen("Global\\held");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(pf::NamedMutexWait(m, 0), pf::WaitResult::kTimeout);
  const uint64_t start = pf::MonotonicMs();
  EXPECT_EQ(pf::NamedMutexWait(m, 100), pf::WaitResult::kTimeout);
  const uint64_t waited = pf::MonotonicMs() - start;
  EXPECT_GE(waited, 99u);
  EXPECT_LT(waited, 2000u);
  EXPECT_FALSE(pf::NamedMutexRelease(m));
  pf::NamedMutexClose(m);
}

TEST_F(NamedMutexTest, OwnerKilledNextWaiterGetsItAbandoned) {
  // Killed while we are already blocked: in an infinite and in a timed wait.
  for (uint32_t timeout : {pf::kWaitForever, 5000u}) {
    const std::string name = "Global\\killed " + std::to_string(timeout);
    auto child = HoldInChild(name.c_str());
    pf::NamedMutex* m = pf::NamedMutexOpen(name.c_str());
    ASSERT_NE(m, nullptr);
    std::thread killer([&] {
      pf::SleepMs(50);
      child->Kill();
    });
    const uint64_t start = pf::MonotonicMs();
    EXPECT_EQ(pf::NamedMutexWait(m, timeout), pf::WaitResult::kAbandoned) << timeout;
    EXPECT_LT(pf::MonotonicMs() - start, 1000u);
    killer.join();
    EXPECT_TRUE(pf::NamedMutexRelease(m));
    // Made consistent: usable as ever, here and in another process.
    EXPECT_EQ(pf::NamedMutexWait(m, 0), pf::WaitResult::kAcquired);
    EXPECT_TRUE(pf::NamedMutexRelease(m));
    Child other([&] {
      pf::NamedMutex* n = pf::NamedMutexOpen(name.c_str());
      return n != nullptr && pf::NamedMutexWait(n, 1000) == pf::WaitResult::kAcquired &&
                     pf::NamedMutexRelease(n)
                 ? 0
                 : 1;
    });
    EXPECT_EQ(other.Wait(kChildTimeoutMs), 0);
    pf::NamedMutexClose(m);
  }
}

TEST_F(NamedMutexTest, OwnerThreadEndedIsAbandoned) {
  pf::NamedMutex* m = pf::NamedMutexOpen("Local\\thread");
  ASSERT_NE(m, nullptr);
  std::thread([&] { EXPECT_EQ(pf::NamedMutexWait(m, 0), pf::WaitResult::kAcquired); }).join();
  EXPECT_EQ(pf::NamedMutexWait(m, 1000), pf::WaitResult::kAbandoned);
  EXPECT_TRUE(pf::NamedMutexRelease(m));
  pf::NamedMutexClose(m);
}

TEST_F(NamedMutexTest, HalfWrittenFileIsReplaced) {
  // What a creator killed while writing would leave if files were written in
  // place: the right size, no header; and a short one.
  for (size_t size : {size_t{128}, size_t{40}}) {
    const std::string name = "half" + std::to_string(size);
    zyvisa::test::WriteFile(MutexFile(name), std::string(size, '\0'));
    Child user([&] {
      pf::NamedMutex* m = pf::NamedMutexOpen(name.c_str());
      return m != nullptr && pf::NamedMutexWait(m, 1000) == pf::WaitResult::kAcquired ? 0 : 1;
    });
    EXPECT_EQ(user.Wait(kChildTimeoutMs), 0) << size;
    EXPECT_EQ(std::filesystem::file_size(MutexFile(name)), 128u);
  }
}

TEST_F(NamedMutexTest, FileOfAnotherBootIsReplaced) {
  // A holder that never lets go, as a futex word owned by a thread of an
  // earlier boot never would; then the file is made to look as if it came
  // from that boot.
  auto holder = HoldInChild("Global\\boot");
  {
    std::fstream f(MutexFile("Global%5Cboot"), std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekp(8);
    const char old_boot[] = "00000000-0000-0000-0000-000000000000";
    f.write(old_boot, sizeof old_boot);
  }
  Child next([] {
    pf::NamedMutex* m = pf::NamedMutexOpen("Global\\boot");
    return m != nullptr && pf::NamedMutexWait(m, 1000) == pf::WaitResult::kAcquired ? 0 : 1;
  });
  EXPECT_EQ(next.Wait(kChildTimeoutMs), 0);
}

TEST_F(NamedMutexTest, NamesMapToDistinctFilesUsableByAll) {
  auto holder = HoldInChild("Global\\a/b");
  for (const char* other : {"Global/a\\b", "Global\\a%2Fb", "Global\\a\\b"}) {
    pf::NamedMutex* m = pf::NamedMutexOpen(other);
    ASSERT_NE(m, nullptr) << other;
    EXPECT_EQ(pf::NamedMutexWait(m, 0), pf::WaitResult::kAcquired) << other;
    EXPECT_TRUE(pf::NamedMutexRelease(m));
    pf::NamedMutexClose(m);
  }
  using std::filesystem::perms;
  const perms all_rw = perms::owner_read | perms::owner_write | perms::group_read |
                       perms::group_write | perms::others_read | perms::others_write;
  const perms mode = std::filesystem::status(MutexFile("Global%5Ca%2Fb")).permissions();
  EXPECT_EQ(mode & all_rw, all_rw);
}

// ---------------------------------------------------------------- event

TEST(Event, AutoResetAndTimeout) {
  pf::Event* e = pf::EventCreate();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(pf::EventWait(e, 0));
  const uint64_t start = pf::MonotonicMs();
  EXPECT_FALSE(pf::EventWait(e, 30));
  EXPECT_GE(pf::MonotonicMs() - start, 29u);
  pf::EventSet(e);
  pf::EventSet(e);  // does not count: one signal, one waiter
  EXPECT_TRUE(pf::EventWait(e, pf::kWaitForever));
  EXPECT_FALSE(pf::EventWait(e, 0));
  // A give-up runs only when the wait failed; a refused decision sets nothing.
  int gave_up = 0;
  EXPECT_FALSE(pf::EventWaitOrGiveUp(e, 1, [](void* c) { ++*static_cast<int*>(c); }, &gave_up));
  EXPECT_EQ(gave_up, 1);
  EXPECT_FALSE(pf::EventSetIf(e, [](void*) { return false; }, nullptr));
  EXPECT_TRUE(pf::EventSetIf(e, [](void*) { return true; }, nullptr));
  EXPECT_TRUE(pf::EventWaitOrGiveUp(e, 0, [](void* c) { ++*static_cast<int*>(c); }, &gave_up));
  EXPECT_EQ(gave_up, 1);
  pf::EventClose(e);
}

// The guarantee counter locks build on: a releaser's decision cannot fall
// between a timed-out waiter's give-up and the end of its wait. The give-up
// is made slow on purpose; the decision must come after it, whole.
TEST(Event, GiveUpAndDecisionNeverInterleave) {
  pf::Event* e = pf::EventCreate();
  ASSERT_NE(e, nullptr);
  struct Order {
    std::atomic<int> step{0};
    int give_up_done_at = -1, decided_at = -1;
  } order;
  std::thread waiter([&] {
    EXPECT_FALSE(pf::EventWaitOrGiveUp(e, 20, [](void* c) {
      auto* o = static_cast<Order*>(c);
      o->step.fetch_add(1);  // inside the give-up
      pf::SleepMs(100);
      o->give_up_done_at = o->step.fetch_add(1);
    }, &order));
  });
  while (order.step.load() == 0) pf::SleepMs(1);
  EXPECT_TRUE(pf::EventSetIf(e, [](void* c) {
    auto* o = static_cast<Order*>(c);
    o->decided_at = o->step.fetch_add(1);
    return true;
  }, &order));
  waiter.join();
  EXPECT_EQ(order.give_up_done_at, 1);
  EXPECT_EQ(order.decided_at, 2);
  EXPECT_TRUE(pf::EventWait(e, 0));  // the signal waits for the next waiter
  pf::EventClose(e);
}

// ---------------------------------------------------------------- shared file

using SharedFileTest = PlatformMachine;

TEST_F(SharedFileTest, ExclusiveOnlyWithoutOtherHolders) {
  const std::string path = machine_.shm_dir() + "/region.tmp";
  Signal opened, done;
  Child sharer([&] {
    pf::SharedFile* f = pf::SharedFileOpen(path.c_str(), pf::ShareMode::kShared, false);
    if (f == nullptr) return 1;
    opened.Notify();
    done.Wait(kChildTimeoutMs);
    pf::SharedFileClose(f);
    return 0;
  });
  ASSERT_TRUE(opened.Wait(kChildTimeoutMs));
  EXPECT_EQ(pf::SharedFileOpen(path.c_str(), pf::ShareMode::kExclusive, true), nullptr);
  pf::SharedFile* shared = pf::SharedFileOpen(path.c_str(), pf::ShareMode::kShared, false);
  EXPECT_NE(shared, nullptr);
  done.Notify();
  EXPECT_EQ(sharer.Wait(kChildTimeoutMs), 0);
  EXPECT_EQ(pf::SharedFileOpen(path.c_str(), pf::ShareMode::kExclusive, false), nullptr);
  pf::SharedFileClose(shared);

  // Now alone: exclusive works and keeps everybody else out.
  pf::SharedFile* alone = pf::SharedFileOpen(path.c_str(), pf::ShareMode::kExclusive, true);
  ASSERT_NE(alone, nullptr);
  Child shut_out([&] {
    return pf::SharedFileOpen(path.c_str(), pf::ShareMode::kShared, false) == nullptr ? 0 : 1;
  });
  EXPECT_EQ(shut_out.Wait(kChildTimeoutMs), 0);
  pf::SharedFileClose(alone);
  EXPECT_FALSE(pf::PathExists(path.c_str()));  // deleted on close
}

TEST_F(SharedFileTest, LastSharedHolderDeletesAndMappingsAreShared) {
  const std::string path = machine_.shm_dir() + "/region.tmp";
  pf::SharedFile* a = pf::SharedFileOpen(path.c_str(), pf::ShareMode::kShared, true);
  pf::SharedFile* b = pf::SharedFileOpen(path.c_str(), pf::ShareMode::kShared, true);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  auto* view = static_cast<volatile char*>(pf::SharedFileMap(a, 65536));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::filesystem::file_size(path), 65536u);  // grown to the size
  Child writer([&] {
    view[4000] = 'x';
    return 0;
  });
  EXPECT_EQ(writer.Wait(kChildTimeoutMs), 0);
  EXPECT_EQ(view[4000], 'x');
  size_t size = 0;
  auto* read_only = static_cast<const char*>(pf::MapFileReadOnly(path.c_str(), &size));
  ASSERT_NE(read_only, nullptr);
  EXPECT_EQ(size, 65536u);
  EXPECT_EQ(read_only[4000], 'x');
  pf::UnmapFileReadOnly(read_only, size);
  EXPECT_TRUE(pf::SharedFileUnmap(const_cast<char*>(view), 65536));
  pf::SharedFileClose(a);
  EXPECT_TRUE(pf::PathExists(path.c_str()));  // b still has it
  pf::SharedFileClose(b);
  EXPECT_FALSE(pf::PathExists(path.c_str()));
  EXPECT_EQ(pf::MapFileReadOnly(path.c_str(), &size), nullptr);
}

TEST_F(SharedFileTest, CopyNeverOverwritesAndFoldersOnce) {
  const std::string folder = machine_.root() + "/made";
  EXPECT_TRUE(pf::MakeDirectory(folder.c_str()));
  EXPECT_FALSE(pf::MakeDirectory(folder.c_str()));
  const std::string from = folder + "/from.ini", to = folder + "/to.ini";
  zyvisa::test::WriteFile(from, std::string(40000, 'a'));
  EXPECT_TRUE(pf::CopyFileNoOverwrite(from.c_str(), to.c_str()));
  EXPECT_EQ(zyvisa::test::ReadFile(to), std::string(40000, 'a'));
  zyvisa::test::WriteFile(from, "changed");
  EXPECT_FALSE(pf::CopyFileNoOverwrite(from.c_str(), to.c_str()));
  EXPECT_EQ(zyvisa::test::ReadFile(to).size(), 40000u);
  EXPECT_FALSE(pf::CopyFileNoOverwrite((folder + "/missing").c_str(), (folder + "/x").c_str()));
  EXPECT_FALSE(pf::PathExists((folder + "/x").c_str()));
}

// ---------------------------------------------------------------- processes, threads

TEST(ProcessState, EndedChildIsGoneEvenBeforeReaped) {
  EXPECT_EQ(pf::ProcessState(pf::CurrentProcessId()), pf::ProcState::kAlive);
  EXPECT_EQ(pf::ProcessState(0), pf::ProcState::kGone);
  EXPECT_EQ(pf::ProcessState(0xFFFFFFFFu), pf::ProcState::kGone);
  Child ended([] { return 0; });
  // Not reaped until Wait below: a zombie, which kill(pid, 0) still finds.
  pf::ProcState state = pf::ProcState::kAlive;
  for (int i = 0; i < 5000 && state == pf::ProcState::kAlive; ++i) {
    state = pf::ProcessState(uint32_t(ended.pid()));
    if (state == pf::ProcState::kAlive) pf::SleepMs(1);
  }
  EXPECT_EQ(state, pf::ProcState::kGone);
  ViBoolean alive = 7;
  EXPECT_EQ(visaProcIsAlive(ViUInt32(ended.pid()), &alive), VI_SUCCESS);
  EXPECT_EQ(alive, VI_FALSE);
  EXPECT_EQ(ended.Wait(kChildTimeoutMs), 0);
  EXPECT_EQ(pf::ProcessState(uint32_t(ended.pid())), pf::ProcState::kGone);
}

TEST(ThreadId, CachedPerThreadAndRenewedInForkedChild) {
  const uint32_t main_id = pf::CurrentThreadId();
  EXPECT_EQ(main_id, pf::CurrentThreadId());
  uint32_t other = 0;
  std::thread([&] { other = pf::CurrentThreadId(); }).join();
  EXPECT_NE(other, main_id);
  const uint32_t parent = pf::CurrentProcessId();
  Child child([&] {
    // A child forked from this thread must not report the parent's ids.
    const bool fresh = pf::CurrentProcessId() != parent && pf::CurrentThreadId() != main_id &&
                       pf::CurrentThreadId() == pf::CurrentProcessId();
    return fresh ? 0 : 1;
  });
  EXPECT_EQ(child.Wait(kChildTimeoutMs), 0);
}

// ---------------------------------------------------------------- exported services

TEST(PlatformExports, CaseInsensitiveComparison) {
  EXPECT_EQ(visaStricmp("GPIB0", "gpib0"), VI_TRUE);
  EXPECT_EQ(visaStricmp("GPIB", "GPIB0"), VI_FALSE);
  EXPECT_EQ(visaStricmp("GPIB0", "GPIB"), VI_FALSE);
  EXPECT_EQ(visaStricmp("", ""), VI_TRUE);
  // Bytes above 127 compare as themselves; only a-z fold.
  EXPECT_EQ(visaStricmp("\xe9t\xe9", "\xe9T\xe9"), VI_TRUE);
  EXPECT_EQ(visaStricmp("\xe9", "\xc9"), VI_FALSE);
  EXPECT_EQ(visaStricmp("[", "{"), VI_FALSE);
  EXPECT_EQ(visaStricmp(nullptr, "a"), VI_FALSE);
  EXPECT_EQ(visaStricmp(nullptr, nullptr), VI_FALSE);

  EXPECT_EQ(visaStrnicmp("VISA://host/GPIB0::1::INSTR", "visa:/", 6), VI_TRUE);
  EXPECT_EQ(visaStrnicmp("visa://", "visa:/", 6), VI_TRUE);
  EXPECT_EQ(visaStrnicmp("visa", "visa:/", 6), VI_FALSE);
  EXPECT_EQ(visaStrnicmp("visa:x", "visa:/", 6), VI_FALSE);
  EXPECT_EQ(visaStrnicmp("abc", "ABD", 2), VI_TRUE);
  EXPECT_EQ(visaStrnicmp("abc", "ABD", 3), VI_FALSE);
  EXPECT_EQ(visaStrnicmp("ab", "AB", 10), VI_TRUE);  // ended together
  EXPECT_EQ(visaStrnicmp("xyz", "Xab", 1), VI_TRUE);
  EXPECT_EQ(visaStrnicmp("xyz", "ab", 1), VI_FALSE);
  EXPECT_EQ(visaStrnicmp("abc", "ABD", 0), VI_FALSE);  // no limit
  EXPECT_EQ(visaStrnicmp("abc", "ABC", 0), VI_TRUE);
}

TEST(PlatformExports, MemoryIsZeroFilled) {
  auto* fresh = static_cast<unsigned char*>(visaRealloc(nullptr, 4096));
  ASSERT_NE(fresh, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(fresh[i], 0) << i;
  std::memset(fresh, 0xAB, 4096);
  fresh = static_cast<unsigned char*>(visaReallocDbg(fresh, 8192));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh[4095], 0xAB);  // kept
  visaFree(fresh);
  auto* block = static_cast<unsigned char*>(visaCallocDbg(100, 3));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(block[i], 0);
  visaFree(block);
  visaFree(nullptr);
}

TEST(PlatformExports, LibrariesAndLiveness) {
  ViAddr library = reinterpret_cast<ViAddr>(1);
  EXPECT_EQ(visaLibLoad("/nonexistent/libnothing.so", &library), VI_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(library, nullptr);
  EXPECT_EQ(visaLibLoad(nullptr, &library), VI_ERROR_LIBRARY_NFOUND);
  // A system library: loading our own would start the services on the
  // machine's real folders.
  ASSERT_EQ(visaLibLoad("libm.so.6", &library), VI_SUCCESS);
  ViAddr entry = nullptr;
  ASSERT_EQ(visaLibSymbol(library, "cos", &entry), VI_SUCCESS);
  EXPECT_EQ(reinterpret_cast<double (*)(double)>(entry)(0.0), 1.0);
  EXPECT_EQ(visaLibSymbol(library, "noSuchSymbol", &entry), VI_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(entry, nullptr);
  EXPECT_EQ(visaLibSymbol(nullptr, "cos", &entry), VI_ERROR_LIBRARY_NFOUND);
  EXPECT_EQ(visaLibFree(library), VI_SUCCESS);
  EXPECT_EQ(visaLibFree(nullptr), VI_ERROR_CLOSING_FAILED);

  ViBoolean alive = 0;
  EXPECT_EQ(visaProcIsAlive(visaProcGetID(), &alive), VI_SUCCESS);
  EXPECT_EQ(alive, VI_TRUE);
  EXPECT_EQ(visaProcIsAlive(visaProcGetID(), nullptr), VI_ERROR_USER_BUF);
  EXPECT_EQ(visaProcIsSame(visaProcGetID(), visaProcGetID()), VI_TRUE);
  EXPECT_EQ(visaProcIsSame(1, 2), VI_FALSE);
  EXPECT_TRUE(pf::PathExists(pf::OwnModulePath().c_str()));
}

}  // namespace
