// The configuration store: every configuration file asked for is parsed once
// into a per-process cache and re-read when its change stamp moves.
#include "config/ini_store.h"
#include "runtime/never_destroyed.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ini/ini_document.h"
#include "runtime/process_state.h"
#include "platform/platform.h"
#include "zyvisa_config.h"
#include "zyvisa_sem.h"

namespace zyvisa::config {

// The store is the parser's one user inside the library.
using namespace zyvisa::ini;

namespace {

constexpr char kIniServiceLockName[] = "ZY-VISA INI service mutex";
// Every cached document: sections merged, names without case, both kinds of
// quote stripped, empty values absent, '=' only.
constexpr bool kMergeSections = true;
constexpr bool kCaseSensitive = false;
constexpr uint32_t kStoreOptions = kIniStripDoubleQuotes | kIniStripSingleQuotes;
// visaGetIniString's own buffer: values are cut at 255 characters.
constexpr size_t kStringResultSize = 256;
// Numbers travel as text through buffers of this size (79 characters).
constexpr size_t kNumberTextSize = 80;

struct CachedFile {
  // Any length, compared byte for byte: POSIX paths run far past the 259
  // characters of the classic limit, and a path is looked up as given.
  std::string path;
  // The file's stamp at the last change check; 0: it was missing.
  uint64_t stamp = 0;
  // Null: never loaded, not loadable, or dropped because the file changed.
  std::unique_ptr<IniDocument> doc;
};

// Everything below is read and changed only under the INI service lock (or
// without it, when the lock cannot be had, as during a failed start-up).
// Never destroyed: shutdown may empty it after static destructors have run.
std::vector<std::unique_ptr<CachedFile>>& Cache() {
  static runtime::NeverDestroyed<std::vector<std::unique_ptr<CachedFile>>> files;
  return files.get();
}

// Non-zero: lookups use cached documents without checking their files.
// Changed atomically, read without the lock.
std::atomic<int32_t> suspend_count{0};
// Obtained on first use, kept for the process.
std::atomic<ViSemaphore> service_lock{nullptr};

ViSemaphore ObtainServiceLock() noexcept {
  ViSemaphore lock = service_lock.load(std::memory_order_acquire);
  if (lock != nullptr) return lock;
  // The semaphore table finds or creates by name under its own lock, so
  // threads racing here all get the one handle. On failure the next
  // operation tries again.
  if (visaSemAlloc(kIniServiceLockName, ZYVISA_SEM_PROCESS, 1, &lock) != VI_SUCCESS) return nullptr;
  service_lock.store(lock, std::memory_order_release);
  return lock;
}

// Holds the INI service lock for a scope when it can be had within the
// service lock timeout (0 once unloading began, so shutdown never waits for
// a thread that is gone); otherwise the scope runs without it. The lock is
// recursive: a change check inside a lookup on the same thread takes it again.
class ServiceLockScope {
 public:
  explicit ServiceLockScope(bool create = true) noexcept
      : lock_(create ? ObtainServiceLock() : service_lock.load(std::memory_order_acquire)) {
    if (lock_ != nullptr) visaSemAcquire(lock_, runtime::ServiceLockTimeout(), &acquired_);
  }
  ~ServiceLockScope() {
    if (acquired_ != 0) visaSemRelease(lock_, &acquired_);
  }
  ServiceLockScope(const ServiceLockScope&) = delete;
  ServiceLockScope& operator=(const ServiceLockScope&) = delete;

