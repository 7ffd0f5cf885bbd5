// The minimal core: each function is what a core library's viXxx does with
// the services, with nothing else around it.
#include "minimal_core.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "objects/oper_table.h"
#include "zyvisa_async.h"
#include "zyvisa_events.h"
#include "zyvisa_lifecycle.h"
#include "zyvisa_locking.h"
#include "zyvisa_match.h"
#include "zyvisa_objects.h"
#include "zyvisa_oper.h"
#include "zyvisa_platform.h"
#include "zyvisa_sem.h"

namespace core {
namespace {

using zyvisa::objects::EventNode;
using zyvisa::objects::IoSession;

constexpr ViUInt16 kInterfaceAsrl = 4;
constexpr ViEventType kCompletion = VI_EVENT_IO_COMPLETION;

// Interface number of "ASRL<n>::INSTR", or -1.
long InterfaceNumber(const char* name) {
  if (std::strncmp(name, "ASRL", 4) != 0) return -1;
  char* end = nullptr;
  const long n = std::strtol(name + 4, &end, 10);
  return end != name + 4 ? n : -1;
}

using DriverEntry = ViStatus (*)(ViSession, ViAddr, ViUInt32, ViUInt32*);
using AsyncEntry = ViStatus (*)(ViSession, ViAddr, ViUInt32, ViJobId*);

template <typename Entry>
Entry EntryOf(const Session& s, int slot) {
  return reinterpret_cast<Entry>(s.object->oper_table->slots[slot]);
}

// Attribute search opens each candidate for a moment and reads its
// attributes; a bare object with the name is all this core needs for it.
ViStatus SearchOpen(ViSession, ViConstRsrc name, ViUInt32, ViUInt32, ViSession* opened) {
  ViUInt32 handle = 0;
  auto* object = static_cast<IoSession*>(
      zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &handle));
  if (object == nullptr) return VI_ERROR_ALLOC;
  std::snprintf(object->resource_name, sizeof object->resource_name, "%s", name);
  *opened = handle;
  return VI_SUCCESS;
}

ViStatus SearchGetAttribute(ViAddr session_object, ViAttr attribute, ViAddr value) {
  const auto* object = static_cast<const IoSession*>(session_object);
  const long n = InterfaceNumber(object->resource_name);
  if (attribute == VI_ATTR_INTF_NUM && n >= 0) {
    *static_cast<ViUInt16*>(value) = static_cast<ViUInt16>(n);
    return VI_SUCCESS;
  }
  if (attribute == VI_ATTR_INTF_TYPE && n >= 0) {
    *static_cast<ViUInt16*>(value) = kInterfaceAsrl;
    return VI_SUCCESS;
  }
  return VI_ERROR_NSUP_OPER;
}

ViStatus SearchClose(ViSession session) {
  return zyvisaFreeObject(ZYVISA_KIND_SESSION, zyvisaValidateIoSession(session, 0),
                          static_cast<ViUInt16>(session));
}

}  // namespace

bool Start() {
  if (zyvisaInitializeServicesIfNeeded() != 1) return false;
  zyvisaSetLibraryCallbacks(SearchOpen, SearchGetAttribute, nullptr, SearchClose);
  return true;
}

ViStatus Open(const char* name, ViAddr driver_table, Session* s) {
  const long interface_number = InterfaceNumber(name);
  if (interface_number < 0) return VI_ERROR_RSRC_NFOUND;
  // 1. The object; the services hand out its handle.
  s->object = static_cast<IoSession*>(
      zyvisaCreateObject(ZYVISA_KIND_SESSION, sizeof(IoSession), &s->handle));
  if (s->object == nullptr) return VI_ERROR_ALLOC;
  IoSession* o = s->object;
  o->handle = s->handle;
  o->owner_process_id = visaProcGetID();
  o->max_queue_length = 50;
  std::snprintf(o->resource_name, sizeof o->resource_name, "%s", name);
  // 2. The driver's table and the resource's identity: sessions of every
  // process with the same identity share one record.
  o->identity_a = kInterfaceAsrl;
  o->identity_b = static_cast<uint16_t>(interface_number);
  ViStatus status = visaSetSessionInfo(s->handle, driver_table, nullptr, 0, 0);
  // 3. The shared record, and this session counted in it.
  if (status == VI_SUCCESS) status = zyvisaRsrcCreateResource(o);
  if (status == VI_SUCCESS) status = zyvisaRsrcCreateSession(o);
  if (status != VI_SUCCESS) return status;
  // 4. Events: the session's event semaphore, the types the driver raises,
  // and a queue per enabled mechanism (queue and handler both, here).
  char semaphore[64];
  std::snprintf(semaphore, sizeof semaphore, "Session 0x%08X Event", s->handle);
  status = visaSemAlloc(semaphore, ZYVISA_SEM_PROCESS, VI_TRUE, &o->event_semaphore);
  if (status == VI_SUCCESS) status = visaSupportEvents(s->handle, 1, &kCompletion, nullptr);
  if (status != VI_SUCCESS) return status;
  o->queue_for_queuing[0] = static_cast<zyvisa::objects::EventQueue*>(zyvisaCreateQueue(o, kCompletion));
  o->queue_for_handlers[0] = static_cast<zyvisa::objects::EventQueue*>(zyvisaCreateQueue(o, kCompletion));
  o->enabled_mechanisms[0] = VI_QUEUE | VI_HNDLR;
  return o->queue_for_queuing[0] && o->queue_for_handlers[0] ? VI_SUCCESS : VI_ERROR_ALLOC;
}

