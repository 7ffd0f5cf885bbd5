// A session as the core would set it up for events: its object, its event
// semaphore, the supported types, queues for the enabled mechanisms and the
// installed handlers. Shared by the event tests and benchmarks.
#pragma once

#include <cstdio>
#include <cstring>
#include <vector>

#include "objects/object_layouts.h"
#include "zyvisa_events.h"
#include "zyvisa_objects.h"
#include "zyvisa_sem.h"

namespace zyvisa::test {

class EventSession {
 public:
  using IoSession = objects::IoSession;

  EventSession(uint16_t queue_length, const std::vector<ViEventType>& types,
               ViAddr event_oper_table = nullptr) {
    session_ = static_cast<IoSession*>(
        zyvisaCreateObject(objects::kIoSessionKind, sizeof(IoSession), &handle_));
    if (session_ == nullptr) return;
    session_->handle = handle_;
    session_->max_queue_length = queue_length;
    std::snprintf(session_->resource_name, sizeof session_->resource_name, "ASRL%u::INSTR",
                  handle_);
    char name[64];
    std::snprintf(name, sizeof name, "Session 0x%08X Event", handle_);
    visaSemAlloc(name, ZYVISA_SEM_PROCESS, VI_TRUE, &session_->event_semaphore);
    visaSupportEvents(handle_, static_cast<ViUInt16>(types.size()), types.data(), event_oper_table);
  }
  ~EventSession() { Close(); }
  EventSession(const EventSession&) = delete;
  EventSession& operator=(const EventSession&) = delete;

  // Frees the queues, the semaphore and the object, as the core's close does.
  void Close() {
    if (session_ == nullptr) return;
    for (uint16_t i = 0; i < objects::kMaxEventIndices; ++i) {
      zyvisaFreeQueue(session_->queue_for_queuing[i]);
      zyvisaFreeQueue(session_->queue_for_handlers[i]);
    }
    visaSemFree(session_->event_semaphore);
    zyvisaFreeObject(objects::kIoSessionKind, session_, static_cast<ViUInt16>(handle_));
    session_ = nullptr;
  }

  IoSession* get() const { return session_; }
  ViSession handle() const { return handle_; }
  uint16_t Index(ViEventType type) const {
    uint16_t i = 0;
    while (i < session_->supported_count && session_->supported_types[i] != type) ++i;
    return i;
  }

  // viEnableEvent: makes the queues the mechanisms need and sets the mask.
  void Enable(ViEventType type, uint16_t mechanism) {
    const uint16_t i = Index(type);
    const auto make = [&](objects::EventQueue*& queue, bool needed) {
      if (needed && queue == nullptr)
        queue = static_cast<objects::EventQueue*>(zyvisaCreateQueue(session_, type));
    };
    make(session_->queue_for_queuing[i], (mechanism & VI_QUEUE) != 0);
    make(session_->queue_for_handlers[i], (mechanism & (VI_HNDLR | VI_SUSPEND_HNDLR)) != 0);
    session_->enabled_mechanisms[i] = mechanism;
  }
  // viInstallHandler; the list must not grow while events are delivered.
  void Install(ViEventType type, objects::EventHandler handler, uint64_t user_handle) {
    const uint16_t i = Index(type);
    handlers_[i].push_back({handler, user_handle});
    session_->handler_list[i] = handlers_[i].data();
    session_->handler_count[i] = static_cast<uint16_t>(handlers_[i].size());
  }

  // create, fill, raise, as a producer does.
  ViStatus Produce(ViEventType type, ViJobId job = 0) {
    ViAddr nodes[2] = {};
    const ViStatus status = visaCreateEvent(handle_, type, &nodes[0], &nodes[1]);
    for (ViAddr node : nodes) {
      if (node != nullptr) static_cast<objects::EventNode*>(node)->job_id = job;
    }
    return status != VI_SUCCESS ? status : visaRaiseEvent(handle_, nodes[0], nodes[1]);
  }

 private:
  IoSession* session_ = nullptr;
  ViUInt32 handle_ = 0;
  std::vector<objects::HandlerEntry> handlers_[objects::kMaxEventIndices];
};

}  // namespace zyvisa::test
