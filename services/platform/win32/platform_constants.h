// Names and folders that differ between platforms: Windows paths. Included by
// platform.h only.
#pragma once

namespace zyvisa::platform {

constexpr char kPathSeparator = '\\';
// Folders the POSIX build's built-in registry names; on Windows the registry
// always names them, so these only describe what an installer would write.
constexpr char kDefaultSharedMemoryDir[] = "C:\\ProgramData\\Zylaris\\ZY-VISA";
constexpr char kDefaultPublicAppDataDir[] = "C:\\Users\\Public\\Documents";
// Where the framework lives when neither "InstDir" nor VXIPNPPATH says.
constexpr char kFallbackInstallFolder[] = "C:\\Program Files\\IVI Foundation\\VISA";

}  // namespace zyvisa::platform
