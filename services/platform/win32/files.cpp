// Files and folders, and the region's backing file opened with share modes,
// deleted on close by the last process, and mapped shared.
#include <fcntl.h>
#include <io.h>

#include <new>
#include <string>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

bool PathExists(const char* path) noexcept {
  return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Default security: whether other users may write in a configuration folder
// is the administrator's policy, inherited from the parent folder.
bool MakeDirectory(const char* path) noexcept {
  return path != nullptr && CreateDirectoryA(path, nullptr) != 0;
}

bool MakeSharedFolder(const char* path) noexcept {
  if (path == nullptr) return false;
  // The backing file is created and deleted by whichever user's process is
  // first and last: the folder is open to everyone.
  if (CreateDirectoryA(path, win32::OpenToEveryone())) return true;
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CopyFileNoOverwrite(const char* from, const char* to) noexcept {
  // bFailIfExists: "the target exists" and "we created it" are one test.
  return from != nullptr && to != nullptr && CopyFileA(from, to, TRUE) != 0;
}

std::FILE* OpenRegularFileForReading(const char* path) noexcept {
  if (path == nullptr) return nullptr;
  // A device or a pipe in a file's place is refused by its type, without
  // reading from it.
  HANDLE handle = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(handle);
    return nullptr;
  }
  // The C runtime takes the handle over; closing the stream closes it.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
  return file;
}

// ---------------------------------------------------------------- shared file

struct SharedFile {
  HANDLE handle;
};

SharedFile* SharedFileOpen(const char* path, ShareMode mode, bool delete_on_close) noexcept {
  if (path == nullptr || path[0] == '\0') return nullptr;
  // Exclusive: no sharing at all, so the open fails while any other handle
  // or mapped view of the file exists in any process. Shared: read, write
  // and delete, so that the last process's delete-on-close open can follow.
  const DWORD share = mode == ShareMode::kExclusive
                          ? 0
                          : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD flags = FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_RANDOM_ACCESS;
  if (delete_on_close) flags |= FILE_FLAG_DELETE_ON_CLOSE;
  // Default security for the file itself; the mapping gets the open one.
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                              flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* file = new (std::nothrow) SharedFile{handle};
  if (file == nullptr) CloseHandle(handle);
  return file;
}

void SharedFileClose(SharedFile* file) noexcept {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  delete file;
}

void* SharedFileMap(SharedFile* file, size_t size) noexcept {
  if (file == nullptr || size == 0) return nullptr;
  // A mapping larger than the file grows the file to its size.
  const auto wide = static_cast<uint64_t>(size);
  HANDLE mapping = CreateFileMappingA(file->handle, win32::OpenToEveryone(), PAGE_READWRITE,
                                      DWORD(wide >> 32), DWORD(wide), nullptr);
  if (mapping == nullptr) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  // The view keeps the mapping alive: the handle is not needed any more.
  CloseHandle(mapping);
  return view;
}

bool SharedFileInUse(const char* path) noexcept {
  if (path == nullptr) return false;
  // Without sharing, the open fails exactly while another handle or a
  // mapped view exists; OPEN_EXISTING never makes the file.
  HANDLE handle = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return false;
  }
  return GetLastError() == ERROR_SHARING_VIOLATION;
}

// Windows tells who has a file open only through the Restart Manager, a
// service that Wine and stripped-down systems lack: not read here.
bool SharedFileHolders(const char*, std::vector<uint32_t>*) noexcept { return false; }

bool SharedFileUnmap(void* view, size_t) noexcept {
  return view != nullptr && UnmapViewOfFile(view) != 0;
}

const void* MapFileReadOnly(const char* path, size_t* size) noexcept {
  if (size != nullptr) *size = 0;
  if (path == nullptr || size == nullptr) return nullptr;
  // Every share mode, so that inspecting never stands in the way of the
  // processes that use the region.
  HANDLE handle = CreateFileA(path, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length{};
  const void* view = nullptr;
  if (GetFileSizeEx(handle, &length) && length.QuadPart > 0) {
    HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping != nullptr) {
      view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
      CloseHandle(mapping);
    }
  }
  CloseHandle(handle);
  if (view != nullptr) *size = size_t(length.QuadPart);
  return view;
}

void UnmapFileReadOnly(const void* view, size_t) noexcept {
  if (view != nullptr) UnmapViewOfFile(view);
}

}  // namespace zyvisa::platform
