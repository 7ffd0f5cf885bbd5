// The system and process semaphore tables: creating and closing them, the
// process table lock, and allocating and closing semaphores by name.
#include "sync/sem_tables.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "runtime/process_state.h"
#include "runtime/shared_region.h"
#include "platform/platform.h"
#include "sync/counter_lock.h"
#include "sync/sem_record.h"
#include "zyvisa_sem.h"

namespace zyvisa::sync {

namespace {

struct SemTable {
  SemRecord* records;
  uint16_t shared;  // 1: the records are in the shared region
  int32_t count;
  char name[kSemNameSize];
  // One entry per record: this process's handle on it, or null.
  ViSemaphore* handles;
};

// Plain data, constant-initialized: usable from the load and unload hooks
// whatever the order of static construction and destruction.
SemTable g_system{};
SemTable g_process{};

struct TableLock {
  std::atomic<int32_t> counter{-1};
  std::atomic<platform::Event*> event{nullptr};
};
TableLock g_table_lock;

// The system table (its records and this process's handle array) is changed
// only under the global mutex, held by no other code of the library while it
// takes anything else, so it nests inside any semaphore a caller holds.
bool LockSystemTable() {
  platform::NamedMutex* global = runtime::State().global_mutex;
  if (global == nullptr) return false;
  // Abandoned counts: table changes are ordered so that a holder that died
  // half-way leaves at most a record that is free or fully allocated.
  const platform::WaitResult r = platform::NamedMutexWait(global, platform::kWaitForever);
  return r == platform::WaitResult::kAcquired || r == platform::WaitResult::kAbandoned;
}

void UnlockSystemTable() { platform::NamedMutexRelease(runtime::State().global_mutex); }

bool LockTable(const SemTable& table) {
  return &table == &g_system ? LockSystemTable() : AcquireProcessTableLock();
}

void UnlockTable(const SemTable& table) {
  if (&table == &g_system) {
    UnlockSystemTable();
  } else {
    ReleaseProcessTableLock();
  }
}

// The index of a handle's record in the table, or -1 if it is not one of its.
int32_t IndexOf(const SemTable& table, const SemRecord* record) {
  if (table.records == nullptr || record < table.records || record >= table.records + table.count) {
    return -1;
  }
  return int32_t(record - table.records);
}

// Makes this process's handle on record index and marks the record allocated
// with the requested recursive flag. The name is written before the record is
// marked allocated: a system record whose writer died in between is still
// free, never allocated under a name nobody will ask for.
// A system record that is already allocated had its mutex made by the
// process that allocated it: it is opened without making a second one beside
// a deleted one (the platform says when it may be made again).
ViSemaphore CreateHandle(SemTable& table, int32_t index, const char* name, uint16_t recursive) {
  if (table.records == nullptr || index < 0 || index >= table.count) return nullptr;
  auto* handle = new (std::nothrow) ZyvisaSemaphore{kSemSignature, table.shared,
                                                    &table.records[index], nullptr, nullptr};
  if (handle == nullptr) return nullptr;
  if (table.shared) {
    // Every process makes the same name for the same record: "Global\" + the
    // table's name + " #" + the index.
    char mutex_name[2 * kSemNameSize];
    std::snprintf(mutex_name, sizeof mutex_name, "Global\\%s #%ld", table.name, long{index});
    handle->mutex = platform::NamedMutexOpen(mutex_name, table.records[index].free_flag == 1);
  } else {
    handle->event = platform::EventCreate();
  }
  if (handle->mutex == nullptr && handle->event == nullptr) {
    delete handle;
    return nullptr;
  }
  SemRecord* record = handle->record;
  std::memcpy(record->name, name, std::strlen(name) + 1);
  record->recursive.store(recursive, std::memory_order_relaxed);
  record->free_flag = 0;
  table.handles[index] = handle;
  return handle;
}

// Empties a table's bookkeeping after its handles are closed.
void ForgetTable(SemTable& table) {
  delete[] table.handles;
  table.handles = nullptr;
  if (!table.shared) delete[] table.records;
  table.records = nullptr;
  table.count = 0;
  table.name[0] = '\0';
}

void CloseTable(SemTable& table) {
  for (int32_t i = 0; i < table.count; ++i) {
    if (table.handles[i] != nullptr) zyvisaSemCloseMutex(table.handles[i]);
    table.handles[i] = nullptr;
  }
  ForgetTable(table);
}

bool AllocateHandles(SemTable& table, int32_t count) {
  table.handles = new (std::nothrow) ViSemaphore[size_t(count)]();
  return table.handles != nullptr;
}

}  // namespace

// ---------------------------------------------------------------- process table lock

bool InitProcessTableLock() noexcept {
  platform::Event* event = platform::EventCreate();
  if (event == nullptr) return false;
  g_table_lock.counter.store(-1, std::memory_order_relaxed);
  platform::EventClose(g_table_lock.event.exchange(event, std::memory_order_acq_rel));
  return true;
}

void CloseProcessTableLock() noexcept {
  platform::EventClose(g_table_lock.event.exchange(nullptr, std::memory_order_acq_rel));
  g_table_lock.counter.store(-1, std::memory_order_relaxed);
}

bool AcquireProcessTableLock() noexcept {
  platform::Event* event = g_table_lock.event.load(std::memory_order_acquire);
  return event != nullptr &&
         CounterLockAcquire(g_table_lock.counter, event, platform::kWaitForever);
}

void ReleaseProcessTableLock() noexcept {
  platform::Event* event = g_table_lock.event.load(std::memory_order_acquire);
  if (event != nullptr) CounterLockRelease(g_table_lock.counter, event);
}

// ---------------------------------------------------------------- waiters

namespace {

// The end of a freed process semaphore, once nobody waits on it any more.
void DestroyProcessHandle(ZyvisaSemaphore* handle) {
  const bool locked = AcquireProcessTableLock();
  // Given back only to the table it came from (shutdown may have closed it).
  if (IndexOf(g_process, handle->record) >= 0) SetFree(handle->record);
  if (locked) ReleaseProcessTableLock();
  platform::EventClose(handle->event);
  delete handle;
}

}  // namespace

bool EnterProcessSemaphore(ZyvisaSemaphore* handle) noexcept {
  if ((handle->users.fetch_add(1, std::memory_order_acq_rel) & kSemClosed) == 0) return true;
  LeaveProcessSemaphore(handle);
  return false;
}

void LeaveProcessSemaphore(ZyvisaSemaphore* handle) noexcept {
  if (handle->users.fetch_sub(1, std::memory_order_acq_rel) == (kSemClosed | 1)) {
    DestroyProcessHandle(handle);
  }
}

// ---------------------------------------------------------------- tables

bool CreateSystemTable(int32_t count) noexcept {
  if (count < 1 || g_system.records != nullptr) return false;
  const uint64_t bytes = uint64_t(count) * sizeof(SemRecord);
  const runtime::ProcessState& state = runtime::State();
  if (bytes > uint64_t(INT32_MAX) || state.region == nullptr) return false;
  if (!AllocateHandles(g_system, count)) return false;
  void* payload = nullptr;
  ViUInt16 created = 0;
  // Found by name when another process made it (its size must agree), else
  // carved from the free tail; the caller holds the initialization mutex.
  if (runtime::AllocBlock(state.region, state.region_size, kSystemBlockName, ViUInt32(bytes),
                           &payload, &created) != VI_SUCCESS) {
    ForgetTable(g_system);
    return false;
  }
  g_system.records = static_cast<SemRecord*>(payload);
  if (created) {
    for (int32_t i = 0; i < count; ++i) SetFree(&g_system.records[i]);
  }
  g_system.shared = 1;
  g_system.count = count;
  std::snprintf(g_system.name, sizeof g_system.name, "%s", kSystemTableName);
  return true;
}

bool CreateProcessTable(int32_t count, uint32_t process_id) noexcept {
  if (count < 1 || g_process.records != nullptr) return false;
  if (!AllocateHandles(g_process, count)) return false;
  g_process.records = new (std::nothrow) SemRecord[size_t(count)];
  if (g_process.records == nullptr) {
    ForgetTable(g_process);
    return false;
  }
  for (int32_t i = 0; i < count; ++i) {
    SetFree(&g_process.records[i]);
    g_process.records[i].reserved = 0;
    g_process.records[i].name[0] = '\0';
  }
  g_process.shared = 0;
  g_process.count = count;
  std::snprintf(g_process.name, sizeof g_process.name, "%ld ZYVISA_PROCESS_MUTEX",
                long(process_id));
  return true;
}

void CloseProcessTable() noexcept { CloseTable(g_process); }

void CloseSystemTable() noexcept { CloseTable(g_system); }

}  // namespace zyvisa::sync

