// The registry on POSIX: an INI file whose sections are key paths as the
// Windows registry writes them and whose keys are value names.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ini/ini_document.h"
#include "platform/platform.h"

namespace zyvisa::platform {

namespace {

constexpr char kRegistryVariable[] = "ZYVISA_REGISTRY";
constexpr char kSystemRegistryFile[] = "/etc/zyvisa/registry.ini";

// What a machine without a registry file has: the product is installed and
// both folders are ones every user can create and share, so the library
// works without root.
std::string BuiltInRegistry() {
  return std::string("[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]\n"
                     "ZYSHAREDMEMORYDIR=") +
         kDefaultSharedMemoryDir + "\nZYPUBAPPDATADIR=" + kDefaultPublicAppDataDir + "\n";
}

// Reads the registry as it is now: no cache, so a registry file rewritten
// while the process runs (tests do that) is seen at once. Start-up reads only
// a handful of values. Settings:
// - merged sections, names without case: a key path or value name matches
//   in any spelling of case and a key written twice is one key, as in the
//   registry itself;
// - empty values accepted: "Name=" is a value that exists and is empty;
// - no quote stripping and '=' as the only separator: a value comes back
//   exactly as written after the '=' (less surrounding white space), and
//   paths with colons or quotes need no escaping.
// False when there is no registry at all (a named file that cannot be read).
bool LoadRegistry(ini::IniDocument& doc) {
  std::FILE* file = nullptr;
  const char* named = std::getenv(kRegistryVariable);
  struct stat st;
  if (named != nullptr && named[0] != '\0') {  // an empty variable counts as unset
    file = OpenRegularFileForReading(named);
  } else if (::stat(kSystemRegistryFile, &st) == 0) {
    file = OpenRegularFileForReading(kSystemRegistryFile);
  } else {
    static const std::string built_in = BuiltInRegistry();
    file = ::fmemopen(const_cast<char*>(built_in.data()), built_in.size(), "rb");
  }
  if (file == nullptr) return false;
  const int32_t result = doc.Load(file);
  std::fclose(file);
  return result == 0;
}

// The registry's settings (see LoadRegistry).
constexpr bool kMergeSections = true;
constexpr bool kCaseSensitive = false;
constexpr uint32_t kRegistryOptions = ini::kIniAcceptEmptyValues;

}  // namespace

bool RegistryKeyExists(const char* key_path) noexcept {
  if (key_path == nullptr) return false;
  ini::IniDocument doc(kMergeSections, kCaseSensitive, kRegistryOptions);
  if (!LoadRegistry(doc)) return false;
  // A key exists when it is written, or when one of its subkeys is: the
  // registry has no subkey without its parent.
  const std::string_view key = ini::IniTrim(key_path);
  for (const ini::IniSection& section : doc.sections()) {
    const std::string_view name = ini::IniTrim(section.name);
    if (name.size() < key.size()) continue;
    if (name.size() > key.size() && name[key.size()] != '\\') continue;
    if (ini::IniNamesEqual(name.substr(0, key.size()), key)) return true;
  }
  return false;
}

// One file: no registry views here.
RegRead RegistryReadString(const char* key_path, const char* value_name, char* buffer,
                           size_t size, RegView) noexcept {
  if (buffer != nullptr && size > 0) buffer[0] = '\0';
  if (key_path == nullptr || value_name == nullptr) return RegRead::kMissing;
  ini::IniDocument doc(kMergeSections, kCaseSensitive, kRegistryOptions);
  if (!LoadRegistry(doc)) return RegRead::kMissing;
  const ini::IniSection* section = doc.FindSection(key_path);
  const ini::IniKey* value = section == nullptr ? nullptr : doc.FindKey(*section, value_name);
  if (value == nullptr) return RegRead::kMissing;
  if (buffer == nullptr || size == 0) return RegRead::kMoreData;
  const size_t n = value->value.size() < size ? value->value.size() : size - 1;
  std::memcpy(buffer, value->value.data(), n);
  buffer[n] = '\0';
  return n == value->value.size() ? RegRead::kOk : RegRead::kMoreData;
}

}  // namespace zyvisa::platform
