// A session set up as the core does for emulated asynchronous I/O, over a fake
// synchronous driver whose answers a test sets: the I/O completion enabled for
// the queue and a handler that records every completion. Shared by the
// asynchronous tests and benchmarks.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "async/async_job.h"
#include "objects/oper_table.h"
#include "platform/platform.h"
#include "support/event_session.h"
#include "support/test_machine.h"
#include "zyvisa_async.h"
#include "zyvisa_locking.h"

namespace zyvisa::test {

constexpr uint16_t kOpRead = 0x402;
constexpr uint16_t kOpWrite = 0x404;
constexpr uint16_t kOpMove = 0x50E;
constexpr uint16_t kOpMoveEx = 0x520;

class AsyncSession : public EventSession {
 public:
  using MoveCall = std::array<uint64_t, 3>;  // source, destination, count
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
    std::vector<MoveCall> moves;  // read after the job's completion
  };

  // Called on the completing thread after the n-th completion was recorded.
  std::function<void(size_t n)> on_completion;

  AsyncSession() : EventSession(100, {VI_EVENT_IO_COMPLETION}) {
    if (get() == nullptr) return;
    Registry()[handle() & 0xFFF] = this;
    get()->owner_process_id = platform::CurrentProcessId();
    get()->identity_c = handle();  // a resource of its own
    zyvisaRsrcCreateResource(get());
    zyvisaRsrcCreateSession(get());
    Enable(VI_EVENT_IO_COMPLETION, VI_QUEUE | VI_HNDLR);
    Install(VI_EVENT_IO_COMPLETION, &Handler, reinterpret_cast<uint64_t>(this));
    table_.slots[objects::kSlotRead] = table_.slots[objects::kSlotWrite] =
        reinterpret_cast<ViAddr>(&Read);
    table_.slots[objects::kSlotMove] = table_.slots[objects::kSlotMoveEx] =
        reinterpret_cast<ViAddr>(&Move);
    table_.slots[6] = reinterpret_cast<ViAddr>(&GetAttribute);  // viGetAttribute
    get()->oper_table = &table_;
  }
  // The core's close, in its order.
  ~AsyncSession() {
    if (get() == nullptr) return;
    get()->closing = 1;
    driver_.released = true;
    zyvisaAsyncThreadCleanup(get(), 10000);
    zyvisaUnlockAllSessionLocks(get());
    if (zyvisaRsrcFreeSession(get()) == 0) zyvisaRsrcFreeResource(get());
    Close();
    Registry()[handle() & 0xFFF] = nullptr;
  }
  AsyncSession(const AsyncSession&) = delete;
  AsyncSession& operator=(const AsyncSession&) = delete;

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
    const ViStatus gate = visaEnterLockOper(handle(), &entered);
    if (gate != VI_SUCCESS) return gate;
    job_id_ = (ViJobId(op) << 16) | (++jobs_ & 0xFFFF);
    get()->current_job_id = job_id_;
    const auto read = op == kOpRead ? &visaReadAsyncFake : &visaWriteAsyncFake;
    const auto move = op == kOpMove ? &visaMoveAsyncFake : &visaMoveAsyncExFake;
    const ViStatus status =
        op == kOpRead || op == kOpWrite
            ? read(handle(), buffer_, static_cast<ViUInt32>(count), &job_id_)
            : move(handle(), source_space, source, width, destination_space, destination, width,
                   count, &job_id_);
    if (status < 0) visaExitLockOper(handle(), entered);
    return status;
  }

  std::vector<Completion> completions() { return WaitForCompletions(0); }
  // Waits (at most 10 s) until n completions were recorded.
  std::vector<Completion> WaitForCompletions(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= n; });
    return seen_;
  }

 private:
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
      ~Unwound() { d.unwound = !d.returned; }
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

  // Called on one thread at a time: the job thread, or the caller's.
  static ViStatus Move(ViSession session, ViUInt16, ViUInt64 source, ViUInt16, ViUInt16,
                       ViUInt64 destination, ViUInt16, ViUInt64 count) {
    AsyncSession& self = Of(session);
    Driver& d = self.driver_;
    const int index = static_cast<int>(d.moves.size());
    d.moves.push_back({source, destination, count});
    if (index == 0 && d.abort_in_first_move) {
      static_cast<async::AsyncJob*>(self.get()->pending_job)->abort_request = 1;
    }
    return index == d.fail_move_at ? VI_ERROR_TMO : VI_SUCCESS;
  }

  // The destination's increment is refused, and so taken as 1.
  static ViStatus GetAttribute(ViSession session, ViAttr attribute, ViAddr value) {
    if (attribute != VI_ATTR_SRC_INCREMENT) return VI_ERROR_NSUP_OPER;
    *static_cast<ViInt32*>(value) = Of(session).driver_.source_increment;
    return VI_SUCCESS;
  }

  ViJobId job_id_ = 0;
  uint32_t jobs_ = 0;
  objects::OperTable table_{};
  Driver driver_;
  char buffer_[8];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Completion> seen_;
};

}  // namespace zyvisa::test
