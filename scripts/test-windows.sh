#!/usr/bin/env bash
# test-windows.sh [DIR]: cross-builds the DLL, the tools and the test suite
# for 64-bit Windows and runs the suite under Wine, in a Wine prefix of the
# build's own with one persistent wineserver.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-${ZYVISA_TEST_BUILD:-$root/build-test}/windows}
ZYVISA_WINDOWS=1 "$root/scripts/setup.sh"
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S "$root" -B "$dir" -G Ninja -DZYVISA_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/x86_64-w64-mingw32.cmake" >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
# The first use creates the prefix (seconds); the server then stays up so
# that the many short test processes share it.
# No .NET or HTML engine: a headless machine would only be asked to fetch them.
# The server needs the prefix's folder; Wine fills it on first use.
mkdir -p "$WINEPREFIX"
wineserver -p
WINEDLLOVERRIDES="mscoree,mshtml=" wine cmd /c exit >/dev/null 2>&1 || true
# Kernel object names are machine-wide ("Global\..."), unlike the POSIX
# build's named mutexes, which live in each test's own folder: one test at a
# time, so that no two tests share a named semaphore.
status=0
ctest --test-dir "$dir" --output-on-failure -j 1 --timeout 180 || status=$?
wineserver -k || true
exit $status
