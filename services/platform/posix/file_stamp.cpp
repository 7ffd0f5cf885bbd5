// Change stamps of files: the configuration store re-reads a file when its
// stamp changes, so a stamp must change with every edit of the content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace zyvisa::platform {

namespace {

// File times come from the kernel's coarse clock (one tick is several
// milliseconds) and file systems on other machines add clock skew, so two
// writes can leave identical times, size and inode. Until a file's change
// time is this far in the past, a later write could still go unseen in its
// metadata, and the content itself is hashed.
constexpr int64_t kRacyWindowNs = 2'000'000'000;

uint64_t Mix(uint64_t h, uint64_t v) {
  h = (h ^ v) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

int64_t Nanoseconds(const timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A digest of the file's bytes; 0 when it cannot be read.
uint64_t ContentDigest(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  uint64_t h = 0x243F6A8885A308D3ull;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t i = 0;
    for (; i + 8 <= static_cast<size_t>(n); i += 8) {
      uint64_t w;
      std::memcpy(&w, buffer + i, 8);
      h = Mix(h, w);
    }
    uint64_t tail = static_cast<uint64_t>(n) - i;  // the length of the tail counts too
    for (; i < static_cast<size_t>(n); ++i) tail = tail << 8 | static_cast<unsigned char>(buffer[i]);
    h = Mix(h, tail);
  }
  ::close(fd);
  return h;
}

// Content digests taken while a file's metadata was already settled: for the
// same metadata the content cannot have changed since, so the digest is
// reused and the stamp of an unchanged file stays the same once it settles.
struct Settled {
  uint64_t metadata;
  uint64_t digest;
};
std::mutex settled_mutex;
std::unordered_map<std::string, Settled>& SettledDigests() {
  static auto* digests = new std::unordered_map<std::string, Settled>;  // outlives exit-time users
  return *digests;
}

}  // namespace

uint64_t FileStamp(const char* path) noexcept {
  if (path == nullptr) return 0;
  struct stat st;
  if (::stat(path, &st) != 0) return 0;  // missing (or not reachable: same to callers)
  uint64_t metadata = Mix(0, static_cast<uint64_t>(Nanoseconds(st.st_mtim)));
  metadata = Mix(metadata, static_cast<uint64_t>(Nanoseconds(st.st_ctim)));
  metadata = Mix(metadata, static_cast<uint64_t>(st.st_size));
  metadata = Mix(metadata, static_cast<uint64_t>(st.st_ino));
  metadata = Mix(metadata, static_cast<uint64_t>(st.st_dev));
  uint64_t digest = 0;
  // Only regular files have content worth reading (and opening a FIFO to
  // read it could block).
  if (S_ISREG(st.st_mode)) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const bool settled = Nanoseconds(st.st_ctim) + kRacyWindowNs <= Nanoseconds(now);
    try {
      std::lock_guard<std::mutex> lock(settled_mutex);
      auto it = SettledDigests().find(path);
      if (settled && it != SettledDigests().end() && it->second.metadata == metadata) {
        digest = it->second.digest;
      } else {
        digest = ContentDigest(path);
        if (settled) {
          SettledDigests()[path] = {metadata, digest};
        } else if (it != SettledDigests().end()) {
          SettledDigests().erase(it);
        }
      }
    } catch (const std::bad_alloc&) {
      digest = ContentDigest(path);  // no memory to remember it: read it each time
    }
  }
  const uint64_t stamp = Mix(metadata, digest);
  return stamp == 0 ? 1 : stamp;  // 0 means missing
}

}  // namespace zyvisa::platform
