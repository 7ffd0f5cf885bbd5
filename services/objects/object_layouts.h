// Layouts of the objects whose bytes the core library and the drivers share
// with us: the object header, the I/O session, the find list, the event queue
// and its nodes. The core builds its own view of these objects from separately
// compiled sources, so every field sits at a checked offset.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "zyvisa_sem.h"
#include "zyvisa_types.h"

namespace zyvisa::objects {

static_assert(sizeof(void*) == 8, "the shared object layouts hold 64-bit addresses");
// The use count and the closing flag are changed atomically in memory that the
// core allocated as plain bytes: the atomics must be bare integers of the same
// size that need no construction (all-zero bytes are the value 0).
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint16_t>) == 2 && std::atomic<uint16_t>::is_always_lock_free);

struct OperTable;

enum ObjectKind : uint16_t {
  kIoSessionKind = 0,
  kRsrcManagerKind = 1,
  kFindListKind = 2,
  kEventQueueKind = 3,
};
constexpr uint16_t kObjectKindCount = 4;

// Value of the signature while an object (or an event node) is live.
constexpr uint16_t kValidSignature = 0x8930;

// The first 40 bytes of every object. The owner's bytes are never touched here.
struct ObjectHeader {
  uint8_t owner_bytes0[8];
  // Atomic: freeing clears them before it takes the list semaphore, while
  // validations read them under it.
  std::atomic<uint16_t> signature;  // kValidSignature while live, 0 once freed
  std::atomic<uint16_t> kind;
  uint8_t owner_bytes12[12];
  ObjectHeader* next;      // created before this one
  ObjectHeader* previous;  // created after this one; null for the first object
};
static_assert(sizeof(ObjectHeader) == 40);
static_assert(offsetof(ObjectHeader, signature) == 8);
static_assert(offsetof(ObjectHeader, kind) == 10);
static_assert(offsetof(ObjectHeader, next) == 24);
static_assert(offsetof(ObjectHeader, previous) == 32);

// ---------------------------------------------------------------- event queues

constexpr uint16_t kNodeFree = 21;
constexpr uint16_t kNodeAllocated = 22;
constexpr uint16_t kNodeRaised = 23;
constexpr uint16_t kNodeDelivered = 24;

// One event context (a ViEvent). Bytes 16 to 47 are the event's payload.
struct EventQueue;
struct EventNode {
  EventQueue* queue;
  uint16_t signature;
  uint16_t state;  // kNodeFree .. kNodeDelivered
  uint32_t reserved12;
  ViAddr buffer;  // I/O completion buffer, or the trace cookie of an exception
  uint16_t next;
  uint16_t previous;
  ViEventType event_type;
  uint64_t return_count;
  ViJobId job_id;
  ViStatus status;
  uint32_t event_handle;  // (node index << 16) | queue handle
  uint32_t reserved52;
};
static_assert(sizeof(EventNode) == 56);
static_assert(offsetof(EventNode, queue) == 0);
static_assert(offsetof(EventNode, signature) == 8);
static_assert(offsetof(EventNode, state) == 10);
static_assert(offsetof(EventNode, buffer) == 16);
static_assert(offsetof(EventNode, next) == 24);
static_assert(offsetof(EventNode, previous) == 26);
static_assert(offsetof(EventNode, event_type) == 28);
static_assert(offsetof(EventNode, return_count) == 32);
static_assert(offsetof(EventNode, job_id) == 40);
static_assert(offsetof(EventNode, status) == 44);
static_assert(offsetof(EventNode, event_handle) == 48);

struct IoSession;
// An event queue object (kind 3): this head, then `length` nodes numbered from
// 1; the node space of index 0 is part of the head and reserved. The queue is
// one allocation of sizeof(EventQueue) + 56 x length bytes.
struct EventQueue {
  ObjectHeader header;
  IoSession* session;
  ViEventType event_type;
  uint16_t event_index;
  uint16_t first;  // node indices; 0 = none
  uint16_t last;
  uint16_t first_free;
  uint16_t queued_count;
  uint16_t length;
  uint16_t raised_count;
  uint16_t reserved66;
  uint32_t handle;
  uint16_t overflow;
  uint8_t reserved74[6];
  EventNode node0;  // reserved

  // Node i (0 .. length) lies i nodes past the reserved one; the nodes are
  // part of the same allocation, so this stays inside the object.
  EventNode* Node(uint16_t index) noexcept { return &node0 + index; }
};
static_assert(sizeof(EventQueue) == 136);
static_assert(offsetof(EventQueue, session) == 40);
static_assert(offsetof(EventQueue, event_type) == 48);
static_assert(offsetof(EventQueue, event_index) == 52);
static_assert(offsetof(EventQueue, first) == 54);
static_assert(offsetof(EventQueue, last) == 56);
static_assert(offsetof(EventQueue, first_free) == 58);
static_assert(offsetof(EventQueue, queued_count) == 60);
static_assert(offsetof(EventQueue, length) == 62);
static_assert(offsetof(EventQueue, raised_count) == 64);
static_assert(offsetof(EventQueue, handle) == 68);
static_assert(offsetof(EventQueue, overflow) == 72);
static_assert(offsetof(EventQueue, node0) == 80);

// ---------------------------------------------------------------- I/O sessions

constexpr uint16_t kMaxEventIndices = 31;

// A user's event handler as the core installs it.
using EventHandler = ViStatus (*)(ViSession session, ViEventType event_type, ViUInt32 event,
                                  ViUInt64 user_handle);

struct HandlerEntry {
  EventHandler handler;
  uint64_t user_handle;
};
static_assert(sizeof(HandlerEntry) == 16);

