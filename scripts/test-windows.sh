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
# A prefix of the build's own, made whole before any test starts: the test
# executable is listed by ctest right away, and a prefix still being filled
# (or left half-filled by a run that was stopped) fails with "could not load
# kernel32.dll". wineboot may leave work to processes that outlive it, so the
# prefix is whole only once the server has no clients left (wineserver -w).
# No .NET or HTML engine: a headless machine would only be asked to fetch them.
prefix_whole() {
  [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]
}
make_prefix() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # Bounded: a prefix that cannot be made in minutes is reported, not waited on.
  WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot -i >"$dir/wineboot.log" 2>&1 || true
  timeout 120 wineserver -w || true
}
for attempt in 1 2 3; do
  prefix_whole || make_prefix
  # One persistent server, so that the many short test processes share it.
  wineserver -p
  if prefix_whole && timeout 120 wine cmd /c exit >"$dir/wine-check.log" 2>&1; then
    break
  fi
  echo "wine prefix unusable (attempt $attempt):" >&2
  cat "$dir/wineboot.log" "$dir/wine-check.log" >&2 2>/dev/null || true
  df -h "$dir" >&2 || true
  rm -f "$WINEPREFIX/system.reg"
  [ "$attempt" -lt 3 ] || exit 1
done
# Kernel object names are machine-wide ("Global\..."), unlike the POSIX
# build's named mutexes, which live in each test's own folder: one test at a
# time, so that no two tests share a named semaphore.
status=0
ctest --test-dir "$dir" --output-on-failure -j 1 --timeout 180 || status=$?
wineserver -k || true
exit $status
