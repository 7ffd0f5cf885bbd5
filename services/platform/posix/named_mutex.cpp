// Machine-wide named mutexes: a robust, recursive, process-shared pthread mutex
// in a small file of the machine folder, one file per name. The machine folder
// itself is kept here too, since the mutexes are its first users.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

#if defined(__SANITIZE_THREAD__)
#define ZYVISA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZYVISA_TSAN 1
#endif
#endif

namespace zyvisa::platform {

namespace {

// ---------------------------------------------------------------- machine folder

// Static storage, not heap: the unload hook may still open objects while the
// library's static destructors run, and a library that is unloaded and loaded
// again must leave no heap block behind.
pthread_mutex_t g_folder_lock = PTHREAD_MUTEX_INITIALIZER;
char g_folder[4096];

// ---------------------------------------------------------------- file layout

// One mutex file. Every process of the machine maps it, possibly from another
// build of this library, so the layout is fixed and checked: a file whose
// header does not match is not used but replaced.
constexpr uint32_t kMutexFileMagic = 0x584D595Au;  // "ZYMX"
constexpr uint16_t kMutexFileLayout = 1;
constexpr size_t kBootIdSize = 40;

struct MutexFile {
  uint32_t magic;  // written last: a file without it was never finished
  uint16_t layout;
  uint16_t mutex_size;  // sizeof(pthread_mutex_t) of the process that made it
  // The boot the file was made in. A futex word owned by a thread of an
  // earlier boot is never released (the kernel that would have marked the
  // owner dead is gone), so a file of another boot is replaced.
  char boot_id[kBootIdSize];
  uint8_t reserved[16];
  union {
    pthread_mutex_t mutex;
    uint8_t mutex_storage[64];
  };
};
static_assert(sizeof(pthread_mutex_t) <= 64, "the mutex must fit its slot");
static_assert(offsetof(MutexFile, magic) == 0);
static_assert(offsetof(MutexFile, layout) == 4);
static_assert(offsetof(MutexFile, mutex_size) == 6);
static_assert(offsetof(MutexFile, boot_id) == 8);
static_assert(offsetof(MutexFile, reserved) == 48);
static_assert(offsetof(MutexFile, mutex) == 64);
static_assert(sizeof(MutexFile) == 128);

// File names in the machine folder. Mutex files carry the escaped name after a
// prefix that neither the creation lock nor the temporary files share.
constexpr const char* kMutexPrefix = "zyvisa-mutex-";
constexpr const char* kCreationLockName = "zyvisa-mutexes.lock";
constexpr const char* kTemporaryTemplate = "zyvisa-new-XXXXXX";
constexpr size_t kMaxFileName = 255;

// The mutex name made one file name, and still one-to-one: '\' (Windows
// namespaces such as Global\), '/' and the escape character itself become
// %5C, %2F and %25.
bool FileNameFor(const char* name, std::string* file) {
  file->assign(kMutexPrefix);
  for (const char* p = name; *p != '\0'; ++p) {
    switch (*p) {
      case '\\': file->append("%5C"); break;
      case '/': file->append("%2F"); break;
      case '%': file->append("%25"); break;
      default: file->push_back(*p);
    }
  }
  return file->size() <= kMaxFileName;
}

char g_boot_id[kBootIdSize];
pthread_once_t g_boot_id_once = PTHREAD_ONCE_INIT;

void ReadBootId() {
  // Without /proc every file counts as made in this boot.
  FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "re");
  if (f == nullptr) return;
  if (std::fgets(g_boot_id, sizeof g_boot_id, f) != nullptr) {
    g_boot_id[std::strcspn(g_boot_id, "\n")] = '\0';
  }
  std::fclose(f);
}

// Read once: it cannot change while we run.
const char* BootId() {
  pthread_once(&g_boot_id_once, &ReadBootId);
  return g_boot_id;
}

bool IsUsable(const MutexFile* file) {
  return __atomic_load_n(&file->magic, __ATOMIC_ACQUIRE) == kMutexFileMagic &&
         file->layout == kMutexFileLayout && file->mutex_size == sizeof(pthread_mutex_t) &&
         std::strncmp(file->boot_id, BootId(), kBootIdSize) == 0;
}

MutexFile* MapFile(int fd) {
  void* view = mmap(nullptr, sizeof(MutexFile), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return view == MAP_FAILED ? nullptr : static_cast<MutexFile*>(view);
}

// Maps the file at path if it exists and is usable. Unmapping a file that
// turns out unusable is safe: this process never locked it.
MutexFile* MapUsableFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st{};
  MutexFile* file = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == off_t(sizeof(MutexFile))) {
    file = MapFile(fd);
  }
  close(fd);
  if (file != nullptr && !IsUsable(file)) {
    munmap(file, sizeof(MutexFile));
    file = nullptr;
  }
  return file;
}

