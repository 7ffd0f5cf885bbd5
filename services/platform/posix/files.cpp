// Files and folders: existence, creation, copying, and the region's backing
// file opened with share modes (flock) and mapped shared; and the helpers of
// posix_common.h.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform {

namespace posix {

int OpenOrCreateShared(const char* path, int flags) noexcept {
  // O_NONBLOCK: a FIFO put in the file's place would otherwise block the
  // open for ever; on a regular file the flag changes nothing.
  flags |= O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  // Another process may create or delete the file between our two opens;
  // a few rounds settle it.
  for (int round = 0; round < 64; ++round) {
    int fd = open(path, flags);
    if (fd < 0 && errno == ENOENT) {
      fd = open(path, flags | O_CREAT | O_EXCL, kSharedFileMode);
      if (fd < 0 && errno == EEXIST) continue;
      // Best effort: some file systems have no modes.
      if (fd >= 0) fchmod(fd, kSharedFileMode);
    }
    if (fd < 0) return -1;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      errno = EINVAL;
      return -1;
    }
    return fd;
  }
  errno = EAGAIN;
  return -1;
}

int FlockRetry(int fd, int operation) noexcept {
  int r;
  do {
    r = flock(fd, operation);
  } while (r != 0 && errno == EINTR);
  return r;
}