// What the handler loop of one event index is doing right now.
struct InvocationRecord {
  uint32_t loop_depth;
  uint32_t reserved4;
  EventHandler current_handler;  // null between calls
  uint64_t current_user_handle;  // 0 between calls
  uint32_t invoking_thread_id;
  uint32_t reserved28;
};
static_assert(sizeof(InvocationRecord) == 32);
static_assert(offsetof(InvocationRecord, current_handler) == 8);
static_assert(offsetof(InvocationRecord, current_user_handle) == 16);
static_assert(offsetof(InvocationRecord, invoking_thread_id) == 24);

// The fields of an I/O session object (kind 0) that this library reads and
// writes. The core lays the object out and may make it larger; the gaps are
// its own.
struct IoSession {
  ObjectHeader header;
  uint16_t identity_a;
  uint16_t identity_b;
  ViSession handle;  // as the core hands it to its callers
  OperTable* oper_table;
  uint32_t identity_c;
  uint32_t identity_d;
  uint8_t core_bytes64[16];
  std::atomic<uint16_t> closing;  // 1 once closing has begun
  uint16_t core_bytes82;
  uint16_t event_lock_bypass;
  uint16_t core_bytes86;
  OperTable* event_oper_table;
  uint16_t max_queue_length;
  uint16_t enabled_mechanisms[kMaxEventIndices];
  EventQueue* queue_for_queuing[kMaxEventIndices];
  EventQueue* queue_for_handlers[kMaxEventIndices];
  uint16_t handler_count[kMaxEventIndices];
  uint16_t core_bytes718;
  HandlerEntry* handler_list[kMaxEventIndices];
  InvocationRecord invocation[kMaxEventIndices];
  ViSemaphore event_semaphore;
  uint16_t supported_count;
  uint16_t core_bytes1970;
  ViEventType supported_types[kMaxEventIndices];
  char resource_name[384];  // zero-terminated
  void* resource_record;    // the shared record of its resource
  uint32_t owner_process_id;
  uint32_t shared_lock_nesting;
  uint32_t core_bytes2496;
  uint32_t lock_oper_depth;
  // Threads now inside the session; changed only under the session list
  // semaphore (zyvisaValidateIoSession with flag 1, zyvisaReleaseIoSession).
  std::atomic<uint32_t> use_count;
  uint32_t core_bytes2508;
  ViJobId current_job_id;
  uint32_t core_bytes2516;
  void* job_thread;
  uint32_t job_thread_id;
  uint32_t core_bytes2532;
  void* pending_job;
  ViSemaphore async_semaphore;
};
static_assert(sizeof(IoSession) == 2552);
static_assert(offsetof(IoSession, identity_a) == 40);
static_assert(offsetof(IoSession, identity_b) == 42);
static_assert(offsetof(IoSession, handle) == 44);
static_assert(offsetof(IoSession, oper_table) == 48);
static_assert(offsetof(IoSession, identity_c) == 56);
static_assert(offsetof(IoSession, identity_d) == 60);
static_assert(offsetof(IoSession, closing) == 80);
static_assert(offsetof(IoSession, event_lock_bypass) == 84);
static_assert(offsetof(IoSession, event_oper_table) == 88);
static_assert(offsetof(IoSession, max_queue_length) == 96);
static_assert(offsetof(IoSession, enabled_mechanisms) == 98);
static_assert(offsetof(IoSession, queue_for_queuing) == 160);
static_assert(offsetof(IoSession, queue_for_handlers) == 408);
static_assert(offsetof(IoSession, handler_count) == 656);
static_assert(offsetof(IoSession, handler_list) == 720);
static_assert(offsetof(IoSession, invocation) == 968);
static_assert(offsetof(IoSession, event_semaphore) == 1960);
static_assert(offsetof(IoSession, supported_count) == 1968);
static_assert(offsetof(IoSession, supported_types) == 1972);
static_assert(offsetof(IoSession, resource_name) == 2096);
static_assert(offsetof(IoSession, resource_record) == 2480);
static_assert(offsetof(IoSession, owner_process_id) == 2488);
static_assert(offsetof(IoSession, shared_lock_nesting) == 2492);
static_assert(offsetof(IoSession, lock_oper_depth) == 2500);
static_assert(offsetof(IoSession, use_count) == 2504);
static_assert(offsetof(IoSession, current_job_id) == 2512);
static_assert(offsetof(IoSession, job_thread) == 2520);
static_assert(offsetof(IoSession, job_thread_id) == 2528);
static_assert(offsetof(IoSession, pending_job) == 2536);
static_assert(offsetof(IoSession, async_semaphore) == 2544);

// ---------------------------------------------------------------- find lists

constexpr size_t kFoundNameSize = 256;
using FoundName = char[kFoundNameSize];

// The fields of a find list object (kind 2) that collect the names of a
// search. The arrays are allocated here, zero-filled, and released by the core
// with the library's allocator (visaFree).
struct FindList {
  ObjectHeader header;
  FoundName* found_names;
  uint32_t found_count;
  uint32_t found_capacity;  // entries
  uint8_t core_bytes56[16];
  uint16_t remote;  // non-zero: names get the "visa:/" prefix
  uint8_t core_bytes74[6];
  uint16_t source_count;
  uint8_t core_bytes82[6];
  uint64_t* sources;
};
static_assert(sizeof(FindList) == 96);
static_assert(offsetof(FindList, found_names) == 40);
static_assert(offsetof(FindList, found_count) == 48);
static_assert(offsetof(FindList, found_capacity) == 52);
static_assert(offsetof(FindList, remote) == 72);
static_assert(offsetof(FindList, source_count) == 80);
static_assert(offsetof(FindList, sources) == 88);

}  // namespace zyvisa::objects
