// Emulated asynchronous I/O against a fake synchronous driver: which path a
// transfer takes, the hand-over to the job thread, chunked moves, handlers
// that queue the next job, cleanup of finished and stuck threads, the job's
// trace record, and the library unloaded under a running job thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lifecycle/startup.h"
#include "support/async_session.h"
#include "support/environment.h"
#include "zyvisa_lifecycle.h"

namespace {

namespace objects = zyvisa::objects;
namespace pf = zyvisa::platform;
using namespace zyvisa::test;

class AsyncTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(zyvisa::lifecycle::Startup(), 1); }
  void TearDown() override { zyvisa::lifecycle::Shutdown(); }
  TestMachine machine_;
};

TEST_F(AsyncTest, TransfersFromTheThresholdOnCompleteOnTheJobThread) {
  const struct {
    uint16_t op, width;
    uint64_t count;
    bool on_job_thread;
  } rows[] = {
      {kOpRead, 1, 511, false},   {kOpRead, 1, 512, true},  {kOpWrite, 1, 511, false},
      {kOpWrite, 1, 512, true},   {kOpMove, 2, 255, false}, {kOpMove, 2, 256, true},
      {kOpMoveEx, 4, 127, false}, {kOpMoveEx, 4, 128, true},
  };
  AsyncSession s;
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << row.op << std::dec << " x" << row.count);
    const size_t n = s.completions().size() + 1;
    EXPECT_EQ(s.Start(row.op, row.count, row.width), row.on_job_thread ? VI_SUCCESS : VI_SUCCESS_SYNC);
    // Synchronous: raised before the entry returned. (Its handler may run on
    // the job thread all the same, if that thread's handler loop is still
    // going: the loop delivers what is raised meanwhile.)
    if (!row.on_job_thread) {
      EXPECT_EQ(s.get()->queue_for_queuing[0]->raised_count, n);
    }
    const auto seen = s.WaitForCompletions(n);
    ASSERT_EQ(seen.size(), n);
    if (row.on_job_thread) {
      EXPECT_EQ(seen.back().thread, s.get()->job_thread_id);
      EXPECT_NE(seen.back().thread, pf::CurrentThreadId());
    }
    const uint64_t moved = row.op == kOpRead || row.op == kOpWrite ? row.count - 1 : row.count;
    EXPECT_EQ(std::make_tuple(seen.back().status, seen.back().job_id, seen.back().return_count),
              std::make_tuple(VI_SUCCESS, s.last_job_id(), moved));
    // The queued context of the same completion waits for viWaitOnEvent, and
    // the operation has left the gate it entered.
    EXPECT_EQ(s.get()->queue_for_queuing[0]->raised_count, n);
    EXPECT_EQ(s.get()->lock_oper_depth, 0u);
  }
}

TEST_F(AsyncTest, TheCallersPriorityChoosesTheJobThreadsOrTheSynchronousPath) {
  const struct {
    int caller;
    ViStatus status;
    int completing_level;  // the level of the thread that raised the completion
  } rows[] = {
      {pf::kPriorityNormal, VI_SUCCESS, pf::kPriorityHighest},
      {pf::kPriorityHighest, VI_SUCCESS, pf::kPriorityTimeCritical},
      {pf::kPriorityTimeCritical, VI_SUCCESS_SYNC, pf::kPriorityTimeCritical},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.caller);
    AsyncSession s;
    ViStatus status = VI_ERROR_SYSTEM_ERROR;
    std::thread([&] {
      pf::SetCurrentThreadPriority(row.caller);
      status = s.Start(kOpRead, 512);
    }).join();
    EXPECT_EQ(status, row.status);
    const auto seen = s.WaitForCompletions(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].level, row.completing_level);
  }
}

