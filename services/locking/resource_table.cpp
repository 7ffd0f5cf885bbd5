// The shared resource table: binding sessions to the one record of their
// resource, counting sessions, and opening each record's resource mutex.
#include <cstdio>
#include <cstring>

#include "locking/resource_record.h"
#include "platform/platform.h"
#include "runtime/process_state.h"
#include "zyvisa_locking.h"

namespace zyvisa::locking {

namespace {

constexpr const char* kMutexNameFormat = "ZY-VISA Mutex for Resource #%ld";
constexpr size_t kMaxMutexName = 80;

// Creating, freeing and counting take the global mutex: two processes that
// open the same resource at once must find one record, and two that close
// sessions at once must both be counted out. The global mutex is held by no
// code of the library while it takes another lock (visaSemAlloc below only
// nests it, it is recursive), so it may be taken here whatever the caller
// holds.
class TableLock {
 public:
  TableLock() noexcept {
    platform::NamedMutex* global = runtime::State().global_mutex;
    if (global == nullptr) return;
    // An abandoned hold counts: the steps below are ordered so that a process
    // that died half-way left a record that is either free or whole.
    const platform::WaitResult r = platform::NamedMutexWait(global, platform::kWaitForever);
    held_ = r == platform::WaitResult::kAcquired || r == platform::WaitResult::kAbandoned;
  }
  ~TableLock() {
    if (held_) platform::NamedMutexRelease(runtime::State().global_mutex);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;
  bool held() const noexcept { return held_; }

 private:
  bool held_ = false;
};

bool SameResource(const ResourceRecord& r, const objects::IoSession& s) {
  return r.identity_a == s.identity_a && r.identity_b == s.identity_b &&
         r.identity_c == s.identity_c && r.identity_d == s.identity_d;
}

ResourceRecord* RecordOf(void* session) {
  if (session == nullptr) return nullptr;
  auto* record = static_cast<ResourceRecord*>(static_cast<objects::IoSession*>(session)->resource_record);
  return record != nullptr && record->in_use != 0 ? record : nullptr;
}

void ClearHolders(const ResourceRecord* record) {
  if (RecordHolders* holders = HoldersOf(record)) std::memset(holders, 0, sizeof *holders);
}

}  // namespace

}  // namespace zyvisa::locking

using namespace zyvisa::locking;
using zyvisa::objects::IoSession;

extern "C" ZYVISA_EXPORT ViStatus zyvisaRsrcCreateResource(ViAddr session) noexcept {
  if (session == nullptr) return VI_ERROR_ALLOC;
  auto* s = static_cast<IoSession*>(session);
  const uint32_t max = zyvisa::runtime::State().max_resources;
  TableLock lock;
  if (!lock.held()) return VI_ERROR_ALLOC;
  for (uint32_t i = 0; i < max; ++i) {
    ResourceRecord* r = RecordAt(i);
    if (r == nullptr) return VI_ERROR_ALLOC;
    if (r->in_use != 0 && SameResource(*r, *s)) {
      r->in_use = 1;
      s->resource_record = r;
      return VI_SUCCESS;
    }
  }
  for (uint32_t i = 0; i < max; ++i) {
    ResourceRecord* r = RecordAt(i);
    if (r->in_use != 0) continue;
    // A free record is all zero, unless its freer died half-way: clear it
    // whole, then mark it in use last, so that a death here leaves it free.
    std::memset(r, 0, sizeof *r);
    ClearHolders(r);
    r->record_index = int32_t(i);
    r->identity_a = s->identity_a;
    r->identity_b = s->identity_b;
    r->identity_c = s->identity_c;
    r->identity_d = s->identity_d;
    r->in_use = 1;
    s->resource_record = r;
    return VI_SUCCESS;
  }
  return VI_ERROR_ALLOC;
}

extern "C" ZYVISA_EXPORT void zyvisaRsrcFreeResource(ViAddr session) noexcept {
  TableLock lock;
  ResourceRecord* r = RecordOf(session);
  if (r == nullptr) return;
  // Free first, so that a death half-way leaves a free record for the next
  // creator to clear; the per-process resource mutex entry stays.
  r->in_use = 0;
  ClearHolders(r);
  std::memset(r, 0, sizeof *r);
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaRsrcCreateSession(ViAddr session) noexcept {
  if (session == nullptr) return VI_ERROR_ALLOC;
  auto* record = static_cast<ResourceRecord*>(static_cast<IoSession*>(session)->resource_record);
  if (record == nullptr) return VI_ERROR_ALLOC;
  zyvisa::runtime::ProcessState& state = zyvisa::runtime::State();
  const int32_t index = record->record_index;
  if (state.resource_mutexes == nullptr || index < 0 || uint32_t(index) >= state.max_resources) {
    return VI_ERROR_ALLOC;
  }
  TableLock lock;
  if (!lock.held()) return VI_ERROR_ALLOC;
  if (state.resource_mutexes[index] == nullptr) {
    char name[2 * kMaxMutexName];
    const int length = std::snprintf(name, sizeof name, kMutexNameFormat, long{index});
    if (length < 0 || size_t(length) > kMaxMutexName) return VI_ERROR_ALLOC;
    ViSemaphore mutex = nullptr;
    // The system table's own search, under the global mutex we already hold
    // (it nests): a free record is taken, one carrying the name is joined.
    if (visaSemAlloc(name, ZYVISA_SEM_SYSTEM, 1, &mutex) != VI_SUCCESS) return VI_ERROR_ALLOC;
    state.resource_mutexes[index] = mutex;
  }
  record->session_count += 1;
  return VI_SUCCESS;
}

extern "C" ZYVISA_EXPORT ViUInt32 zyvisaRsrcFreeSession(ViAddr session) noexcept {
  TableLock lock;
  ResourceRecord* r = RecordOf(session);
  if (r == nullptr || r->session_count < 1) return 0;
  r->session_count -= 1;
  return ViUInt32(r->session_count);
}

extern "C" ZYVISA_EXPORT ViUInt32 zyvisaRsrcGetSessionCount(ViAddr record) noexcept {
  const auto* r = static_cast<const ResourceRecord*>(record);
  if (r == nullptr || r->in_use == 0) return 0xFFFFFFFFu;
  return ViUInt32(r->session_count);
}

extern "C" ZYVISA_EXPORT ViUInt32 zyvisaRsrcGetLockState(ViAddr record) noexcept {
  auto* r = static_cast<ResourceRecord*>(record);
  if (r == nullptr || r->in_use == 0) return 0xFFFFFFFFu;
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) return 0xFFFFFFFFu;
  RecordLock lock(r, mutex);
  if (lock.Acquire(zyvisa::platform::kWaitForever) != VI_SUCCESS) return 0xFFFFFFFFu;
  return r->in_use != 0 ? r->lock_state : 0xFFFFFFFFu;
}