extern "C" ZYVISA_EXPORT ViStatus visaSemAlloc(ViConstString name, ViUInt16 scope,
                                               ViUInt16 recursive, ViSemaphore* handle) noexcept {
  using namespace zyvisa::sync;
  if (name == nullptr || handle == nullptr) return VI_ERROR_USER_BUF;
  *handle = nullptr;
  // The name field holds 79 characters and the terminator. A name of exactly
  // 80 characters gets the same status as a longer one: one rule for callers,
  // "at most 79 characters", and never a name cut short to match another.
  size_t length = 0;
  while (length < kSemNameSize && name[length] != '\0') ++length;
  if (length >= kSemNameSize) return VI_ERROR_INV_PARAMETER;

  SemTable& table = scope == ZYVISA_SEM_PROCESS ? g_process : g_system;
  if (!LockTable(table)) return VI_ERROR_ALLOC;
  ViSemaphore found = nullptr;
  // Index order: the first record that is free or carries the name decides,
  // so a name freed earlier is not looked for past a lower free record.
  for (int32_t i = 0; i < table.count; ++i) {
    SemRecord& record = table.records[i];
    if (record.free_flag == 1) {
      found = CreateHandle(table, i, name, recursive);
      break;
    }
    if (record.free_flag == kRecordRetired) continue;  // freed, still being waited on
    if (std::strncmp(record.name, name, kSemNameSize) == 0) {
      // Another process's system semaphore gets a handle here (and this
      // process's recursive flag); our own is the one handle of the name.
      found = table.handles[i] != nullptr ? table.handles[i]
                                          : CreateHandle(table, i, name, recursive);
      break;
    }
  }
  UnlockTable(table);
  if (found == nullptr) return VI_ERROR_ALLOC;
  *handle = found;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViStatus visaSemFree(ViSemaphore handle) noexcept {
  if (handle == nullptr || handle->signature != zyvisa::sync::kSemSignature) {
    return VI_ERROR_INV_OBJECT;
  }
  // System records are found again by name by every process; they are never
  // given back by a caller.
  if (handle->system) return VI_ERROR_NSUP_OPER;
  return zyvisaSemCloseMutex(handle) ? VI_SUCCESS : VI_ERROR_CLOSING_FAILED;
}

extern "C" ZYVISA_EXPORT ViBoolean zyvisaSemCloseMutex(ViSemaphore handle) noexcept {
  using namespace zyvisa::sync;
  if (handle == nullptr || handle->signature != kSemSignature || handle->record == nullptr ||
      (handle->mutex == nullptr && handle->event == nullptr)) {
    return VI_FALSE;
  }
  SemTable& table = handle->system ? g_system : g_process;
  // Without the table's lock (start-up never made it, or shutdown is past
  // it) no other thread can be allocating: go on without.
  const bool locked = LockTable(table);
  // A process record stays out of use, unfindable by its name, until the
  // handle is destroyed: a waiter still counts itself on its lock counter.
  if (!handle->system) handle->record->free_flag = kRecordRetired;
  const int32_t index = IndexOf(table, handle->record);
  if (index >= 0 && table.handles[index] == handle) table.handles[index] = nullptr;
  if (locked) UnlockTable(table);
  handle->signature = 0;  // a stale handle is refused while its memory lasts

  if (handle->system) {
    zyvisa::platform::NamedMutexClose(handle->mutex);
    delete handle;
    return VI_TRUE;
  }
  // Freeing never waits for the threads waiting on the event (destroying a
  // condition variable under a waiter would): they are woken empty-handed,
  // and the last of them destroys what is left. The event is abandoned before
  // the closed mark is set, while this thread still keeps it alive.
  zyvisa::platform::EventAbandon(handle->event);
  const uint32_t before = handle->users.fetch_or(kSemClosed, std::memory_order_acq_rel);
  if ((before & ~kSemClosed) == 0) DestroyProcessHandle(handle);
  return VI_TRUE;
}