 private:
  ViSemaphore lock_;
  ViUInt16 acquired_ = 0;
};

// The change check: VI_TRUE when the file is missing or its stamp differs
// from *stamp (which is updated when update is set).
ViBoolean CheckForChange(const char* path, bool update, bool honour_suspension,
                         uint64_t* stamp) noexcept {
  if (honour_suspension && suspend_count.load(std::memory_order_relaxed) != 0) return VI_FALSE;
  ServiceLockScope lock;  // *stamp may live in a cache entry
  const uint64_t now = platform::FileStamp(path);
  if (now == 0) {
    if (update) *stamp = 0;
    return VI_TRUE;
  }
  if (now == *stamp) return VI_FALSE;
  if (update) *stamp = now;
  return VI_TRUE;
}

// Drops the entry's document if its file changed (unless suspension is
// honoured and on), then loads it if there is none: a file that was missing
// or unreadable is tried again on every lookup.
void BringUpToDate(CachedFile& file, bool honour_suspension) noexcept {
  if (CheckForChange(file.path.c_str(), true, honour_suspension, &file.stamp) != VI_FALSE) {
    file.doc.reset();
  }
  if (file.doc != nullptr) return;
  // Opened first: lookups in a missing file (defaults) allocate nothing. Only
  // a regular file is read: a FIFO in its place would block every lookup.
  std::FILE* stream = platform::OpenRegularFileForReading(file.path.c_str());
  if (stream == nullptr) return;
  std::unique_ptr<IniDocument> doc(new (std::nothrow)
                                       IniDocument(kMergeSections, kCaseSensitive, kStoreOptions));
  if (doc != nullptr && doc->Load(stream) == 0) file.doc = std::move(doc);
  std::fclose(stream);
}

CachedFile* FindCached(const char* path) noexcept {
  for (const auto& file : Cache()) {
    if (file->path == path) return file.get();
  }
  return nullptr;
}

// Null when there is no memory for a new entry.
CachedFile* FindOrAddCached(const char* path) noexcept {
  if (CachedFile* file = FindCached(path)) return file;
  try {
    auto file = std::make_unique<CachedFile>();
    file->path = path;
    CheckForChange(path, true, false, &file->stamp);  // starts with the file's current stamp
    Cache().push_back(std::move(file));
    return Cache().back().get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void CopyBounded(const char* text, ViChar* buffer, size_t size) noexcept {
  size_t n = std::strlen(text);
  if (n > size - 1) n = size - 1;
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

bool IsFlush(const char* file, const char* section, const char* key) noexcept {
  return file[0] == '\0' && section[0] == '\0' && key[0] == '\0';
}

// Reads a number as text, with the default written as text. A cache flush
// reads nothing: *value then receives the default (our choice: a caller that
// reads the result gets the value it said to use when there is none).
int32_t LookupNumber(const char* file, const char* section, const char* key,
                     const char* default_text, int32_t default_value) noexcept {
  if (file != nullptr && section != nullptr && key != nullptr && IsFlush(file, section, key)) {
    visaGetIniStringIntoBuffer(file, section, key, "", nullptr, 0);
    return default_value;
  }
  char text[kNumberTextSize] = {};
  visaGetIniStringIntoBuffer(file, section, key, default_text, text, kNumberTextSize);
  return DecimalValue(text);
}

// The default as decimal text ("%ld" of a 32-bit number, "%hd" of a 16-bit one).
struct DefaultText {
  explicit DefaultText(int32_t value) noexcept {
    *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
  }
  char text[kNumberTextSize];
};

int32_t LookupLong(const char* file, const char* section, const char* key, ViInt32 def) noexcept {
  return LookupNumber(file, section, key, DefaultText(def).text, def);
}

ViInt16 LookupShort(const char* file, const char* section, const char* key, ViInt16 def) noexcept {
  // Read as a 32-bit number; the low 16 bits are the result.
  const int32_t value = LookupNumber(file, section, key, DefaultText(def).text, def);
  return static_cast<ViInt16>(static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu));
}

// The indexed lookups read the key stem + index in decimal. The name is built
// whole, however long the stem (our choice: the key asked for is the key
// read, never a cut one); null when there is no memory for it.
bool IndexedKey(const char* stem, ViUInt16 index, std::string* key) noexcept {
  if (stem == nullptr) return false;
  try {
    *key = stem;
    *key += std::to_string(static_cast<unsigned>(index));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

int32_t DecimalValue(const char* text) noexcept {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > 2147483648LL) magnitude = 2147483648LL;  // saturated, stays there
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

void ForgetIniServiceLock() noexcept { service_lock.store(nullptr, std::memory_order_release); }

bool HaveIniServiceLock() noexcept {
  return service_lock.load(std::memory_order_acquire) != nullptr;
}

}  // namespace zyvisa::config

using namespace zyvisa::config;

extern "C" ZYVISA_EXPORT void visaGetIniStringIntoBuffer(ViConstString file, ViConstString section,
                                                         ViConstString key, ViConstString def,
                                                         ViChar* buffer, ViInt32 size) noexcept {
  if (def == nullptr) def = "";
  const bool usable_buffer = buffer != nullptr && size >= 1;
  if (file == nullptr || section == nullptr || key == nullptr) {  // nothing to look up
    if (usable_buffer) CopyBounded(def, buffer, static_cast<size_t>(size));
    return;
  }
  const bool flush = IsFlush(file, section, key);
  if (!flush && !usable_buffer) return;

  ServiceLockScope lock;
  if (flush) {
    std::vector<std::unique_ptr<CachedFile>>().swap(Cache());
    return;
  }
  const size_t limit = static_cast<size_t>(size);
  if (CachedFile* cached = FindOrAddCached(file)) {
    BringUpToDate(*cached, true);
    if (cached->doc != nullptr) {
      const IniSection* found = cached->doc->FindSection(section);
      const IniKey* entry = found == nullptr ? nullptr : cached->doc->FindKey(*found, key);
      if (entry != nullptr) {
        // The value fills the buffer: its text, then NULs to the end.
        const size_t n = entry->value.size() < limit - 1 ? entry->value.size() : limit - 1;
        std::memcpy(buffer, entry->value.data(), n);
        std::memset(buffer + n, 0, limit - n);
        return;
      }
    }
  }
  CopyBounded(def, buffer, limit);
}

// result must hold 256 bytes; only the text and its NUL are written into it,
// so a smaller buffer holding the text is enough.
extern "C" ZYVISA_EXPORT void visaGetIniString(ViConstString file, ViConstString section,
                                               ViConstString key, ViConstString def,
                                               ViChar* result) noexcept {
  char text[kStringResultSize] = {};
  visaGetIniStringIntoBuffer(file, section, key, def, text, kStringResultSize);
  if (result != nullptr) std::memcpy(result, text, std::strlen(text) + 1);
}

extern "C" ZYVISA_EXPORT void visaGetIniLong(ViConstString file, ViConstString section,
                                             ViConstString key, ViInt32 def,
                                             ViInt32* value) noexcept {
  const ViInt32 result = LookupLong(file, section, key, def);
  if (value != nullptr) *value = result;
}

extern "C" ZYVISA_EXPORT void visaGetIniShort(ViConstString file, ViConstString section,
                                              ViConstString key, ViInt16 def,
                                              ViInt16* value) noexcept {
  const ViInt16 result = LookupShort(file, section, key, def);
  if (value != nullptr) *value = result;
}

extern "C" ZYVISA_EXPORT void visaGetIniIndexLong(ViConstString file, ViConstString section,
                                                  ViConstString stem, ViUInt16 index, ViInt32 def,
                                                  ViInt32* value) noexcept {
  std::string key;
  visaGetIniLong(file, section, IndexedKey(stem, index, &key) ? key.c_str() : nullptr, def, value);
}

extern "C" ZYVISA_EXPORT void visaGetIniIndexShort(ViConstString file, ViConstString section,
                                                   ViConstString stem, ViUInt16 index, ViInt16 def,
                                                   ViInt16* value) noexcept {
  std::string key;
  visaGetIniShort(file, section, IndexedKey(stem, index, &key) ? key.c_str() : nullptr, def, value);
}

extern "C" ZYVISA_EXPORT void visaGetIniIndexString(ViConstString file, ViConstString section,
                                                    ViConstString stem, ViUInt16 index,
                                                    ViConstString def, ViChar* result) noexcept {
  std::string key;
  visaGetIniString(file, section, IndexedKey(stem, index, &key) ? key.c_str() : nullptr, def, result);
}

extern "C" ZYVISA_EXPORT void visaGetIniIndexStringIntoBuffer(ViConstString file,
                                                              ViConstString section,
                                                              ViConstString stem, ViUInt16 index,
                                                              ViConstString def, ViChar* buffer,
                                                              ViInt32 size) noexcept {
  std::string key;
  visaGetIniStringIntoBuffer(file, section, IndexedKey(stem, index, &key) ? key.c_str() : nullptr,
                             def, buffer, size);
}

// Re-reads every changed file and drops deleted ones, also while update
// checks are suspended.
extern "C" ZYVISA_EXPORT void visaRefreshIniFiles() noexcept {
  ServiceLockScope lock;
  for (const auto& file : Cache()) BringUpToDate(*file, false);
}

// Counted: each suspend (enable 0) needs one resume. Not clamped: a resume
// without a suspend counts as suspended until the next suspend. The lock is
// taken only if it exists already; before any lookup the count is changed
// without it.
extern "C" ZYVISA_EXPORT void zyvisaConfigFileCheckUpdates(ViBoolean enable) noexcept {
  ServiceLockScope lock(false);
  if (enable != 0) {
    suspend_count.fetch_sub(1, std::memory_order_relaxed);
  } else {
    suspend_count.fetch_add(1, std::memory_order_relaxed);
  }
}

extern "C" ZYVISA_EXPORT ViBoolean zyvisaConfigFileUpdated(ViConstString file, ViBoolean update,
                                                           ViBoolean honour_suspension,
                                                           ViUInt64* stamp) noexcept {
  if (file == nullptr) return VI_TRUE;  // no file: missing
  uint64_t own = 0;  // without a stamp to compare with, every existing file counts as changed
  return CheckForChange(file, update != 0, honour_suspension != 0, stamp != nullptr ? stamp : &own);
}

extern "C" ZYVISA_EXPORT ViStatus visaGetIniTimestamp(ViConstString file, ViUInt64* stamp) noexcept {
  if (stamp == nullptr) return VI_ERROR_USER_BUF;
  if (file == nullptr) {
    *stamp = 0;
    return VI_ERROR_FILE_ACCESS;
  }
  if (suspend_count.load(std::memory_order_relaxed) != 0) {
    ServiceLockScope lock;  // the cache is searched under the lock
    if (const CachedFile* cached = FindCached(file)) {
      *stamp = cached->stamp;
      return VI_SUCCESS;
    }
  }
  uint64_t own = 0;
  CheckForChange(file, true, false, &own);
  *stamp = own;
  return own == 0 ? VI_ERROR_FILE_ACCESS : VI_SUCCESS;
}
