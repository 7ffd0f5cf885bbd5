// Exclusive and shared locks of a resource across processes: granting,
// nesting, joining by access key, waiting for other processes' operations
// and for the lock to change, and giving up the hold of an owner that died.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "locking/resource_record.h"
#include "platform/platform.h"
#include "zyvisa_locking.h"

namespace zyvisa::locking {

namespace {

using objects::IoSession;

// Every wait between two looks at the record. Waiters sleep on the word that
// they wait to change, so an unlock or a gate exit wakes them at once; the
// sleep still ends after this long, for what no one signals (owners that die,
// other builds of the library).
constexpr uint32_t kPollMs = 1;

struct Request {
  IoSession* session;
  ResourceRecord* record;
  RecordLock* lock;
  uint32_t timeout;
  // The clock is read when the request first has to wait, not at entry: a
  // request granted at once never needs it, and reading it costs as much as
  // the rest of an uncontended lock. Before the first wait only non-blocking
  // steps run, so the start moves by microseconds at most.
  mutable uint32_t start = 0;
  mutable bool started = false;

  void Start() const {
    if (!started) start = platform::TickCount();
    started = true;
  }
  bool TimedOut() const {
    if (timeout == VI_TMO_INFINITE) return false;
    Start();
    return platform::TickCount() - start >= timeout;
  }
  ViStatus LockedAnswer() const {
    return record->lock_state != kUnlocked ? VI_ERROR_RSRC_LOCKED : VI_ERROR_TMO;
  }
  // Sleeps with the mutex released while word still holds expected; takes
  // the mutex again. VI_SUCCESS, or the status a failed re-acquisition gives.
  ViStatus Sleep(const uint32_t* word, uint32_t expected, ViStatus on_failure) const {
    lock->Release();
    platform::WaitOnWord(word, expected, kPollMs);
    const ViStatus status = lock->Acquire(platform::kWaitForever);
    if (status == VI_ERROR_INV_OBJECT) return VI_ERROR_INV_OBJECT;
    return status == VI_SUCCESS ? VI_SUCCESS : on_failure;
  }
};

// The counts or'ed together, unrolled: a loop of atomic loads is not.
template <size_t... kEntry>
uint32_t AnyOperCount(const ResourceRecord& r, std::index_sequence<kEntry...>) {
  return (LoadWord(r.oper_count[kEntry]) | ...);
}

// The gated operation in progress that a lock request waits for, or -1. An
// entry of an ended process is freed on the way.
int32_t BlockingEntry(const Request& q) {
  ResourceRecord* r = q.record;
  const uint32_t own_pid = q.session->owner_process_id;
  // Nothing in progress (the common case): one look at every count.
  if (AnyOperCount(*r, std::make_index_sequence<kOperEntries>()) == 0) return -1;
  // Exits of this process change the counts and depths without the mutex,
  // only ever downwards: the count is read before the depth, so a count of 1
  // read with a depth above 0 was this session's own operation.
  for (uint32_t i = 0; i < kOperEntries; ++i) {
    const uint32_t count = LoadWord(r->oper_count[i]);
    if (count == 0) continue;
    const uint32_t pid = LoadWord(r->oper_pid[i]);
    if (pid == own_pid) {
      // The one operation in progress may be this session's own (a lock
      // request from inside a gated operation).
      if (count > 1 || LoadWord(q.session->lock_oper_depth) == 0) return int32_t(i);
      continue;
    }
    if (!ProcessEnded(pid, 0)) return int32_t(i);
    StoreWord(r->oper_count[i], 0);
  }
  return -1;
}

// Waits until no other operation is in progress on the resource. The
// request counts as a waiter only once it has to wait: counted and uncounted
// at once under the mutex, nobody could have seen it.
ViStatus WaitForOperations(const Request& q) {
  ResourceRecord* r = q.record;
  int32_t entry = BlockingEntry(q);
  if (entry < 0) return VI_SUCCESS;
  AddWaiter(r, +1);
  for (;; entry = BlockingEntry(q)) {
    if (entry < 0) break;
    if (q.TimedOut()) {
      const ViStatus status = q.LockedAnswer();
      AddWaiter(r, -1);
      return status;
    }
    const ViStatus status =
        q.Sleep(&r->oper_count[entry], LoadWord(r->oper_count[entry]), VI_ERROR_TMO);
    // Without the mutex the count cannot be taken back; the holders table
    // takes it out when this process ends.
    if (status != VI_SUCCESS) return status;
  }
  AddWaiter(r, -1);
  return VI_SUCCESS;
}

// Waits until the lock state changes (or its exclusive owner is found dead).
ViStatus WaitForChange(const Request& q, ViStatus on_failure) {
  ResourceRecord* r = q.record;
  AddWaiter(r, +1);
  const uint32_t remembered = r->lock_state;
  ViStatus status = VI_SUCCESS;
  // Looking for ended shared holders and waiters reads /proc for every other
  // process in the holders table: every fourth look is enough.
  constexpr uint32_t kPurgeEvery = 4;
  for (uint32_t look = 0;; ++look) {
    if (r->lock_state != remembered) break;
    if (DropDeadExclusiveOwner(r, *q.lock)) break;
    if (look % kPurgeEvery == 0 && PurgeEndedHolders(r, *q.lock)) break;
    if (q.TimedOut()) {
      status = q.LockedAnswer();
      break;
    }
    status = q.Sleep(&r->lock_state, remembered, on_failure);
    if (status != VI_SUCCESS) return status;
  }
  AddWaiter(r, -1);
  return status;
}

// "<number>_<date and time as asctime writes it>\n", at most 31 characters.
// Formatted by hand, so that the caller's locale cannot change its shape.
void GenerateKey(char* key) {
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // localtime's result is shared by every caller in the process.
  static std::mutex time_lock;
  std::tm t{};
  {
    std::lock_guard<std::mutex> guard(time_lock);
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now)) t = *local;
  }
  // 15 bits of the generator keep the key within 31 characters on every
  // C library, whatever its RAND_MAX.
  std::snprintf(key, kAccessKeySize, "%d_%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", std::rand() & 0x7FFF,
                kDays[unsigned(t.tm_wday) % 7], kMonths[unsigned(t.tm_mon) % 12], t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
}

bool KeyEquals(const char* requested, const char* record_key) {
  return std::strncmp(requested, record_key, kAccessKeySize) == 0;
}

void CopyKey(char* out, const ResourceRecord& r) {
  if (out != nullptr) std::memcpy(out, r.access_key, kAccessKeySize);
}

void GrantExclusive(const Request& q) {
  ResourceRecord* r = q.record;
  // Owner first, nesting and state last: RepairRecord drops a nesting whose
  // owner is not alive, so a grant cut short is never a lock.
  r->exclusive_owner_session = q.session->handle;
  r->exclusive_owner_pid = q.session->owner_process_id;
  r->owner_start_tag = q.session->owner_process_id == platform::CurrentProcessId()
                           ? OwnStartTag()
                           : StartTag(q.session->owner_process_id);
  r->exclusive_nest_count = 1;
  r->lock_state = kExclusive;
  if (r->lock_waiters != 0) q.lock->WakeStateLater();
}

// Shared requests while no exclusive lock keeps them out. kRetry: waited for
// a change, decide again.
constexpr ViStatus kRetry = 1;

ViStatus SharedRules(const Request& q, const char* requested, char* out) {
  ResourceRecord* r = q.record;
  IoSession* s = q.session;
  const bool no_key = requested == nullptr || requested[0] == '\0';
  if (s->shared_lock_nesting > 0) {
    if (!no_key && !KeyEquals(requested, r->access_key)) return VI_ERROR_INV_ACCESS_KEY;
    s->shared_lock_nesting += 1;
    CopyKey(out, *r);
    return VI_SUCCESS_NESTED_SHARED;
  }
  if (no_key) return VI_ERROR_INV_ACCESS_KEY;
  if (KeyEquals(requested, r->access_key)) {
    s->shared_lock_nesting = 1;
    AddShared(r, +1);
    CopyKey(out, *r);
    return VI_SUCCESS;
  }
  const ViStatus waited = WaitForChange(q, VI_ERROR_INV_ACCESS_KEY);
  return waited == VI_SUCCESS ? kRetry : waited;
}

ViStatus Decide(const Request& q, ViInt32 type, const char* requested, char* out) {
  ResourceRecord* r = q.record;
  IoSession* s = q.session;
  for (;;) {
    ViStatus waited = VI_SUCCESS;
    switch (r->lock_state) {
      case kUnlocked:
        if (type == VI_EXCLUSIVE_LOCK) {
          GrantExclusive(q);
          return VI_SUCCESS;
        }
        if (requested != nullptr && std::strlen(requested) >= kAccessKeySize) {
          return VI_ERROR_INV_ACCESS_KEY;
        }
        s->shared_lock_nesting = 1;
        AddShared(r, +1);
        r->shared_lock_count = 1;
        if (requested == nullptr || requested[0] == '\0') {
          GenerateKey(r->access_key);
        } else {
          std::memcpy(r->access_key, requested, std::strlen(requested) + 1);
        }
        r->lock_state = kShared;
        CopyKey(out, *r);
        return VI_SUCCESS;
      case kExclusive:
        if (type == VI_EXCLUSIVE_LOCK) {
          if (IsExclusiveOwner(*r, *s)) {
            r->exclusive_nest_count += 1;
            return VI_SUCCESS_NESTED_EXCLUSIVE;
          }
          waited = WaitForChange(q, VI_ERROR_TMO);
          break;
        }
        if (r->shared_lock_count == 0) {
          waited = WaitForChange(q, VI_ERROR_TMO);
          break;
        }
        if (IsExclusiveOwner(*r, *s)) return VI_ERROR_RSRC_LOCKED;
        waited = SharedRules(q, requested, out);
        if (waited != kRetry) return waited;
        waited = VI_SUCCESS;
        break;
      case kShared:
        if (type == VI_EXCLUSIVE_LOCK) {
          if (s->shared_lock_nesting > 0) {
            GrantExclusive(q);
            return VI_SUCCESS;
          }
          waited = WaitForChange(q, VI_ERROR_RSRC_LOCKED);
          // The locked answer on a resource still shared is RSRC_LOCKED too.
          break;
        }
        waited = SharedRules(q, requested, out);
        if (waited != kRetry) return waited;
        waited = VI_SUCCESS;
        break;
      default:
        return VI_ERROR_INV_LOCK_TYPE;
    }
    if (waited != VI_SUCCESS) return waited;
  }
}

}  // namespace

}  // namespace zyvisa::locking

