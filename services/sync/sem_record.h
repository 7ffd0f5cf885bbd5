// The 104-byte semaphore record shared by both scopes (system records sit in
// the shared region and are read by every process, and by zyvisa-inspect),
// and the per-process semaphore handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace zyvisa::platform {
struct NamedMutex;
struct Event;
}  // namespace zyvisa::platform

namespace zyvisa::sync {

constexpr const char* kSystemBlockName = "Global\\ZY-VISA Win32 Mutex Shared Memory Section";
constexpr const char* kSystemTableName = "ZYVISA_SYSTEM_SEMAPHORES";
constexpr size_t kSemNameSize = 80;
constexpr uint32_t kNoOwner = 0xFFFFFFFFu;

// Fields that threads read without the semaphore (the owner test of a
// recursive acquisition, the hold count of a release) are atomics, always
// accessed relaxed: each is only ever compared with the reader's own ids, and
// the semaphore itself orders everything else. They are plain 32/16-bit words
// in memory, so other processes and builds read the same bytes.
struct SemRecord {
  // -1 free; n >= 0 held with n threads waiting. Process semaphores only:
  // stays -1 in system records, whose waiting is the named mutex's.
  std::atomic<int32_t> lock_counter;
  uint32_t free_flag;  // 1 free, 0 allocated (2 retired); changed under the table's lock
  std::atomic<uint32_t> owner_pid;
  std::atomic<uint32_t> owner_tid;
  std::atomic<uint16_t> recursive;
  uint16_t reserved;
  std::atomic<uint32_t> hold_count;
  char name[kSemNameSize];  // zero-terminated
};
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free,
              "atomics in shared memory must be plain lock-free words");
static_assert(sizeof(std::atomic<uint16_t>) == 2 && std::atomic<uint16_t>::is_always_lock_free);
static_assert(sizeof(SemRecord) == 104, "semaphore record is 104 bytes");
static_assert(alignof(SemRecord) == 4, "region payloads are only 4-aligned");
static_assert(offsetof(SemRecord, lock_counter) == 0);
static_assert(offsetof(SemRecord, free_flag) == 4);
static_assert(offsetof(SemRecord, owner_pid) == 8);
static_assert(offsetof(SemRecord, owner_tid) == 12);
static_assert(offsetof(SemRecord, recursive) == 16);
static_assert(offsetof(SemRecord, reserved) == 18);
static_assert(offsetof(SemRecord, hold_count) == 20);
static_assert(offsetof(SemRecord, name) == 24);

// Puts a record in its free state (the name is left as it is).
inline void SetFree(SemRecord* record) {
  record->lock_counter.store(-1, std::memory_order_relaxed);
  record->free_flag = 1;
  record->owner_pid.store(kNoOwner, std::memory_order_relaxed);
  record->owner_tid.store(kNoOwner, std::memory_order_relaxed);
  record->recursive.store(0, std::memory_order_relaxed);
  record->hold_count.store(0, std::memory_order_relaxed);
}

}  // namespace zyvisa::sync

// The handle behind the opaque ViSemaphore, in process memory.
struct ZyvisaSemaphore {
  uint32_t signature;  // kSemSignature while the handle is open
  uint16_t system;     // scope: 1 system, 0 process
  zyvisa::sync::SemRecord* record;
  zyvisa::platform::NamedMutex* mutex;  // system semaphores
  zyvisa::platform::Event* event;       // process semaphores
  // Process semaphores: threads that may be waiting on the event (low bits),
  // and kSemClosed once the handle was freed. Freeing never waits for them:
  // the handle, its event and its record then stay until the last one leaves,
  // and whoever sees the count reach 0 with kSemClosed set destroys them.
  std::atomic<uint32_t> users{0};
  // A word of process memory for whoever owns the semaphore, kept as long as
  // the handle. The resource mutex keeps there the record's operation entry
  // this process took last (see lock_gate.cpp).
  std::atomic<uint32_t> owner_word{0};
};

namespace zyvisa::sync {
constexpr uint32_t kSemSignature = 0x53454D5Au;  // "ZSEM"
constexpr uint32_t kSemClosed = 0x80000000u;
// free_flag of a process record whose semaphore was freed while threads were
// still waiting on it: neither free nor findable by name until they left.
constexpr uint32_t kRecordRetired = 2;
}  // namespace zyvisa::sync
