// Records of handler calls and asynchronous completions in the external
// call-trace library, loaded on the first record of a process.
#pragma once

#include <cstdint>

#include "objects/object_layouts.h"
#include "zyvisa_types.h"

namespace zyvisa::events {

// Where the trace library stands in this process.
enum class TraceLibrary { kNotLoaded, kLoaded, kUnavailable };
TraceLibrary TraceLibraryState() noexcept;

// Opens the record of a handler call and writes its parameters; 0 when the
// call is not traced (no library, or it handed out no cookie).
uint64_t TraceHandlerCall(const objects::IoSession* session, ViEventType event_type, ViUInt32 event,
                          ViUInt64 user_handle) noexcept;
// Closes a record with the traced call's status as its one return item.
void TraceReturn(uint64_t cookie, ViStatus status) noexcept;
// Opens the record of an emulated asynchronous job that the job thread is
// about to perform; 0 when it is not traced. Closed with TraceReturn.
uint64_t TraceAsyncJob(ViSession session, ViJobId job_id) noexcept;
// Writes the record of an emulated read's or write's completion, from the
// attributes the core reports for the node.
void TraceCompletion(const objects::IoSession* session, objects::EventNode* node) noexcept;

}  // namespace zyvisa::events