using namespace zyvisa::locking;
using zyvisa::objects::IoSession;

extern "C" ZYVISA_EXPORT ViStatus zyvisaLock(ViAddr session, ViInt32 lock_type, ViUInt32 timeout,
                                             ViConstString requested_key,
                                             ViChar* access_key) noexcept {
  if (lock_type != VI_EXCLUSIVE_LOCK && lock_type != VI_SHARED_LOCK) {
    return VI_ERROR_INV_LOCK_TYPE;
  }
  auto* s = static_cast<IoSession*>(session);
  if (s == nullptr || s->resource_record == nullptr) return VI_ERROR_INV_OBJECT;
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) return r->lock_state != kUnlocked ? VI_ERROR_RSRC_LOCKED : VI_ERROR_TMO;
  RecordLock lock(r, mutex);
  Request q{s, r, &lock, timeout};
  if (lock.Acquire(0) != VI_SUCCESS) {
    q.Start();
    if (timeout == 0 || lock.Acquire(timeout) != VI_SUCCESS) return q.LockedAnswer();
  }
  const ViStatus waited = WaitForOperations(q);
  if (waited != VI_SUCCESS) return waited;
  return Decide(q, lock_type, requested_key, access_key);
}

extern "C" ZYVISA_EXPORT ViStatus zyvisaUnlock(ViAddr session) noexcept {
  auto* s = static_cast<IoSession*>(session);
  if (s == nullptr) return VI_ERROR_SESN_NLOCKED;
  auto* r = static_cast<ResourceRecord*>(s->resource_record);
  ViSemaphore mutex = MutexOf(r);
  if (mutex == nullptr) return VI_ERROR_TMO;
  RecordLock lock(r, mutex);
  if (lock.Acquire(zyvisa::platform::kWaitForever) != VI_SUCCESS) return VI_ERROR_TMO;
  const uint32_t before = r->lock_state;
  ViStatus status = VI_SUCCESS;
  switch (r->lock_state) {
    case kUnlocked:
      return VI_ERROR_SESN_NLOCKED;
    case kExclusive:
      if (IsExclusiveOwner(*r, *s)) {
        if (--r->exclusive_nest_count > 0) return VI_SUCCESS_NESTED_EXCLUSIVE;
        r->exclusive_owner_session = 0;
        r->exclusive_owner_pid = 0;
        r->owner_start_tag = 0;
        r->lock_state = StateWithoutExclusive(*r);
        if (r->shared_lock_count != 0 && s->shared_lock_nesting > 0) {
          status = VI_SUCCESS_NESTED_SHARED;
        }
        break;
      }
      if (r->shared_lock_count == 0 || s->shared_lock_nesting == 0) return VI_ERROR_SESN_NLOCKED;
      if (--s->shared_lock_nesting > 0) return VI_SUCCESS_NESTED_SHARED;
      AddShared(r, -1);
      break;
    case kShared:
      if (s->shared_lock_nesting == 0) return VI_ERROR_SESN_NLOCKED;
      if (--s->shared_lock_nesting > 0) return VI_SUCCESS_NESTED_SHARED;
      AddShared(r, -1);
      if (r->shared_lock_count == 0) r->lock_state = kUnlocked;
      break;
    default:
      return VI_ERROR_SYSTEM_ERROR;
  }
  if (r->lock_state != before && r->lock_waiters != 0) lock.WakeStateLater();
  return status;
}
