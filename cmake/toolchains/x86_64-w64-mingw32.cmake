# Cross-building the 64-bit Windows DLL with Debian's mingw-w64, posix thread
# model: the -win32 model of this compiler has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZYVISA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZYVISA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZYVISA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${ZYVISA_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZYVISA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The compiler's own runtime (libgcc, libstdc++, winpthread) is linked in, so
# the DLL and the programs need no DLL of this compiler beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# Test programs run under Wine in a prefix of their own (created on first use);
# scripts/test-windows.sh starts one persistent wineserver for it.
if(NOT ZYVISA_WINEPREFIX)
  set(ZYVISA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
  /usr/bin/env WINEPREFIX=${ZYVISA_WINEPREFIX} WINEDEBUG=-all wine)
