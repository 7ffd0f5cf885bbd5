// The operation-table entries that give a synchronous driver asynchronous
// read, write and move: small transfers are done at once on the caller's
// thread, larger ones become a job for the session's job thread.
#include <cstdlib>

#include "async/async_job.h"
#include "events/emulated_async.h"
#include "objects/object_table.h"
#include "objects/oper_table.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"

namespace zyvisa::async {

namespace {

using objects::EventNode;
using objects::IoSession;

constexpr uint32_t kDefaultMinAsyncCount = 512;

// The machine's threshold from the services shared data; written once by the
// first process's start-up, read-only afterwards.
uint32_t MinAsyncCount() noexcept {
  const uint8_t* data = runtime::State().services_data;
  if (data == nullptr) return kDefaultMinAsyncCount;
  return reinterpret_cast<const runtime::ServicesSharedHead*>(data)->min_async_count;
}

// The synchronous path is taken below the threshold and, whatever the size,
// on a time-critical thread (a job thread of a caller of "highest" priority or
// above among them). The priority is asked for only above the threshold: on
// Linux that is a system call.
bool GoesToJobThread(uint64_t bytes) noexcept {
  return bytes >= MinAsyncCount() &&
         platform::CurrentThreadPriority() != platform::kPriorityTimeCritical;
}

struct Completion {
  EventNode* queued = nullptr;
  EventNode* handler = nullptr;
};

bool CreateCompletion(ViSession session, Completion* completion) noexcept {
  ViAddr queued = nullptr;
  ViAddr handler = nullptr;
  if (visaCreateEvent(session, VI_EVENT_IO_COMPLETION, &queued, &handler) < 0) return false;
  completion->queued = static_cast<EventNode*>(queued);
  completion->handler = static_cast<EventNode*>(handler);
  return true;
}

// Steps common to every asynchronous start: refuse a second job, make the
// record, allocate its completion. The caller fills in the transfer, then
// queues it.
// One emulated job at a time, whichever path it would take: a pending job's
// completion nodes stay allocated until it ends, and the next visaCreateEvent
// of the session would hand those same nodes out again.
bool JobPending(IoSession& session) noexcept {
  objects::ListLock lock(objects::kIoSessionKind);
  return lock.held() && session.job_thread != nullptr && session.pending_job != nullptr;
}

ViStatus NewJob(IoSession& session, AsyncJob** job_out) noexcept {
  if (JobPending(session)) return VI_ERROR_IN_PROGRESS;
  auto* job = static_cast<AsyncJob*>(std::calloc(1, sizeof(AsyncJob)));
  if (job == nullptr) return VI_ERROR_ALLOC;
  Completion completion;
  if (!CreateCompletion(session.handle, &completion)) {
    std::free(job);
    return VI_ERROR_QUEUE_ERROR;
  }
  job->queued_completion = completion.queued;
  job->handler_completion = completion.handler;
  *job_out = job;
  return VI_SUCCESS;
}

void RaiseCompletion(ViSession session, const Completion& completion, ViAddr buffer,
                     ViJobId job_id, uint64_t return_count, ViStatus status) noexcept {
  AsyncJob report{};
  report.queued_completion = completion.queued;
  report.handler_completion = completion.handler;
  report.buffer = buffer;
  report.job_id = job_id;
  FillCompletion(report, return_count, status);
  visaRaiseEvent(session, completion.queued, completion.handler);
}

ViStatus ReadOrWrite(ViSession handle, ViAddr buffer, ViUInt32 count, const ViJobId* job_id,
                     size_t slot) noexcept {
  IoSession* session = objects::LookupIoSession(handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  const ViJobId id = job_id != nullptr ? *job_id : 0;
  if (GoesToJobThread(count)) {
    AsyncJob* job = nullptr;
    const ViStatus status = NewJob(*session, &job);
    if (status != VI_SUCCESS) return status;
    job->buffer = buffer;
    job->count = count;
    job->job_id = id;
    return zyvisaAsyncThreadQueue(handle, job);
  }
  if (JobPending(*session)) return VI_ERROR_IN_PROGRESS;
  Completion completion;
  if (!CreateCompletion(handle, &completion)) return VI_ERROR_QUEUE_ERROR;
  ViUInt32 return_count = 0;
  ViStatus status = VI_ERROR_NSUP_OPER;
  if (session->oper_table != nullptr) {
    if (auto proc = reinterpret_cast<ZyvisaReadProc>(session->oper_table->slots[slot])) {
      status = proc(handle, buffer, count, &return_count);
    }
  }
  RaiseCompletion(handle, completion, buffer, id, return_count, status);
  // The transfer's own status travels in the completion event.
  return VI_SUCCESS_SYNC;
}

ViStatus Move(ViSession handle, const MoveArgs& args, const ViJobId* job_id,
              bool extended) noexcept {
  IoSession* session = objects::LookupIoSession(handle);
  if (session == nullptr) return VI_ERROR_INV_OBJECT;
  const ViJobId id = job_id != nullptr ? *job_id : 0;
  // The completion reports the local side of the move, if it has one.
  ViAddr reported = nullptr;
  if (args.source_space == VI_LOCAL_SPACE) {
    reported = reinterpret_cast<ViAddr>(args.source_offset);
  } else if (args.destination_space == VI_LOCAL_SPACE) {
    reported = reinterpret_cast<ViAddr>(args.destination_offset);
  }
  if (GoesToJobThread(uint64_t(args.source_width) * args.count)) {
    AsyncJob* job = nullptr;
    const ViStatus status = NewJob(*session, &job);
    if (status != VI_SUCCESS) return status;
    job->buffer = reported;
    job->count = args.count;
    job->job_id = id;
    job->extended = extended ? 1 : 0;
    job->source_space = args.source_space;
    job->source_offset = args.source_offset;
    job->source_width = args.source_width;
    job->destination_space = args.destination_space;
    job->destination_offset = args.destination_offset;
    job->destination_width = args.destination_width;
    return zyvisaAsyncThreadQueue(handle, job);
  }
  if (JobPending(*session)) return VI_ERROR_IN_PROGRESS;
  Completion completion;
  if (!CreateCompletion(handle, &completion)) return VI_ERROR_QUEUE_ERROR;
  ViStatus status = VI_ERROR_NSUP_OPER;
  if (session->oper_table != nullptr) {
    const size_t slot = extended ? objects::kSlotMoveEx : objects::kSlotMove;
    if (auto proc = reinterpret_cast<ZyvisaMoveProc>(session->oper_table->slots[slot])) {
      status = proc(handle, args.source_space, args.source_offset, args.source_width,
                    args.destination_space, args.destination_offset, args.destination_width,
                    args.count);
    }
  }
  RaiseCompletion(handle, completion, reported, id, status < 0 ? 0 : args.count, status);
  return VI_SUCCESS_SYNC;
}

}  // namespace

}  // namespace zyvisa::async

namespace async = zyvisa::async;


extern "C" ZYVISA_EXPORT ViStatus visaReadAsyncFake(ViSession session, ViAddr buffer,
                                                    ViUInt32 count, ViJobId* job_id) noexcept {
  return async::ReadOrWrite(session, buffer, count, job_id, zyvisa::objects::kSlotRead);
}

extern "C" ZYVISA_EXPORT ViStatus visaWriteAsyncFake(ViSession session, ViAddr buffer,
                                                     ViUInt32 count, ViJobId* job_id) noexcept {
  return async::ReadOrWrite(session, buffer, count, job_id, zyvisa::objects::kSlotWrite);
}

extern "C" ZYVISA_EXPORT ViStatus visaMoveAsyncFake(ViSession session, ViUInt16 source_space,
                                                    ViUInt64 source_offset, ViUInt16 source_width,
                                                    ViUInt16 destination_space,
                                                    ViUInt64 destination_offset,
                                                    ViUInt16 destination_width, ViUInt64 count,
                                                    ViJobId* job_id) noexcept {
  return async::Move(session,
                     {source_space, source_offset, source_width, destination_space,
                      destination_offset, destination_width, count},
                     job_id, false);
}

extern "C" ZYVISA_EXPORT ViStatus visaMoveAsyncExFake(
    ViSession session, ViUInt16 source_space, ViUInt64 source_offset, ViUInt16 source_width,
    ViUInt16 destination_space, ViUInt64 destination_offset, ViUInt16 destination_width,
    ViUInt64 count, ViJobId* job_id) noexcept {
  return async::Move(session,
                     {source_space, source_offset, source_width, destination_space,
                      destination_offset, destination_width, count},
                     job_id, true);
}

namespace zyvisa::async {
namespace {
// The events tell emulated completions from a driver's own by these entries.
// Registered when this file is linked in, which is whenever the entries are.
[[maybe_unused]] const bool g_entries_registered = [] {
  events::SetEmulatedAsyncEntry(events::kOperReadAsync, reinterpret_cast<const void*>(&::visaReadAsyncFake));
  events::SetEmulatedAsyncEntry(events::kOperWriteAsync, reinterpret_cast<const void*>(&::visaWriteAsyncFake));
  events::SetEmulatedAsyncEntry(events::kOperMoveAsync, reinterpret_cast<const void*>(&::visaMoveAsyncFake));
  events::SetEmulatedAsyncEntry(events::kOperMoveAsyncEx, reinterpret_cast<const void*>(&::visaMoveAsyncExFake));
  return true;
}();
}  // namespace
}  // namespace zyvisa::async
