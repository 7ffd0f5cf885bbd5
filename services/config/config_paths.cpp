// The configuration folder and framework path, cached per process, and the
// default-configuration copy that seeds a machine without a configuration.
#include "config/config_paths.h"

#include <cstring>
#include <mutex>
#include <string>

#include "runtime/process_state.h"
#include "platform/platform.h"
#include "zyvisa_config.h"

namespace zyvisa::config {

namespace {

constexpr char kSep = platform::kPathSeparator;
// The fixed folder names, spelled with this platform's separator.
const std::string kSepText(1, kSep);

// Both caches are filled once and then only read, but a failed folder lookup
// must leave its cache empty so that the next call tries again: a plain
// once-flag cannot express that, a mutex can, and none of these calls is on
// an I/O path.
// Plain arrays, not strings: shutdown empties them from the unload hook, after
// the C++ runtime has run its static destructors.
std::mutex g_cache_mutex;
char g_config_folder[kConfigFolderMax + 1];
char g_framework_path[kFrameworkPathMax + 1];

void CopyOut(const char* text, char* out) { std::memcpy(out, text, std::strlen(text) + 1); }

std::string ComputeFrameworkPath() {
  char buffer[256] = {};
  std::string base;
  // A value longer than the buffer still counts as read; its first 255
  // characters are the base, which is what the buffer holds then.
  // The product key is the one start-up opened; without it the read fails.
  const auto read = runtime::State().product_key_open
                        ? platform::RegistryReadString(kProductKey, "InstDir", buffer,
                                                       sizeof buffer)
                        : platform::RegRead::kMissing;
  if (read == platform::RegRead::kOk || read == platform::RegRead::kMoreData) {
    base = buffer;
  } else if (!platform::GetEnvironment("VXIPNPPATH", &base)) {
    base = kFallbackInstallFolder;
  }
  if (!base.empty() && (base.back() == '/' || base.back() == '\\')) base.pop_back();
  // The result must fit 255 characters; a longer base is cut so that the
  // suffix survives, since callers append file names to the suffix.
  const std::string suffix = kSepText + "Win64";
  const size_t room = kFrameworkPathMax - suffix.size();
  if (base.size() > room) base.resize(room);
  return base + suffix;
}

}  // namespace

ViStatus ConfigFolder(char* folder) noexcept {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  if (g_config_folder[0] != '\0') {
    CopyOut(g_config_folder, folder);
    return VI_SUCCESS;
  }
  char value[260] = {};
  if (platform::RegistryReadString(kInstallerKey, "ZYPUBAPPDATADIR", value, sizeof value,
                                   platform::RegView::k32Bit) != platform::RegRead::kOk) {
    return VI_ERROR_SYSTEM_ERROR;
  }
  std::string result = value;
  if (result.empty() || result.back() != kSep) result += kSep;
  result += "ZYvisa" + kSepText;
  // The folder with "visaconf.ini" must fit the callers' 280-byte buffers; a
  // folder beyond the cache's 263 characters is refused rather than cut, since
  // a cut folder would name somebody else's files.
  if (result.size() > kConfigFolderMax) return VI_ERROR_SYSTEM_ERROR;
  CopyOut(result.c_str(), g_config_folder);
  CopyOut(g_config_folder, folder);
  return VI_SUCCESS;
}

void FrameworkPath(char* path) noexcept {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  if (g_framework_path[0] == '\0') CopyOut(ComputeFrameworkPath().c_str(), g_framework_path);
  CopyOut(g_framework_path, path);
}

void SeedDefaultConfig(const char* config_file) noexcept {
  if (platform::PathExists(config_file)) return;
  char framework[kFrameworkPathMax + 1];
  FrameworkPath(framework);
  const std::string default_file = std::string(framework) + kSepText + "ZYvisa" + kSepText + "DefaultVisaConf.ini";
  if (!platform::PathExists(default_file.c_str())) return;
  // Create the folders of the configuration path from the outside in. A
  // separator after ':' belongs to a drive name and names no folder; one in the
  // first position names the root. Failures (the folder exists) are ignored.
  const std::string path = config_file;
  for (size_t i = 1; i < path.size(); ++i) {
    if ((path[i] == '/' || path[i] == '\\') && path[i - 1] != ':') {
      platform::MakeDirectory(path.substr(0, i).c_str());
    }
  }
  platform::CopyFileNoOverwrite(default_file.c_str(), config_file);
}

void ResetPathCaches() noexcept {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  g_config_folder[0] = '\0';
  g_framework_path[0] = '\0';
}

}  // namespace zyvisa::config

namespace {

ViStatus ConfigFilePath(ViChar* path, const char* file_name) noexcept {
  if (path == nullptr) return VI_ERROR_USER_BUF;
  const ViStatus status = zyvisa::config::ConfigFolder(path);
  if (status != VI_SUCCESS) return status;
  std::strcat(path, file_name);
  return VI_SUCCESS;
}

}  // namespace

extern "C" ZYVISA_EXPORT ViStatus visaConfigIniPath(ViChar* path) noexcept {
  return ConfigFilePath(path, zyvisa::config::kConfigFileName);
}

extern "C" ZYVISA_EXPORT ViStatus visaResourceIdPath(ViChar* path) noexcept {
  return ConfigFilePath(path, zyvisa::config::kResourceFileName);
}

extern "C" ZYVISA_EXPORT ViStatus visaFrameworkPath(ViChar* path) noexcept {
  if (path == nullptr) return VI_ERROR_USER_BUF;
  zyvisa::config::FrameworkPath(path);
  return VI_SUCCESS;
}