void InstallHandler(Session* s, zyvisa::objects::EventHandler handler, ViUInt64 user) {
  // The handler list must not change while the handler loop reads it.
  s->handler = {handler, user};
  s->object->handler_list[0] = &s->handler;
  s->object->handler_count[0] = 1;
}

ViStatus Lock(Session* s, ViInt32 lock_type, ViUInt32 timeout_ms) {
  ViChar key[256] = {0};
  return zyvisaLock(s->object, lock_type, timeout_ms, nullptr, key);
}

ViStatus Unlock(Session* s) { return zyvisaUnlock(s->object); }

ViStatus Write(Session* s, const char* text, ViUInt32* written) {
  // Every operation passes the gate: refused at once while another session
  // holds the lock, and counted so that a lock request waits for it to end.
  ViUInt16 entered = 0;
  ViStatus status = visaEnterLockOper(s->handle, &entered);
  if (status != VI_SUCCESS) return status;
  status = EntryOf<DriverEntry>(*s, zyvisa::objects::kSlotWrite)(
      s->handle, const_cast<char*>(text), static_cast<ViUInt32>(std::strlen(text)), written);
  visaExitLockOper(s->handle, entered);
  return status;
}

ViStatus ReadAsync(Session* s, void* buffer, ViUInt32 count, ViJobId* job) {
  ViUInt16 entered = 0;
  ViStatus status = visaEnterLockOper(s->handle, &entered);
  if (status != VI_SUCCESS) return status;
  // The job id: the operation identifier of viReadAsync above a number.
  static ViUInt32 jobs = 0;
  *job = (ViJobId{0x0402} << 16) | (++jobs & 0xFFFF);
  s->object->current_job_id = *job;
  status = EntryOf<AsyncEntry>(*s, zyvisa::objects::kSlotReadAsync)(s->handle, buffer, count, job);
  // Raising the completion leaves the gate; a refused start never reaches it.
  if (status < VI_SUCCESS) visaExitLockOper(s->handle, entered);
  return status;
}

ViStatus WaitOnEvent(Session* s, ViUInt32 timeout_ms, ViJobId* job, ViUInt32* count) {
  auto* queue = s->object->queue_for_queuing[0];
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // The session's event semaphore guards its queues: the producer fills a
  // node and raises it under it, so the node is read under it too.
  ViUInt16 acquired = 0;
  for (;;) {
    visaSemAcquire(s->object->event_semaphore, VI_TMO_INFINITE, &acquired);
    ViAddr node = nullptr;
    if (zyvisaReadNodeAtStart(queue, &node) == VI_SUCCESS) {
      const auto* event = static_cast<const EventNode*>(node);
      *job = event->job_id;
      *count = static_cast<ViUInt32>(event->return_count);
      const ViStatus status = event->status;
      zyvisaDeleteNode(queue, node);  // viClose on the event
      visaSemRelease(s->object->event_semaphore, &acquired);
      return status;
    }
    visaSemRelease(s->object->event_semaphore, &acquired);
    if (std::chrono::steady_clock::now() >= give_up) return VI_ERROR_TMO;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Close(Session* s) {
  if (s->object == nullptr) return;
  IoSession* o = s->object;
  zyvisaValidateIoSession(s->handle, ZYVISA_SESN_BEGIN_CLOSE);  // no new operation starts
  zyvisaAsyncThreadCleanup(o, 2000);                            // the job thread ends
  zyvisaUnlockAllSessionLocks(o);                               // its locks go
  if (zyvisaRsrcFreeSession(o) == 0) zyvisaRsrcFreeResource(o);  // the last one frees the record
  zyvisaFreeQueue(o->queue_for_queuing[0]);
  zyvisaFreeQueue(o->queue_for_handlers[0]);
  visaSemFree(o->event_semaphore);
  zyvisaFreeObject(ZYVISA_KIND_SESSION, o, static_cast<ViUInt16>(s->handle));
  s->object = nullptr;
}

std::vector<std::string> Find(const char* expression, const std::vector<std::string>& offered) {
  std::vector<std::string> found;
  for (const std::string& name : offered) {
    ViBoolean has_attribute_part = VI_FALSE;
    // Any non-zero session stands for the resource manager here.
    if (visaMatchRsrcExpr(1, expression, name.c_str(), &has_attribute_part) != VI_SUCCESS) {
      continue;
    }
    if (has_attribute_part &&
        visaMatchAttrExpr(1, expression, name.c_str(), nullptr, nullptr) != VI_SUCCESS) {
      continue;
    }
    found.push_back(name);
  }
  return found;
}

std::string StatusName(ViStatus status) {
  static const struct {
    ViStatus status;
    const char* name;
  } kNames[] = {
      {VI_SUCCESS, "VI_SUCCESS"},
      {VI_SUCCESS_SYNC, "VI_SUCCESS_SYNC"},
      {VI_ERROR_TMO, "VI_ERROR_TMO"},
      {VI_ERROR_RSRC_LOCKED, "VI_ERROR_RSRC_LOCKED"},
      {VI_ERROR_RSRC_NFOUND, "VI_ERROR_RSRC_NFOUND"},
      {VI_ERROR_ALLOC, "VI_ERROR_ALLOC"},
      {VI_ERROR_INV_OBJECT, "VI_ERROR_INV_OBJECT"},
  };
  for (const auto& n : kNames) {
    if (n.status == status) return n.name;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  return hex;
}

}  // namespace core
