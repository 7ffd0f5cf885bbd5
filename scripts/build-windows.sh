#!/usr/bin/env bash
# build-windows.sh [DIR] [cmake options...]: cross-builds zyvisaservices.dll and
# zyvisa-inspect.exe with mingw-w64 (ZYVISA_WINDOWS=1 scripts/setup.sh installs it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-windows}
[ $# -gt 0 ] && shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DZYVISA_WERROR=ON -DZYVISA_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake" "$@" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)" --target zyvisaservices zyvisa-inspect
echo "built: $dir/bin/zyvisaservices.dll $dir/bin/zyvisa-inspect.exe"
