// Files and folders: existence, creation, copying, and the region's backing
// file opened with share modes (flock) and mapped shared; and the helpers of
// posix_common.h.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/platform.h"
#include "platform/posix/posix_common.h"

namespace zyvisa::platform {

namespace posix {

int OpenOrCreateShared(const char* path, int flags) noexcept {
  flags |= O_CLOEXEC | O_NOFOLLOW;
  // Another process may create or delete the file between our two opens;
  // a few rounds settle it.
  for (int round = 0; round < 64; ++round) {
    int fd = open(path, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = open(path, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      fchmod(fd, 0666);  // best effort: some file systems have no modes
      return fd;
    }
    if (errno != EEXIST) return -1;
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

timespec MonotonicDeadline(uint32_t ms) noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
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
  // Not sticky: the last process to leave deletes the backing file whoever
  // created it, and sticky world-writable folders also turn on the kernel's
  // protection against opening other users' files there with O_CREAT.
  if (mkdir(path, 0777) == 0) return chmod(path, 0777) == 0;
  struct stat st{};
  return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool CopyFileNoOverwrite(const char* from, const char* to) noexcept {
  if (from == nullptr || to == nullptr) return false;
  int in = open(from, O_RDONLY | O_CLOEXEC);
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

// ---------------------------------------------------------------- shared file

struct SharedFile {
  int fd;
  std::string path;
  bool delete_on_close;
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
    SharedFile* file = new (std::nothrow) SharedFile{fd, std::string(), delete_on_close};
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

bool SharedFileUnmap(void* view, size_t size) noexcept {
  return view != nullptr && munmap(view, size) == 0;
}

const void* MapFileReadOnly(const char* path, size_t* size) noexcept {
  if (size != nullptr) *size = 0;
  if (path == nullptr || size == nullptr) return nullptr;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
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
