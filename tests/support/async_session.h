// A session set up as the core does for emulated asynchronous I/O, over a fake
// synchronous driver whose answers a test sets: the I/O completion enabled for
// the queue and a handler that records every completion. Shared by the
// asynchronous tests and benchmarks.
#pragma once


#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "support/test_machine.h"

#include "async/async_job.h"
#include "objects/object_layouts.h"
#include "objects/oper_table.h"
#include "platform/platform.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"
#include "zyvisa_locking.h"
#include "zyvisa_objects.h"
#include "zyvisa_sem.h"

namespace zyvisa::test {

constexpr uint16_t kOpRead = 0x402;
constexpr uint16_t kOpWrite = 0x404;
constexpr uint16_t kOpMove = 0x50E;
constexpr uint16_t kOpMoveEx = 0x520;

class AsyncSession {
 public:
  using IoSession = objects::IoSession;
  struct MoveCall {
    uint64_t source, destination, count;
    bool operator==(const MoveCall& o) const {
      return std::tie(source, destination, count) == std::tie(o.source, o.destination, o.count);
    }
  };
  struct Completion {
    uint32_t thread;
    int level;
    ViStatus status;
    uint64_t return_count;
    ViJobId job_id;
    ViAddr buffer;
  };

  // How the fake driver answers, and what it saw.
  struct Driver {
    std::atomic<bool> block{false}, released{false};  // read waits (in sleeps) until released
    std::atomic<bool> in_read{false}, returned{false}, unwound{false};
    int32_t source_increment = 1;
    int fail_move_at = -1;  // index of the move call that fails with VI_ERROR_TMO
    bool abort_in_first_move = false;
    std::function<void()> on_read;
    std::vector<MoveCall> moves;

    std::vector<MoveCall> Moves() {
      std::lock_guard<std::mutex> guard(mutex);
      return moves;
    }
    void WaitUntilInRead() {
      while (!in_read) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::mutex mutex;
  };

  // Called on the completing thread after the n-th completion was recorded.
  std::function<void(size_t n)> on_completion;

  explicit AsyncSession(uint16_t queue_length = 100) {
    session_ = static_cast<IoSession*>(
        zyvisaCreateObject(objects::kIoSessionKind, sizeof(IoSession), &handle_));
    if (session_ == nullptr) return;
    Registry()[handle_ & 0xFFF] = this;
    session_->handle = handle_;
    session_->max_queue_length = queue_length;
    session_->owner_process_id = platform::CurrentProcessId();
    session_->identity_c = handle_;  // a resource of its own
    zyvisaRsrcCreateResource(session_);
    zyvisaRsrcCreateSession(session_);
    std::snprintf(session_->resource_name, sizeof session_->resource_name, "ASRL%u::INSTR",
                  handle_);
    char name[64];
    std::snprintf(name, sizeof name, "Session 0x%08X Event", handle_);
    visaSemAlloc(name, ZYVISA_SEM_PROCESS, VI_TRUE, &session_->event_semaphore);
    const ViEventType type = VI_EVENT_IO_COMPLETION;
    visaSupportEvents(handle_, 1, &type, nullptr);
    session_->queue_for_queuing[0] =
        static_cast<objects::EventQueue*>(zyvisaCreateQueue(session_, type));
    session_->queue_for_handlers[0] =
        static_cast<objects::EventQueue*>(zyvisaCreateQueue(session_, type));
    handler_ = {&Handler, reinterpret_cast<uint64_t>(this)};
    session_->handler_list[0] = &handler_;
    session_->handler_count[0] = 1;
    session_->enabled_mechanisms[0] = VI_QUEUE | VI_HNDLR;
    table_.slots[objects::kSlotRead] = reinterpret_cast<ViAddr>(&Read);
    table_.slots[objects::kSlotWrite] = reinterpret_cast<ViAddr>(&Read);
    table_.slots[objects::kSlotMove] = reinterpret_cast<ViAddr>(&Move);
    table_.slots[objects::kSlotMoveEx] = reinterpret_cast<ViAddr>(&Move);
    table_.slots[6] = reinterpret_cast<ViAddr>(&GetAttribute);  // viGetAttribute
    session_->oper_table = &table_;
  }
  ~AsyncSession() {
    if (session_ == nullptr) return;
    session_->closing = 1;
    driver_.released = true;
    zyvisaAsyncThreadCleanup(session_, 10000);
    zyvisaUnlockAllSessionLocks(session_);
    if (zyvisaRsrcFreeSession(session_) == 0) zyvisaRsrcFreeResource(session_);
    zyvisaFreeQueue(session_->queue_for_queuing[0]);
    zyvisaFreeQueue(session_->queue_for_handlers[0]);
    visaSemFree(session_->event_semaphore);
    Registry()[handle_ & 0xFFF] = nullptr;
    zyvisaFreeObject(objects::kIoSessionKind, session_, static_cast<ViUInt16>(handle_));
  }
  AsyncSession(const AsyncSession&) = delete;
  AsyncSession& operator=(const AsyncSession&) = delete;

  IoSession* get() const { return session_; }
  ViSession handle() const { return handle_; }
  Driver& driver() { return driver_; }
  ViJobId last_job_id() const { return job_id_; }

