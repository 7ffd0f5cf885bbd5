// Change stamps of files on Windows: the configuration store re-reads a file
// when its stamp changes, so a stamp must change with every edit.
#include <cstring>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace {

uint64_t Mix(uint64_t h, uint64_t v) {
  h = (h ^ v) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

uint64_t Wide(DWORD high, DWORD low) { return uint64_t(high) << 32 | low; }

// A digest of the file's bytes; 0 when it cannot be read.
uint64_t ContentDigest(HANDLE file) {
  uint64_t h = 0x243F6A8885A308D3ull;
  char buffer[16384];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    DWORD i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, buffer + i, 8);
      h = Mix(h, w);
    }
    uint64_t tail = n - i;  // the length of the tail counts too
    for (; i < n; ++i) tail = tail << 8 | static_cast<unsigned char>(buffer[i]);
    h = Mix(h, tail);
  }
  return h;
}

}  // namespace

// Write times have a resolution of 100 ns but are taken from a clock that
// advances in coarser steps, so two quick writes of the same size can leave
// the metadata unchanged: the content is always part of the stamp.
// Configuration files are small and stamps are taken rarely.
uint64_t FileStamp(const char* path) noexcept {
  if (path == nullptr) return 0;
  HANDLE file = CreateFileA(path, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;  // missing, or not reachable: the same to callers
  BY_HANDLE_FILE_INFORMATION info{};
  uint64_t stamp = 0x51ED270B27422B2Bull;
  if (GetFileInformationByHandle(file, &info)) {
    stamp = Mix(stamp, Wide(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
    stamp = Mix(stamp, Wide(info.nFileSizeHigh, info.nFileSizeLow));
    stamp = Mix(stamp, Wide(info.nFileIndexHigh, info.nFileIndexLow));
    stamp = Mix(stamp, info.dwVolumeSerialNumber);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      stamp = Mix(stamp, ContentDigest(file));
    }
  }
  CloseHandle(file);
  return stamp == 0 ? 1 : stamp;  // 0 means missing
}

}  // namespace zyvisa::platform
