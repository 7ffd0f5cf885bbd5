// The record of one emulated asynchronous job, from the entry that makes it
// to the job thread that performs and frees it, and what the two share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "objects/object_layouts.h"
#include "zyvisa_types.h"

namespace zyvisa::async {

// The session's pending job field points at this record while the job runs,
// so the core may reach it (to set abort_request): one fixed layout.
struct AsyncJob {
  uint64_t source_offset;       // move: advanced chunk by chunk
  uint64_t destination_offset;  // move: advanced chunk by chunk
  objects::EventNode* queued_completion;   // VI_QUEUE node, or null
  objects::EventNode* handler_completion;  // handler node, or null
  ViAddr buffer;   // read/write: the user buffer; move: the buffer reported
  uint64_t count;  // read/write: bytes (fits 32 bits); move: elements
  ViJobId job_id;
  uint16_t source_space;
  uint16_t source_width;
  uint16_t destination_space;
  uint16_t destination_width;
  // Read between two chunks of a move; set by others, never by this library.
  std::atomic<uint16_t> abort_request;
  uint16_t extended;  // move: 1 performs it with viMoveEx
  uint8_t reserved64[8];
};
static_assert(sizeof(std::atomic<uint16_t>) == 2 && std::atomic<uint16_t>::is_always_lock_free);
static_assert(sizeof(AsyncJob) == 72);
static_assert(offsetof(AsyncJob, source_offset) == 0);
static_assert(offsetof(AsyncJob, destination_offset) == 8);
static_assert(offsetof(AsyncJob, queued_completion) == 16);
static_assert(offsetof(AsyncJob, handler_completion) == 24);
static_assert(offsetof(AsyncJob, buffer) == 32);
static_assert(offsetof(AsyncJob, count) == 40);
static_assert(offsetof(AsyncJob, job_id) == 48);
static_assert(offsetof(AsyncJob, source_space) == 52);
static_assert(offsetof(AsyncJob, source_width) == 54);
static_assert(offsetof(AsyncJob, destination_space) == 56);
static_assert(offsetof(AsyncJob, destination_width) == 58);
static_assert(offsetof(AsyncJob, abort_request) == 60);
static_assert(offsetof(AsyncJob, extended) == 62);

// The two sides and the element count of one move, as a driver's move entry
// takes them: what the emulated entries receive and the job thread passes on.
struct MoveArgs {
  ViUInt16 source_space;
  ViUInt64 source_offset;
  ViUInt16 source_width;
  ViUInt16 destination_space;
  ViUInt64 destination_offset;
  ViUInt16 destination_width;
  ViUInt64 count;
};

// Operation ids (upper half of a job id) that the job thread performs.
constexpr uint16_t kOperRead = 0x402;
constexpr uint16_t kOperWrite = 0x404;
constexpr uint16_t kOperMove = 0x50E;
constexpr uint16_t kOperMoveEx = 0x520;

// Bytes of one chunk of a move: an abort request takes effect between chunks.
constexpr uint32_t kMoveChunkBytes = 0x10000;

// Writes the outcome into each completion node the job has (return count,
// buffer, job id, status).
void FillCompletion(const AsyncJob& job, uint64_t return_count, ViStatus status) noexcept;

// The pending job of a session, read under the session list semaphore: the
// queueing threads set it under that semaphore and the job thread clears it.
// Null also when the semaphore cannot be had (the library unloads).
AsyncJob* PendingJob(objects::IoSession& session) noexcept;

}  // namespace zyvisa::async