timespec DeadlineOn(clockid_t clock, uint32_t ms) noexcept {
  timespec t{};
  clock_gettime(clock, &t);
  t.tv_sec += ms / 1000;
  t.tv_nsec += long(ms % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

}  // namespace posix

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while path still names the file open on fd.
bool PathNamesFile(const char* path, int fd) {
  struct stat by_fd{}, by_path{};
  return fstat(fd, &by_fd) == 0 && lstat(path, &by_path) == 0 && SameFile(by_fd, by_path);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

bool PathExists(const char* path) noexcept {
  struct stat st{};
  return path != nullptr && stat(path, &st) == 0;
}

// Folders made here hold configuration files. Whether other users may write
// in them is the administrator's policy, expressed by the umask, as for any
// folder; the shared-object files are different (they must be writable by
// all to work) and get their modes in OpenOrCreateShared.
bool MakeDirectory(const char* path) noexcept {
  return path != nullptr && mkdir(path, 0777) == 0;
}

bool MakeSharedFolder(const char* path) noexcept {
  if (path == nullptr) return false;
  // rwx for the owner and the group, nothing for others; set-group-id so
  // that every file made in it belongs to the folder's group whoever makes
  // it; sticky so that a member cannot delete another member's files (a
  // named mutex deleted while held would let a second holder in). chmod
  // after mkdir: the umask must not take the group's rights away.
  if (mkdir(path, posix::kSharedFolderMode) == 0) return chmod(path, posix::kSharedFolderMode) == 0;
  struct stat st{};
  return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool CopyFileNoOverwrite(const char* from, const char* to) noexcept {
  if (from == nullptr || to == nullptr) return false;
  int in = open(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return false;
  struct stat st{};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  // O_EXCL makes "the target exists" and "we created it" one test.
  int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buffer[16384];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer, size_t(n))) {
      ok = false;
      break;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  // A half-written copy would pass for the real file next time.
  if (!ok) unlink(to);
  return ok;
}

std::FILE* OpenRegularFileForReading(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st{};
  std::FILE* file = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    // Reads then block as on any regular file.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file = fdopen(fd, "rb");
  }
  if (file == nullptr) close(fd);
  return file;
}

// ---------------------------------------------------------------- shared file

struct SharedFile {
  int fd;
  std::string path;
  bool delete_on_close;
  // The process that took the share lock. A forked child shares the open
  // file (and so the lock) with it; only the taker gives the lock up.
  pid_t opener;
};

SharedFile* SharedFileOpen(const char* path, ShareMode mode, bool delete_on_close) noexcept {
  if (path == nullptr || path[0] == '\0') return nullptr;
  // The share modes become flock locks held as long as the handle: kShared
  // holds LOCK_SH, kExclusive needs LOCK_EX at once (no other holder in any
  // process). Never blocking: a conflict is a failure, as a sharing
  // violation is.
  const int operation = (mode == ShareMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  for (int round = 0; round < 64; ++round) {
    int fd = posix::OpenOrCreateShared(path, O_RDWR);
    if (fd < 0) return nullptr;
    if (posix::FlockRetry(fd, operation) != 0) {
      close(fd);
      return nullptr;
    }
    // Between our open and our lock the last holder may have deleted the
    // file on close; a lock on a file that no longer has the name protects
    // nothing, so start again on whatever the name is now.
    if (!PathNamesFile(path, fd)) {
      close(fd);
      continue;
    }
    SharedFile* file = new (std::nothrow) SharedFile{fd, std::string(), delete_on_close, getpid()};
    if (file == nullptr) {
      close(fd);
      return nullptr;
    }
    try {
      file->path = path;
    } catch (...) {
      close(fd);
      delete file;
      return nullptr;
    }
    return file;
  }
  return nullptr;
}

void SharedFileClose(SharedFile* file) noexcept {
  if (file == nullptr) return;
  // Deleted only by the last holder: an exclusive holder is the only one,
  // a shared holder is the last if it can turn its lock exclusive now. The
  // name is checked again so that a file someone made anew is left alone.
  if (file->delete_on_close && posix::FlockRetry(file->fd, LOCK_EX | LOCK_NB) == 0 &&
      PathNamesFile(file->path.c_str(), file->fd)) {
    unlink(file->path.c_str());
  }
  // A view of the file keeps the open file, and with it the lock, alive after
  // close: the share ends here explicitly, also while a view stays mapped.
  if (file->opener == getpid()) posix::FlockRetry(file->fd, LOCK_UN);
  close(file->fd);
  delete file;
}

void* SharedFileMap(SharedFile* file, size_t size) noexcept {
  if (file == nullptr || size == 0) return nullptr;
  struct stat st{};
  if (fstat(file->fd, &st) != 0) return nullptr;
  if (uint64_t(st.st_size) < size && ftruncate(file->fd, off_t(size)) != 0) return nullptr;
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
  return view == MAP_FAILED ? nullptr : view;
}

bool SharedFileInUse(const char* path) noexcept {
  if (path == nullptr) return false;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  // Any share lock of another handle conflicts with an exclusive one.
  const bool in_use = posix::FlockRetry(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return in_use;
}

bool SharedFileHolders(const char* path, std::vector<uint32_t>* pids) noexcept {
  if (path == nullptr || pids == nullptr) return false;
  pids->clear();
  struct stat st{};
  if (stat(path, &st) != 0) return false;
  // Every flock lock of the machine is listed here, readable by every user,
  // with the process that took it: "1: FLOCK  ADVISORY  READ 123 08:01:456 0 EOF".
  // Lines of waiters carry "->" and hold nothing.
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  char line[256];
  try {
    while (std::fgets(line, sizeof line, locks) != nullptr) {
      char kind[16], mode[16], access[16];
      unsigned pid = 0, major_id = 0, minor_id = 0;
      uint64_t inode = 0;
      if (std::sscanf(line, "%*d: %15s %15s %15s %u %x:%x:%" SCNu64, kind, mode, access, &pid,
                      &major_id, &minor_id, &inode) != 7) {
        continue;  // a waiter's line, or a kind we do not use
      }
      if (std::string(kind) != "FLOCK" || inode != uint64_t(st.st_ino) ||
          major_id != major(st.st_dev) || minor_id != minor(st.st_dev)) {
        continue;
      }
      pids->push_back(pid);
    }
  } catch (...) {
    std::fclose(locks);
    return false;
  }
  std::fclose(locks);
  return true;
}

bool SharedFileUnmap(void* view, size_t size) noexcept {
  return view != nullptr && munmap(view, size) == 0;
}

const void* MapFileReadOnly(const char* path, size_t* size) noexcept {
  if (size != nullptr) *size = 0;
  if (path == nullptr || size == nullptr) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st{};
  void* view = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    view = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (view == MAP_FAILED) return nullptr;
  *size = size_t(st.st_size);
  return view;
}

void UnmapFileReadOnly(const void* view, size_t size) noexcept {
  if (view != nullptr) munmap(const_cast<void*>(view), size);
}

}  // namespace zyvisa::platform
