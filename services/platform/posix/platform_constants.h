// Names and folders that differ between platforms: POSIX paths. Included by
// platform.h only.
#pragma once

namespace zyvisa::platform {

constexpr char kPathSeparator = '/';
// The built-in registry's folders (ZYSHAREDMEMORYDIR, ZYPUBAPPDATADIR).
constexpr char kDefaultSharedMemoryDir[] = "/dev/shm/zyvisa";
constexpr char kDefaultPublicAppDataDir[] = "/var/tmp/zyvisa";
// Where the framework lives when neither "InstDir" nor VXIPNPPATH says.
constexpr char kFallbackInstallFolder[] = "/opt/ivi-foundation/visa";

}  // namespace zyvisa::platform