bool InitMutex(MutexFile* file) {
  std::memset(file, 0, sizeof *file);
  file->layout = kMutexFileLayout;
  file->mutex_size = uint16_t(sizeof(pthread_mutex_t));
  std::memcpy(file->boot_id, BootId(), kBootIdSize);  // both zero-padded
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  // Shared between processes; recursive for its owner; robust, so that the
  // kernel marks it when the owning thread ends and the next locker gets it.
  bool ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutex_init(&file->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  if (ok) __atomic_store_n(&file->magic, kMutexFileMagic, __ATOMIC_RELEASE);
  return ok;
}

// Makes a finished mutex file and only then gives it its name, so that no
// process ever sees a half-made one: a creator killed half-way leaves at most
// a nameless file (or, where O_TMPFILE is missing, a temporary one). Runs
// under the creation lock; replaces an unusable file of that name.
// Re-makes an unusable file (one of an earlier boot, or foreign) in place.
// Nobody of this boot uses it: a process that maps it finds it unusable too
// and waits for the creation lock, which we hold. In place rather than
// replaced, because in the sticky machine folder only the file's owner may
// delete it. Null if the file cannot be opened for writing.
MutexFile* RemakeInPlace(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st{};
  MutexFile* file = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_size == off_t(sizeof(MutexFile)) || ftruncate(fd, off_t(sizeof(MutexFile))) == 0)) {
    file = MapFile(fd);
  }
  close(fd);
  if (file != nullptr) {
    __atomic_store_n(&file->magic, 0u, __ATOMIC_RELEASE);
    if (!InitMutex(file)) {
      munmap(file, sizeof(MutexFile));
      file = nullptr;
    }
  }
  return file;
}

MutexFile* CreateFile(const std::string& folder, const std::string& path) {
  struct stat existing{};
  if (lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    if (MutexFile* file = RemakeInPlace(path)) return file;
  }
  // The nameless file is named through /proc, so it needs /proc mounted.
  int fd = access("/proc/self/fd", X_OK) == 0
               ? open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, posix::kSharedFileMode)
               : -1;
  std::string temporary;
  if (fd < 0) {
    temporary = folder + "/" + kTemporaryTemplate;
    fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return nullptr;
  }
  fchmod(fd, posix::kSharedFileMode);  // usable by the machine's group, whatever the umask
  MutexFile* file = nullptr;
  if (ftruncate(fd, off_t(sizeof(MutexFile))) == 0) file = MapFile(fd);
  bool ok = file != nullptr && InitMutex(file);
  if (ok && temporary.empty()) {
    // A nameless file gets its name by a link through /proc; an unusable
    // file of that name goes first (rename cannot replace with a link).
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    unlink(path.c_str());
    ok = linkat(AT_FDCWD, proc_path, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
  } else if (ok) {
    ok = rename(temporary.c_str(), path.c_str()) == 0;
  }
  if (!ok && !temporary.empty()) unlink(temporary.c_str());
  close(fd);
  if (!ok && file != nullptr) {
    munmap(file, sizeof(MutexFile));
    file = nullptr;
  }
  return file;
}

// Finds or makes the usable file at path (without may_create, only a file
// that exists is made usable). A usable file is found without any
// lock (files get their name only when finished); making or replacing one
// takes the folder's creation lock, a never-deleted file held with flock,
// which the kernel drops if the holder dies.
MutexFile* OpenFile(const std::string& folder, const std::string& path, bool may_create) {
  if (MutexFile* file = MapUsableFile(path)) return file;
  struct stat st{};
  if (!may_create && lstat(path.c_str(), &st) != 0) return nullptr;
  const std::string lock_path = folder + "/" + kCreationLockName;
  int lock_fd = posix::OpenOrCreateShared(lock_path.c_str(), O_RDONLY);
  if (lock_fd < 0) return nullptr;
  MutexFile* file = nullptr;
  if (posix::FlockRetry(lock_fd, LOCK_EX) == 0) {
    file = MapUsableFile(path);  // made by another process while we waited
    if (file == nullptr) file = CreateFile(folder, path);
  }
  close(lock_fd);  // releases the flock
  return file;
}

// ---------------------------------------------------------------- the cache