  // What the core does for viReadAsync and the others: enter the gate, a new
  // job id, the operation-table entry, and out of the gate again when the
  // entry refused (the completion leaves it otherwise). Read and write
  // transfer count bytes; a move count elements of width bytes.
  ViStatus Start(uint16_t op, uint64_t count, uint16_t width = 1, uint16_t source_space = 0,
                 uint64_t source = 0x1000, uint16_t destination_space = 1,
                 uint64_t destination = 0x2000) {
    ViUInt16 entered = 0;
    const ViStatus gate = visaEnterLockOper(handle_, &entered);
    if (gate != VI_SUCCESS) return gate;
    const ViStatus status = CallEntry(op, count, width, source_space, source, destination_space,
                                      destination);
    if (status < 0) visaExitLockOper(handle_, entered);
    return status;
  }

  std::vector<Completion> completions() {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }
  // Waits (at most 10 s) until n completions were recorded.
  std::vector<Completion> WaitForCompletions(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= n; });
    return seen_;
  }

 private:
  ViStatus CallEntry(uint16_t op, uint64_t count, uint16_t width, uint16_t source_space,
                     uint64_t source, uint16_t destination_space, uint64_t destination) {
    job_id_ = (ViJobId(op) << 16) | (++jobs_ & 0xFFFF);
    session_->current_job_id = job_id_;
    switch (op) {
      case kOpRead:
        return visaReadAsyncFake(handle_, buffer_, static_cast<ViUInt32>(count), &job_id_);
      case kOpWrite:
        return visaWriteAsyncFake(handle_, buffer_, static_cast<ViUInt32>(count), &job_id_);
      case kOpMove:
        return visaMoveAsyncFake(handle_, source_space, source, width, destination_space,
                                 destination, width, count, &job_id_);
      default:
        return visaMoveAsyncExFake(handle_, source_space, source, width, destination_space,
                                   destination, width, count, &job_id_);
    }
  }

  static AsyncSession** Registry() {
    static AsyncSession* sessions[0x1000];
    return sessions;
  }
  static AsyncSession& Of(ViSession handle) { return *Registry()[handle & 0xFFF]; }

  static ViStatus Handler(ViSession, ViEventType, ViUInt32 event, ViUInt64 user) {
    auto* self = reinterpret_cast<AsyncSession*>(user);
    auto* node = static_cast<objects::EventNode*>(zyvisaValidateEvent(event));
    size_t n = 0;
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->seen_.push_back({platform::CurrentThreadId(), platform::CurrentThreadPriority(),
                             node->status, node->return_count, node->job_id, node->buffer});
      n = self->seen_.size();
    }
    if (self->on_completion) self->on_completion(n);
    self->changed_.notify_all();
    return VI_SUCCESS;
  }

  // Not noexcept: a cancellation of the job thread unwinds through it.
  static ViStatus Read(ViSession session, ViAddr, ViUInt32 count, ViUInt32* return_count) {
    Driver& d = Of(session).driver_;
    struct Unwound {
      Driver& d;
      ~Unwound() {
        if (!d.returned) d.unwound = true;
      }
    } unwound{d};
    d.in_read = true;
    // A cancellation point (poll() on POSIX), as in a driver waiting for its
    // device. (Not sleep_for: the address sanitizer of this compiler misreads
    // the stack that a cancellation unwinds out of its frame.)
    while (d.block && !d.released) test::SleepInCancellationPoint(1);
    if (d.on_read) d.on_read();
    *return_count = count - 1;
    d.returned = true;
    return VI_SUCCESS;
  }

  static ViStatus Move(ViSession session, ViUInt16, ViUInt64 source, ViUInt16, ViUInt16,
                       ViUInt64 destination, ViUInt16, ViUInt64 count) {
    AsyncSession& self = Of(session);
    Driver& d = self.driver_;
    std::lock_guard<std::mutex> guard(d.mutex);
    const int index = static_cast<int>(d.moves.size());
    d.moves.push_back({source, destination, count});
    if (index == 0 && d.abort_in_first_move) {
      static_cast<async::AsyncJob*>(self.session_->pending_job)->abort_request = 1;
    }
    return index == d.fail_move_at ? VI_ERROR_TMO : VI_SUCCESS;
  }

  static ViStatus GetAttribute(ViSession session, ViAttr attribute, ViAddr value) {
    if (attribute != VI_ATTR_SRC_INCREMENT && attribute != VI_ATTR_DEST_INCREMENT) {
      return VI_ERROR_NSUP_OPER;
    }
    *static_cast<ViInt32*>(value) =
        attribute == VI_ATTR_SRC_INCREMENT ? Of(session).driver_.source_increment : 1;
    return VI_SUCCESS;
  }

  IoSession* session_ = nullptr;
  ViUInt32 handle_ = 0;
  ViJobId job_id_ = 0;
  uint32_t jobs_ = 0;
  objects::OperTable table_{};
  objects::HandlerEntry handler_{};
  Driver driver_;
  char buffer_[8];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Completion> seen_;
};

}  // namespace zyvisa::test