TEST_F(AsyncTest, ASecondJobWhileOneIsPendingIsRefused) {
  AsyncSession s;
  s.driver().block = true;
  ASSERT_EQ(s.Start(kOpRead, 512), VI_SUCCESS);
  // Also small ones: the pending job's completion nodes stay allocated, and
  // creating its events would hand them out again.
  for (const auto op : {kOpRead, kOpWrite, kOpMove}) {
    EXPECT_EQ(s.Start(op, op == kOpRead ? 512 : 16), VI_ERROR_IN_PROGRESS) << op;
  }
  // Queued directly, a second job completes at once with the refusal (its
  // node from a queue of its own, for the same reason).
  ViAddr queue = zyvisaCreateQueue(s.get(), VI_EVENT_IO_COMPLETION), node = nullptr;
  ASSERT_EQ(zyvisaInsertNodeAtEnd(queue, &node), VI_SUCCESS);
  auto* job = static_cast<zyvisa::async::AsyncJob*>(std::calloc(1, sizeof(zyvisa::async::AsyncJob)));
  job->queued_completion = static_cast<objects::EventNode*>(node);
  job->job_id = 77;
  EXPECT_EQ(zyvisaAsyncThreadQueue(s.handle(), job), VI_SUCCESS);
  const auto* refused = static_cast<objects::EventNode*>(node);
  EXPECT_EQ(std::make_tuple(refused->state, refused->status, refused->job_id),
            std::make_tuple(objects::kNodeRaised, VI_ERROR_IN_PROGRESS, 77u));
  s.driver().released = true;
  ASSERT_EQ(s.WaitForCompletions(1).size(), 1u);
  EXPECT_EQ(s.completions()[0].status, VI_SUCCESS);
  zyvisaFreeQueue(queue);
}