// Mappings stay for the life of the process: a robust mutex that may be held
// is on the owner thread's robust list by address, and the kernel walks that
// list when the thread ends; unmapping (or mapping something else there)
// would make it write into whatever the address holds then. So each file is
// mapped once per process, keyed by its path, and handles merely point at it.
//
// The cache entries are as permanent as the mappings. They live in anonymous
// pages of their own rather than on the heap, so that unloading the library
// (which cannot unmap the files) leaves no heap block behind; a library loaded
// again maps the files anew beside the old mappings, which is harmless (the
// kernel keys a shared futex by file and offset, not by address).
struct CacheEntry {
  CacheEntry* next;
  MutexFile* file;
  char path[1];  // zero-terminated, as long as needed
};

pthread_mutex_t g_cache_lock = PTHREAD_MUTEX_INITIALIZER;
CacheEntry* g_cache = nullptr;
char* g_arena = nullptr;
size_t g_arena_left = 0;

void* ArenaAllocate(size_t size) {
  size = (size + 15) & ~size_t{15};
  if (size > g_arena_left) {
    const size_t chunk = size > 65536 ? size : 65536;
    void* pages = mmap(nullptr, chunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return nullptr;
    g_arena = static_cast<char*>(pages);
    g_arena_left = chunk;
  }
  void* block = g_arena;
  g_arena += size;
  g_arena_left -= size;
  return block;
}

MutexFile* CacheFind(const std::string& path) {
  for (CacheEntry* e = g_cache; e != nullptr; e = e->next) {
    if (path == e->path) return e->file;
  }
  return nullptr;
}

void CacheAdd(const std::string& path, MutexFile* file) {
  auto* entry = static_cast<CacheEntry*>(ArenaAllocate(sizeof(CacheEntry) + path.size()));
  // Without an entry the file is mapped again next time: harmless.
  if (entry == nullptr) return;
  entry->file = file;
  std::memcpy(entry->path, path.c_str(), path.size() + 1);
  entry->next = g_cache;
  g_cache = entry;
}

// A fork while another thread holds the cache lock would leave the child's
// copy locked for ever; the lock is taken around fork.
void LockCacheBeforeFork() { pthread_mutex_lock(&g_cache_lock); }
void UnlockCacheAfterFork() { pthread_mutex_unlock(&g_cache_lock); }
[[maybe_unused]] const int g_atfork_registered =
    pthread_atfork(&LockCacheBeforeFork, &UnlockCacheAfterFork, &UnlockCacheAfterFork);

// How often a waiter looks whether the owner named by the lock word still
// exists. The kernel marks the owner dead only for a thread that had the
// mutex on its robust list; a word written by hand (a damaged or hostile
// file) names a thread that will never end holding it.
constexpr uint32_t kOwnerCheckMs = 100;

// The robust futex word, as the kernel and the C library share it.
std::atomic<uint32_t>* LockWord(pthread_mutex_t* mutex) {
  static_assert(sizeof(mutex->__data.__lock) == sizeof(std::atomic<uint32_t>));
  return reinterpret_cast<std::atomic<uint32_t>*>(&mutex->__data.__lock);
}

// When the word names a thread that does not exist, marks the owner dead
// exactly as the kernel does for a robust owner that ends (waiters bit kept,
// owner-died bit set, one waiter woken): the next locker gets EOWNERDEAD and
// the mutex is recovered like any abandoned one. kill() accepts any thread
// id; ESRCH alone means gone (EPERM: exists, another user's).
void RecoverVanishedOwner(pthread_mutex_t* mutex) {
  std::atomic<uint32_t>* word = LockWord(mutex);
  uint32_t seen = word->load(std::memory_order_acquire);
  const uint32_t owner = seen & FUTEX_TID_MASK;
  if (owner == 0 || (seen & FUTEX_OWNER_DIED) != 0) return;
  if (kill(pid_t(owner), 0) == 0 || errno != ESRCH) return;
  const uint32_t dead = (seen & FUTEX_WAITERS) | FUTEX_OWNER_DIED;
  if (word->compare_exchange_strong(seen, dead, std::memory_order_acq_rel) &&
      (seen & FUTEX_WAITERS) != 0) {
    syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  }
}

int TimedLock(pthread_mutex_t* mutex, uint32_t timeout_ms) {
#ifdef ZYVISA_TSAN
  // The thread sanitizer does not see pthread_mutex_clocklock (nor an
  // abandoned mutex taken by timedlock); polling trylock keeps it informed.
  const uint64_t deadline = MonotonicMs() + timeout_ms;
  for (;;) {
    int r = pthread_mutex_trylock(mutex);
    if (r != EBUSY) return r;
    if (MonotonicMs() >= deadline) return ETIMEDOUT;
    SleepMs(1);
  }
#else
  // The monotonic clock: a time-out measured on the wall clock would stretch
  // or shrink when the clock is set.
  const timespec deadline = posix::MonotonicDeadline(timeout_ms);
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

}  // namespace

struct NamedMutex {
  MutexFile* file;
};

void SetMachineFolder(const char* folder) {
  if (folder == nullptr) folder = "";
  size_t size = std::strlen(folder);
  // One spelling per folder, so that the cache keys of one file agree.
  while (size > 1 && folder[size - 1] == '/') --size;
  pthread_mutex_lock(&g_folder_lock);
  // A folder too long for a path leaves none: named objects then fail to open.
  if (size >= sizeof g_folder) size = 0;
  std::memcpy(g_folder, folder, size);
  g_folder[size] = '\0';
  pthread_mutex_unlock(&g_folder_lock);
}

std::string MachineFolder() {
  pthread_mutex_lock(&g_folder_lock);
  std::string folder;
  try {
    folder = g_folder;
  } catch (...) {
  }
  pthread_mutex_unlock(&g_folder_lock);
  return folder;
}

NamedMutex* NamedMutexOpen(const char* name, bool may_create) noexcept {
  if (name == nullptr || name[0] == '\0') return nullptr;
  try {
    const std::string folder = MachineFolder();
    std::string file_name;
    if (folder.empty() || !FileNameFor(name, &file_name)) return nullptr;
    const std::string path = folder + "/" + file_name;

    auto* handle = new NamedMutex{nullptr};
    // Held across the file work so that two threads opening one new name make
    // one mapping; opening is never on a hot path.
    pthread_mutex_lock(&g_cache_lock);
    handle->file = CacheFind(path);
    if (handle->file == nullptr) {
      handle->file = OpenFile(folder, path, may_create);
      if (handle->file != nullptr) CacheAdd(path, handle->file);
    }
    pthread_mutex_unlock(&g_cache_lock);
    if (handle->file == nullptr) {
      delete handle;
      return nullptr;
    }
    return handle;
  } catch (...) {
    return nullptr;
  }
}

namespace {

// Contended: waits in slices, looking between them whether the owner still
// exists. Out of line, so that the uncontended path stays a leaf-like call.
[[gnu::noinline]] WaitResult WaitContended(pthread_mutex_t* m, int r, uint32_t timeout_ms) {
  if (r == EBUSY && timeout_ms > 0) {
    const uint64_t deadline = timeout_ms == kWaitForever ? UINT64_MAX : MonotonicMs() + timeout_ms;
    for (;;) {
      const uint64_t now = MonotonicMs();
      if (now >= deadline) break;
      const uint64_t left = deadline - now;
      r = TimedLock(m, left < kOwnerCheckMs ? uint32_t(left) : kOwnerCheckMs);
      if (r != ETIMEDOUT && r != EBUSY) break;
      RecoverVanishedOwner(m);
    }
  }
  switch (r) {
    case 0:
      return WaitResult::kAcquired;
    case EOWNERDEAD:
      // The owner ended while holding it. We hold it now; it must be marked
      // consistent before any unlock, or it becomes unusable for ever
      // (ENOTRECOVERABLE) for every process.
      pthread_mutex_consistent(m);
      return WaitResult::kAbandoned;
    case EBUSY:
    case ETIMEDOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

}  // namespace

WaitResult NamedMutexWait(NamedMutex* mutex, uint32_t timeout_ms) noexcept {
  if (mutex == nullptr) return WaitResult::kFailed;
  pthread_mutex_t* m = &mutex->file->mutex;
  // Uncontended: one atomic, no system call.
  const int r = pthread_mutex_trylock(m);
  if (r == 0) return WaitResult::kAcquired;
  return WaitContended(m, r, timeout_ms);
}

bool NamedMutexRelease(NamedMutex* mutex) noexcept {
  if (mutex == nullptr) return false;
#ifdef ZYVISA_TSAN
  // glibc refuses an unlock by a thread that does not hold the mutex, but the
  // thread sanitizer reports it as an error before glibc can; ask first.
  constexpr int kFutexTidMask = 0x3FFFFFFF;
  if ((mutex->file->mutex.__data.__owner & kFutexTidMask) != int(CurrentThreadId())) {
    return false;
  }
#endif
  return pthread_mutex_unlock(&mutex->file->mutex) == 0;
}

void NamedMutexClose(NamedMutex* mutex) noexcept { delete mutex; }

}  // namespace zyvisa::platform
