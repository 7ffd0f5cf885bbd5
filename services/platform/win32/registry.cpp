// The registry: key paths written with the hive first, read with the
// ANSI calls, the installer key through the 32-bit view.
#include <cstring>
#include <vector>

#include "platform/win32/win32_common.h"

namespace zyvisa::platform {

namespace {

struct Hive {
  const char* name;
  HKEY key;
};

// Splits "HKEY_LOCAL_MACHINE\\Sub\\Key" into the hive and the rest. Hive
// names compare without case, as the registry's own names do.
bool SplitKeyPath(const char* key_path, HKEY* hive, const char** rest) {
  static const Hive kHives[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                                {"HKLM", HKEY_LOCAL_MACHINE},
                                {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                                {"HKCU", HKEY_CURRENT_USER}};
  for (const Hive& h : kHives) {
    const size_t n = std::strlen(h.name);
    if (_strnicmp(key_path, h.name, n) == 0 && (key_path[n] == '\0' || key_path[n] == '\\')) {
      *hive = h.key;
      *rest = key_path[n] == '\\' ? key_path + n + 1 : key_path + n;
      return true;
    }
  }
  return false;
}

HKEY OpenKey(const char* key_path, REGSAM access) {
  HKEY hive = nullptr;
  const char* rest = nullptr;
  if (key_path == nullptr || !SplitKeyPath(key_path, &hive, &rest)) return nullptr;
  HKEY key = nullptr;
  if (RegOpenKeyExA(hive, rest, 0, access, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

}  // namespace

bool RegistryKeyExists(const char* key_path) noexcept {
  // The access start-up keeps the product key open with.
  HKEY key = OpenKey(key_path, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS);
  if (key == nullptr) return false;
  RegCloseKey(key);
  return true;
}

RegRead RegistryReadString(const char* key_path, const char* value_name, char* buffer,
                           size_t size, RegView view) noexcept {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (value_name == nullptr) return RegRead::kMissing;
  const REGSAM access = KEY_QUERY_VALUE | (view == RegView::k32Bit ? KEY_WOW64_32KEY : 0);
  HKEY key = OpenKey(key_path, access);
  if (key == nullptr) return RegRead::kMissing;
  // Read whole, then cut: RegQueryValueExA writes nothing into a buffer that
  // is too small, and a string stored without its terminator has none.
  std::vector<char> value;
  LONG result = ERROR_MORE_DATA;
  for (int round = 0; round < 4 && result == ERROR_MORE_DATA; ++round) {
    DWORD bytes = 0;
    result = RegQueryValueExA(key, value_name, nullptr, nullptr, nullptr, &bytes);
    if (result != ERROR_SUCCESS) break;
    try {
      value.assign(size_t(bytes) + 1, '\0');
    } catch (...) {
      result = ERROR_OUTOFMEMORY;
      break;
    }
    // ERROR_MORE_DATA again: the value grew meanwhile; once more.
    result = RegQueryValueExA(key, value_name, nullptr, nullptr,
                              reinterpret_cast<BYTE*>(value.data()), &bytes);
    if (result == ERROR_SUCCESS) value.resize(bytes);
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) return win32::RegReadFromError(result);
  const size_t length = strnlen(value.data(), value.size());
  if (buffer == nullptr || size == 0) return RegRead::kMoreData;
  const size_t n = length < size ? length : size - 1;
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return n == length ? RegRead::kOk : RegRead::kMoreData;
}

}  // namespace zyvisa::platform
