// A minimal core library over the services: just enough of opening, locking,
// I/O, events, closing and resource search to drive the loopback driver along
// the road every session takes.
#pragma once

#include <string>
#include <vector>

#include "objects/object_layouts.h"
#include "zyvisa_types.h"

namespace core {

// An open session: its handle, its object (laid out by the core, filled by
// the services) and the one handler installed for the I/O completion.
struct Session {
  ViSession handle = 0;
  zyvisa::objects::IoSession* object = nullptr;
  zyvisa::objects::HandlerEntry handler{};
};

// Starts the services and registers the callbacks that attribute search uses.
bool Start();

// viOpen on a name "ASRL<n>::INSTR" served by the driver table: the session
// object, its table and identity, its shared record, its events and queues.
ViStatus Open(const char* name, ViAddr driver_table, Session* session);
// viInstallHandler for VI_EVENT_IO_COMPLETION.
void InstallHandler(Session* session, zyvisa::objects::EventHandler handler, ViUInt64 user);

ViStatus Lock(Session* session, ViInt32 lock_type, ViUInt32 timeout_ms);
ViStatus Unlock(Session* session);

// viWrite and viReadAsync: through the gate to the driver's table entry.
ViStatus Write(Session* session, const char* text, ViUInt32* written);
ViStatus ReadAsync(Session* session, void* buffer, ViUInt32 count, ViJobId* job);

// viWaitOnEvent on the completion queue: the job and count of the oldest one.
ViStatus WaitOnEvent(Session* session, ViUInt32 timeout_ms, ViJobId* job, ViUInt32* count);

// viClose, in the order the services need.
void Close(Session* session);

// viFindRsrc over the names the drivers offer: the resource expression first,
// then its attribute part (through the callbacks that Start registered).
std::vector<std::string> Find(const char* expression, const std::vector<std::string>& offered);

// Status names for printing (the handful this core meets), else hex.
std::string StatusName(ViStatus status);

}  // namespace core