TEST_F(AsyncTest, MovesGoToTheDriverInChunksOf64KiBAndReportTheirLocalSide) {
  constexpr uint64_t K = 0x10000;
  const struct {
    const char* what;
    uint16_t width;
    uint64_t count;
    int32_t source_increment;
    int fail_at;  // driver call that fails, -1 none
    bool abort_in_first;
    std::vector<AsyncSession::MoveCall> calls;  // source, destination, count
    ViStatus status;
    uint64_t moved;
  } rows[] = {
      {"three chunks", 1, 3 * K, 1, -1, false,
       {{0x100, 0, K}, {0x100 + K, K, K}, {0x100 + 2 * K, 2 * K, K}}, VI_SUCCESS, 3 * K},
      {"fifo source", 1, 3 * K, 0, -1, false,
       {{0x100, 0, K}, {0x100, K, K}, {0x100, 2 * K, K}}, VI_SUCCESS, 3 * K},
      {"wide elements, short tail", 4, K / 4 + 5, 1, -1, false,
       {{0x100, 0, K / 4}, {0x100 + K, K, 5}}, VI_SUCCESS, K / 4 + 5},
      {"second chunk fails", 1, 3 * K, 1, 1, false, {{0x100, 0, K}, {0x100 + K, K, K}}, VI_ERROR_TMO, K},
      {"abort between chunks", 1, 3 * K, 1, -1, true, {{0x100, 0, K}}, VI_ERROR_ABORT, K},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    AsyncSession s;
    s.driver().source_increment = row.source_increment;
    s.driver().fail_move_at = row.fail_at;
    s.driver().abort_in_first_move = row.abort_in_first;
    // Device (space 1) at 0x100 to local memory at 0: the destination is local.
    ASSERT_EQ(s.Start(kOpMove, row.count, row.width, 1, 0x100, 0, 0), VI_SUCCESS);
    const auto seen = s.WaitForCompletions(1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(s.driver().moves, row.calls);
    // The buffer is the local side, at address 0.
    EXPECT_EQ(std::make_tuple(seen[0].status, seen[0].return_count, seen[0].buffer),
              std::make_tuple(row.status, row.moved, ViAddr{}));
  }
  // Done at once: the local side (source first; none between two devices),
  // and nothing moved when the driver fails.
  const struct {
    uint16_t source_space, destination_space;
    bool fails;
    uintptr_t buffer;
  } small[] = {{0, 1, false, 0x1000}, {1, 0, false, 0x2000}, {1, 1, true, 0}};
  AsyncSession s;
  for (const auto& row : small) {
    s.driver().moves.clear();
    s.driver().fail_move_at = row.fails ? 0 : -1;
    ASSERT_EQ(s.Start(kOpMoveEx, 16, 1, row.source_space, 0x1000, row.destination_space, 0x2000),
              VI_SUCCESS_SYNC);
    const auto seen = s.completions().back();
    EXPECT_EQ(std::make_tuple(seen.buffer, seen.return_count, seen.status),
              std::make_tuple(reinterpret_cast<ViAddr>(row.buffer), row.fails ? 0u : 16u,
                              row.fails ? VI_ERROR_TMO : VI_SUCCESS));
  }
}

TEST_F(AsyncTest, AJobQueuedByAHandlerOnTheJobThreadRunsAfterTheHandlerReturns) {
  AsyncSession s;
  std::atomic<bool> first_handler_returned{false}, driver_saw_it{false};
  s.on_completion = [&](size_t n) {
    if (n != 1) return;
    EXPECT_EQ(s.Start(kOpRead, 600), VI_SUCCESS);  // the job thread is not time-critical
    s.driver().on_read = [&] { driver_saw_it = first_handler_returned.load(); };
    first_handler_returned = true;
  };
  ASSERT_EQ(s.Start(kOpRead, 512), VI_SUCCESS);
  const auto seen = s.WaitForCompletions(2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_TRUE(driver_saw_it);
  EXPECT_EQ(seen[1].return_count, 599u);
  EXPECT_EQ(seen[1].thread, seen[0].thread);
}

TEST_F(AsyncTest, CleanupWaitsForAThreadThatEndsAndCancelsOneStuckInTheDriver) {
  for (const bool stuck : {false, true}) {
    SCOPED_TRACE(stuck);
    AsyncSession s;
    s.driver().block = true;
    ASSERT_EQ(s.Start(kOpRead, 4096), VI_SUCCESS);
    while (!s.driver().in_read) pf::SleepMs(1);
    s.get()->closing = 1;  // as the core marks a session it closes
    std::thread finisher([&] {
      pf::SleepMs(20);
      if (!stuck) s.driver().released = true;
    });
    zyvisaAsyncThreadCleanup(s.get(), stuck ? 50 : 10000);
    finisher.join();
    // Windows terminates the thread where it is, without unwinding it.
    EXPECT_EQ(s.driver().unwound.load(), stuck && CancellationUnwinds());
    EXPECT_EQ(s.driver().returned.load(), !stuck);
    EXPECT_EQ(std::make_tuple(s.get()->job_thread, s.get()->async_semaphore, s.get()->pending_job),
              std::make_tuple(nullptr, nullptr, nullptr));
    // The job's gate entry is gone either way, and no lock stayed with the
    // thread: another thread gets each at once.
    EXPECT_EQ(s.get()->lock_oper_depth, 0u);
    std::thread([&] {
      for (ViSemaphore held : {zyvisaGetObjectListMutex(objects::kIoSessionKind), s.get()->event_semaphore}) {
        ViUInt16 got = 0;
        EXPECT_EQ(visaSemAcquire(held, 0, &got), VI_SUCCESS);
        visaSemRelease(held, &got);
      }
    }).join();
  }
}

// Several sessions hand jobs to their threads at once while handlers run.
TEST_F(AsyncTest, SessionsHandJobsOverConcurrently) {
  AsyncSession sessions[4];
  std::vector<std::thread> callers;
  for (AsyncSession& s : sessions) {
    callers.emplace_back([&s] {
      for (size_t n = 1; n <= 40; ++n) {
        // Alternately large and small: the small ones complete on this thread.
        EXPECT_EQ(s.Start(kOpRead, n % 2 != 0 ? 1024 : 16), n % 2 != 0 ? VI_SUCCESS : VI_SUCCESS_SYNC);
        ASSERT_EQ(s.WaitForCompletions(n).size(), n);
      }
    });
  }
  for (auto& caller : callers) caller.join();
  for (AsyncSession& s : sessions) {
    for (const auto& seen : s.completions()) EXPECT_EQ(seen.status, VI_SUCCESS);
  }
}

// With the call trace on, each job the thread performs is one record. In a
// child: the trace library is looked for once per process.
ZYVISA_SCENARIO(AsyncJobTraced) {
  ScopedEnvironment library("ZYVISA_SPY_LIBRARY", ZYVISA_SPY_RECORDER);
  static ViUInt32 spy_on = 1;
  if (zyvisa::lifecycle::Startup() != 1) return 10;
  zyvisaSetSpyModePtr(&spy_on);
  std::string expected;
  {
    AsyncSession s;
    if (s.Start(kOpRead, 512) != VI_SUCCESS || s.WaitForCompletions(1).size() != 1) return 11;
    expected = "cookie 3 2817 1 Performing async I/O\nparam 0 vi 35 " + std::to_string(s.handle()) +
               "\nparam 1 jobId 49 " + std::to_string(s.last_job_id()) +
               "\nend params 2\nstatus 0 - 23 0 1\nend returns 1\n";
  }
  auto records = reinterpret_cast<const char* (*)()>(
      pf::LibrarySymbol(pf::LibraryLoad(ZYVISA_SPY_RECORDER), "ZySpyTestRecords"));
  const std::string recorded = records != nullptr ? records() : "";
  zyvisa::lifecycle::Shutdown();
  if (recorded.find(expected) != std::string::npos) return 0;
  std::fprintf(stderr, "recorded:\n%s\nexpected within:\n%s", recorded.c_str(), expected.c_str());
  return 12;
}

TEST(AsyncTrace, TheJobThreadRecordsEachJobWithItsStatus) {
  TestMachine machine;
  EXPECT_EQ(Child("AsyncJobTraced", {}).Wait(), 0);
}

// ---------------------------------------------------------------- unloading

std::atomic<bool> g_driver_in_read{false}, g_driver_release{false};

ViStatus BlockingRead(ViSession, ViAddr, ViUInt32 count, ViUInt32* return_count) {
  g_driver_in_read = true;
  while (!g_driver_release) pf::SleepMs(1);
  *return_count = count;
  return VI_SUCCESS;
}

#define ZYVISA_CALL(library, name) reinterpret_cast<decltype(&name)>(pf::LibrarySymbol(library, #name))

// The user unloads the library while its job thread is in the driver: the
// thread's reference keeps it loaded until the job is done and the thread has
// left the library's code, and then it goes, its last-process shutdown
// deleting the machine's backing file args[0]. On the real shared library
// (the test program's own copy is never unloaded).
ZYVISA_SCENARIO(AsyncUnloadUnderJob) {
  void* library = pf::LibraryLoad(ZYVISA_SO_PATH);
  if (library == nullptr || !FileExists(args[0])) return 10;
  ViUInt32 handle = 0;
  auto* s = static_cast<objects::IoSession*>(ZYVISA_CALL(library, zyvisaCreateObject)(
      objects::kIoSessionKind, sizeof(objects::IoSession), &handle));
  if (s == nullptr) return 11;
  s->handle = handle;
  s->owner_process_id = pf::CurrentProcessId();
  s->max_queue_length = 4;
  const ViEventType type = VI_EVENT_IO_COMPLETION;
  ZYVISA_CALL(library, visaSemAlloc)("Session Event", ZYVISA_SEM_PROCESS, VI_TRUE, &s->event_semaphore);
  ZYVISA_CALL(library, visaSupportEvents)(handle, 1, &type, nullptr);
  s->queue_for_queuing[0] =
      static_cast<objects::EventQueue*>(ZYVISA_CALL(library, zyvisaCreateQueue)(s, type));
  s->enabled_mechanisms[0] = VI_QUEUE;
  objects::OperTable table{};
  table.slots[objects::kSlotRead] = reinterpret_cast<ViAddr>(&BlockingRead);
  s->oper_table = &table;
  ZYVISA_CALL(library, zyvisaRsrcCreateResource)(s);
  ZYVISA_CALL(library, zyvisaRsrcCreateSession)(s);
  ViUInt16 entered = 0;
  if (ZYVISA_CALL(library, visaEnterLockOper)(handle, &entered) != VI_SUCCESS) return 12;
  ViJobId job = s->current_job_id = 0x04020001;
  char buffer[4096];
  if (ZYVISA_CALL(library, visaReadAsyncFake)(handle, buffer, sizeof buffer, &job) != VI_SUCCESS) {
    return 13;
  }
  while (!g_driver_in_read) pf::SleepMs(1);
  const auto thread = reinterpret_cast<pf::ThreadHandle>(s->job_thread);
  pf::LibraryFree(library);
  if (!FileExists(args[0])) return 14;  // unloaded under the job thread
  // The application closes the session meanwhile, so the thread ends after
  // this job and drops its reference.
  s->closing = 1;
  g_driver_release = true;
  for (int waited = 0; FileExists(args[0]); ++waited) {
    if (waited == 10000) return 15;
    pf::SleepMs(1);
  }
  // Nobody is left to clean the session up: the thread is reaped here.
  return pf::ThreadJoin(thread, 5000) ? 0 : 16;
}

TEST(AsyncUnload, TheLibraryStaysUntilItsJobThreadHasLeftIt) {
  TestMachine machine;
  EXPECT_EQ(Child("AsyncUnloadUnderJob", {machine.backing_file()}).Wait(), 0);
}

// Each level's nice value maps back to it, and the edges of each band.
TEST(ThreadPriority, NiceValuesMapToLevels) {
  const std::pair<int, int> rows[] = {{-20, 15}, {-19, 2}, {-10, 2}, {-9, 1}, {-5, 1}, {-4, 0},
                                      {4, 0},    {5, -1},  {9, -1},  {10, -2}, {18, -2}, {19, -15}};
  for (const auto& [nice, level] : rows) {
    EXPECT_EQ(pf::PriorityFromNice(nice), level) << nice;
    EXPECT_EQ(pf::PriorityFromNice(pf::NiceForPriority(level)), level);
  }
}

}  // namespace
