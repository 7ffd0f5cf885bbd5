// Where the configuration lives: the configuration folder, the framework path,
// and the seeding of a missing configuration file from the default one.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "zyvisa_types.h"

namespace zyvisa::config {

constexpr const char* kProductKey = "HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA";
constexpr const char* kInstallerKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer";
constexpr const char* kConfigFileName = "visaconf.ini";
constexpr const char* kResourceFileName = "visarsrc.xml";
// The installation folder when neither the registry nor VXIPNPPATH names
// one: the platform's (Program Files on Windows).
constexpr const char* kFallbackInstallFolder = platform::kFallbackInstallFolder;

constexpr size_t kConfigFolderBufferSize = 268;  // callers' buffers for the folder
constexpr size_t kConfigFolderMax = 263;         // characters the cache holds
constexpr size_t kFrameworkPathMax = 255;

// Writes the configuration folder, ending in a separator, into folder (at
// least kConfigFolderBufferSize bytes). VI_ERROR_SYSTEM_ERROR when the
// installer key or its public-data value is missing.
ViStatus ConfigFolder(char* folder) noexcept;
// Writes the framework path into path (at least kFrameworkPathMax + 1 bytes).
void FrameworkPath(char* path) noexcept;
// Start-up: copies the default configuration file to config_file when that
// does not exist yet. Never fails visibly.
void SeedDefaultConfig(const char* config_file) noexcept;
// Forgets both caches, as a fresh process has them (tests run start-up
// several times in one process).
void ResetPathCaches() noexcept;

}  // namespace zyvisa::config
