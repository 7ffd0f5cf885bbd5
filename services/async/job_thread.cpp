// The job thread of a session: one per session that used emulated
// asynchronous I/O, handed its jobs through the session's async semaphore,
// performing each with the driver's synchronous operation and raising its
// completion; and the cleanup that stops it when the session closes.
#include <cstdio>
#include <cstdlib>

#include "async/async_job.h"
#include "events/call_trace.h"
#include "events/event_internal.h"
#include "events/lock_gate.h"
#include "objects/object_table.h"
#include "objects/oper_table.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"
#include "zyvisa_sem.h"

namespace zyvisa::async {

namespace {

using objects::EventNode;
using objects::IoSession;

// The viGetAttribute slot of an operation table.
constexpr size_t kSlotGetAttribute = 6;
// How long cleanup waits for a cancelled thread to unwind. Cancellation acts
// only inside the driver's call; a thread held elsewhere (a user handler that
// never returns) is given up after this.
constexpr uint32_t kCancelGraceMs = 2000;

template <typename Proc>
Proc Slot(const IoSession& session, size_t slot) noexcept {
  if (session.oper_table == nullptr) return nullptr;
  return reinterpret_cast<Proc>(session.oper_table->slots[slot]);
}

// ---------------------------------------------------------------- driver calls

// The driver call made with cancellation allowed: a call that blocks in a
// sleep, poll or read can then be ended by cleanup. The job thread holds none
// of the library's locks here, so a cancellation leaves none held.
struct ReadCall {
  ZyvisaReadProc proc;
  ViSession session;
  ViAddr buffer;
  ViUInt32 count;
  ViUInt32 return_count;
  ViStatus status;
};

void RunReadCall(void* raw) {
  auto* call = static_cast<ReadCall*>(raw);
  call->status = call->proc(call->session, call->buffer, call->count, &call->return_count);
}

struct MoveCall {
  ZyvisaMoveProc proc;
  ViSession session;
  MoveArgs args;
  ViStatus status;
};

void RunMoveCall(void* raw) {
  auto* call = static_cast<MoveCall*>(raw);
  const MoveArgs& a = call->args;
  call->status = call->proc(call->session, a.source_space, a.source_offset, a.source_width,
                            a.destination_space, a.destination_offset, a.destination_width,
                            a.count);
}

// Not noexcept, like every frame between the thread's start and the driver:
// a cancellation unwinds through them.
ViStatus PerformReadWrite(IoSession& session, const AsyncJob& job, size_t slot,
                          uint64_t* return_count) {
  ReadCall call{Slot<ZyvisaReadProc>(session, slot), session.handle, job.buffer,
                static_cast<ViUInt32>(job.count), 0, VI_ERROR_NSUP_OPER};
  if (call.proc != nullptr) platform::CallCancellable(&RunReadCall, &call);
  *return_count = call.return_count;
  return call.status;
}

// 1 for local memory; else the session's increment attribute, 1 when it
// cannot be read.
ViInt32 Increment(IoSession& session, ViUInt16 space, ViAttr attribute) {
  if (space == VI_LOCAL_SPACE) return 1;
  auto get = Slot<ZyvisaSessionGetAttributeProc>(session, kSlotGetAttribute);
  ViInt32 value = 1;
  if (get == nullptr || get(session.handle, attribute, &value) != VI_SUCCESS) return 1;
  return value;
}

ViStatus PerformMove(IoSession& session, AsyncJob& job, uint64_t* moved) {
  *moved = 0;
  // The core validates widths before a move gets here; a width of 0 would
  // give no chunk size at all.
  if (job.source_width == 0) return VI_ERROR_INV_PARAMETER;
  const ViInt32 source_increment = Increment(session, job.source_space, VI_ATTR_SRC_INCREMENT);
  const ViInt32 destination_increment =
      Increment(session, job.destination_space, VI_ATTR_DEST_INCREMENT);
  const uint64_t chunk = kMoveChunkBytes / job.source_width;
  MoveCall call{};
  call.proc = Slot<ZyvisaMoveProc>(
      session, job.extended != 0 ? objects::kSlotMoveEx : objects::kSlotMove);
  if (call.proc == nullptr) return VI_ERROR_NSUP_OPER;
  call.session = session.handle;
  call.args.source_space = job.source_space;
  call.args.source_width = job.source_width;
  call.args.destination_space = job.destination_space;
  call.args.destination_width = job.destination_width;
  uint64_t remaining = job.count;
  for (;;) {
    call.args.source_offset = job.source_offset;
    call.args.destination_offset = job.destination_offset;
    call.args.count = remaining < chunk ? remaining : chunk;
    platform::CallCancellable(&RunMoveCall, &call);
    if (call.status < 0) return call.status;
    *moved += call.args.count;
    if (remaining <= chunk) return call.status;
    if (job.abort_request.load(std::memory_order_relaxed) != 0) return VI_ERROR_ABORT;
    remaining -= chunk;
    // The products are 32-bit: a negative increment steps back modulo 2^32,
    // as the offsets of a 32-bit bus do.
    job.source_offset += static_cast<uint32_t>(source_increment) * kMoveChunkBytes;
    job.destination_offset += static_cast<uint32_t>(destination_increment) * kMoveChunkBytes;
  }
}

bool IsJobOperation(uint16_t operation) noexcept {
  return operation == kOperRead || operation == kOperWrite || operation == kOperMove ||
         operation == kOperMoveEx;
}

ViStatus Perform(IoSession& session, AsyncJob& job, uint64_t* return_count) {
  *return_count = 0;
  // The job's own id first: the core stores the same id in the session's
  // current job id, but a refused call made while this job waited may have
  // overwritten that field since.
  auto operation = static_cast<uint16_t>(job.job_id >> 16);
  if (!IsJobOperation(operation)) operation = static_cast<uint16_t>(session.current_job_id >> 16);
  switch (operation) {
    case kOperRead:
      return PerformReadWrite(session, job, objects::kSlotRead, return_count);
    case kOperWrite:
      return PerformReadWrite(session, job, objects::kSlotWrite, return_count);
    case kOperMove:
    case kOperMoveEx:
      return PerformMove(session, job, return_count);
    default:
      return VI_ERROR_SYSTEM_ERROR;
  }
}

// ---------------------------------------------------------------- completion

// The job is over: its record goes, the session may take the next one, and
// the completion is raised (which also leaves the gate the operation entered
// and runs the handlers, here on the job thread).
void CompleteJob(IoSession& session, AsyncJob* job, uint64_t return_count, ViStatus status) {
  FillCompletion(*job, return_count, status);
  EventNode* queued = job->queued_completion;
  EventNode* handler = job->handler_completion;
  std::free(job);
  {
    // Cleared before the raise, so that a handler can queue the next job.
    objects::ListLock lock(objects::kIoSessionKind);
    session.pending_job = nullptr;
  }
  if (visaRaiseEvent(session.handle, queued, handler) < 0 && (queued != nullptr || handler != nullptr)) {
    // A session that closes meanwhile refuses the raise, and with it the exit
    // from the gate: leave it here, or this process would stay counted as
    // operating on the resource and hold other processes' lock requests back.
    zyvisa::events::LeaveLockGate(&session);
    session.current_job_id = 0;
  }
}

void JobThreadMain(void* argument) {
  IoSession& session = *static_cast<IoSession*>(argument);
  // Held while the thread runs: a user may unload the library while a job is
  // still in the driver.
  void* const pin = platform::LibraryPinSelf();
  const ViSemaphore semaphore = session.async_semaphore;
  AsyncJob* job = PendingJob(session);
  while (job != nullptr) {
    const uint64_t cookie =
        events::SpyModeOn() ? events::TraceAsyncJob(session.handle, job->job_id) : 0;
    uint64_t return_count = 0;
    const ViStatus status = Perform(session, *job, &return_count);
    if (cookie != 0) events::TraceReturn(cookie, status);
    // Held from here until the next hand-over: a queueing thread's release
    // is what lets the wait below through.
    ViUInt16 held = VI_FALSE;
    visaSemAcquire(semaphore, runtime::ServiceLockTimeout(), &held);
    CompleteJob(session, job, return_count, status);
    if (session.closing.load(std::memory_order_relaxed) != 0) {
      visaSemRelease(semaphore, &held);
      break;
    }
    // The semaphore is not recursive: this waits for zyvisaAsyncThreadQueue
    // (or cleanup's wake-up without a job) to release it.
    ViUInt16 woken = VI_FALSE;
    if (visaSemAcquire(semaphore, runtime::ServiceLockTimeout(), &woken) != VI_SUCCESS) break;
    visaSemRelease(semaphore, &woken);
    job = PendingJob(session);
  }
  // The reference goes when the thread has left this module's code for good:
  // returning into it after dropping the last reference would crash.
  platform::ThreadReleaseLibraryAtExit(pin);
}

// ---------------------------------------------------------------- queueing

// The part of the hand-over made under the session list semaphore; *wake is
// set to the semaphore to release once it is given back.
ViStatus HandOverLocked(IoSession* session, AsyncJob* job, ViSemaphore* wake) {
  const ViSession handle = session->handle;
  objects::ListLock lock(objects::kIoSessionKind);
  if (!lock.held()) return VI_ERROR_SYSTEM_ERROR;
  if (session->pending_job != nullptr) return job != nullptr ? VI_ERROR_IN_PROGRESS : VI_SUCCESS;
  if (session->job_thread != nullptr) {
    session->pending_job = job;
    *wake = session->async_semaphore;
    return VI_SUCCESS;
  }
  // No thread to wake: a wake-up without a job has nothing to do.
  if (job == nullptr) return VI_SUCCESS;
  session->pending_job = job;
  if (session->async_semaphore == nullptr) {
    char name[80];
    std::snprintf(name, sizeof name, "Session 0x%08lX Async Semaphore",
                  static_cast<unsigned long>(handle));
    if (visaSemAlloc(name, ZYVISA_SEM_PROCESS, VI_FALSE, &session->async_semaphore) !=
        VI_SUCCESS) {
      session->async_semaphore = nullptr;
      session->pending_job = nullptr;
      return VI_ERROR_QUEUE_ERROR;
    }
  }
  // Below "highest" the job thread gets "highest"; from there on it gets
  // "time critical", and a job queued from it then completes synchronously.
  const int level = platform::CurrentThreadPriority() < platform::kPriorityHighest
                        ? platform::kPriorityHighest
                        : platform::kPriorityTimeCritical;
  platform::ThreadHandle thread = 0;
  uint32_t thread_id = 0;
  // The new thread first takes the pending job under the list semaphore that
  // is held here, so it sees the fields set below.
  if (!platform::ThreadCreate(&JobThreadMain, session, level, &thread, &thread_id)) {
    zyvisaSemCloseMutex(session->async_semaphore);
    session->async_semaphore = nullptr;
    session->pending_job = nullptr;
    return VI_ERROR_QUEUE_ERROR;
  }
  session->job_thread = reinterpret_cast<void*>(thread);
  session->job_thread_id = thread_id;
  return VI_SUCCESS;
}

// VI_SUCCESS, or the status the job fails with.
ViStatus HandOver(ViSession handle, AsyncJob* job) {
  IoSession* session = objects::LookupIoSession(handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  ViSemaphore wake = nullptr;
  const ViStatus status = HandOverLocked(session, job, &wake);
  // Released after the list semaphore: the woken thread takes that semaphore
  // first thing, and would otherwise go back to sleep on it at once. The
  // async semaphore outlives this call: cleanup closes it only after the
  // thread has ended, and no job is queued on a session being closed.
  // A second release before the thread came round finds the semaphore free
  // and changes nothing.
  if (wake != nullptr) visaSemRelease(wake, nullptr);
  return status;
}

// A job that could not be queued completes at once with the failure, so that
// the application gets one completion per job whatever happened.
void FailJob(ViSession handle, AsyncJob* job, ViStatus failure) noexcept {
  FillCompletion(*job, 0, failure);
  EventNode* queued = job->queued_completion;
  EventNode* handler = job->handler_completion;
  std::free(job);
  visaRaiseEvent(handle, queued, handler);
}

}  // namespace

void FillCompletion(const AsyncJob& job, uint64_t return_count, ViStatus status) noexcept {
  for (objects::EventNode* node : {job.queued_completion, job.handler_completion}) {
    if (node == nullptr) continue;
    node->return_count = return_count;
    node->buffer = job.buffer;
    node->job_id = job.job_id;
    node->status = status;
  }
}

AsyncJob* PendingJob(IoSession& session) noexcept {
  objects::ListLock lock(objects::kIoSessionKind);
  return lock.held() ? static_cast<AsyncJob*>(session.pending_job) : nullptr;
}

}  // namespace zyvisa::async

namespace async = zyvisa::async;
namespace objects = zyvisa::objects;
namespace platform = zyvisa::platform;

extern "C" ZYVISA_EXPORT ViStatus zyvisaAsyncThreadQueue(ViSession session,
                                                         ViAddr job) noexcept {
  auto* record = static_cast<async::AsyncJob*>(job);
  const ViStatus failure = async::HandOver(session, record);
  if (failure != VI_SUCCESS && record != nullptr) async::FailJob(session, record, failure);
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT void zyvisaAsyncThreadCleanup(ViAddr session_object,
                                                       ViUInt32 timeout) noexcept {
  if (session_object == nullptr) return;
  auto& session = *static_cast<objects::IoSession*>(session_object);
  void* thread_field = nullptr;
  {
    objects::ListLock lock(objects::kIoSessionKind);
    thread_field = session.job_thread;
  }
  bool ended = true;
  if (thread_field != nullptr) {
    const auto thread = reinterpret_cast<platform::ThreadHandle>(thread_field);
    ended = platform::ThreadJoin(thread, 0);
    if (!ended) {
      // The wake-up also serves while the library unloads: a thread waiting for
      // its next job cannot be cancelled there (it would leave the semaphore's
      // state half changed), only woken, and the list semaphore is then tried
      // without waiting.
      zyvisaAsyncThreadQueue(session.handle, nullptr);
      const bool unloading = zyvisa::runtime::State().unloading.load() != 0;
      if (!unloading) ended = platform::ThreadJoin(thread, timeout);
    }
    if (!ended) {
      platform::ThreadCancel(thread);
      ended = platform::ThreadJoin(thread, async::kCancelGraceMs);
    }
    if (!ended) platform::ThreadDetach(thread);
    session.job_thread = nullptr;
    session.job_thread_id = 0;
  }
  if (!ended) {
    // The thread still runs (held outside the driver's call) and may yet use
    // the semaphore and its job: both stay, which leaks them rather than
    // letting the thread touch freed memory.
    return;
  }
  // A job the thread never completed (cancelled in the driver, or handed over
  // as the thread ended) entered the gate when it started: leave it, as its
  // completion would have.
  if (auto* leftover = async::PendingJob(session)) {
    std::free(leftover);
    {
      objects::ListLock lock(objects::kIoSessionKind);
      session.pending_job = nullptr;
    }
    zyvisa::events::LeaveLockGate(&session);
    session.current_job_id = 0;
  }
  if (session.async_semaphore != nullptr) {
    zyvisaSemCloseMutex(session.async_semaphore);
    session.async_semaphore = nullptr;
  }
}
