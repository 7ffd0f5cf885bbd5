#!/usr/bin/env bash
# Runs the whole test suite: plain build (warnings are errors), then under
# AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer, then each fuzzer for a short time, then the Windows DLL's
# suite under Wine (ZYVISA_WINDOWS=0 leaves it out).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${ZYVISA_TEST_BUILD:-$root/build-test}
jobs=$(nproc)
windows=${ZYVISA_WINDOWS:-1}
ZYVISA_WINDOWS=$windows "$root/scripts/setup.sh"

run_suite() {
  local dir=$1; shift
  echo "== $dir"
  "$root/scripts/build.sh" "$dir" "$@"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 180
}

run_suite "$out/plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZYVISA_BENCH=ON
echo "== install and consume"
"$root/scripts/check-install.sh" "$out/plain"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DZYVISA_SANITIZE=address
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZYVISA_SANITIZE=thread

echo "== fuzz"
CC=clang CXX=clang++ "$root/scripts/build.sh" "$out/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZYVISA_FUZZ=ON -DZYVISA_SANITIZE=address -DZYVISA_TESTS=OFF
seconds=${ZYVISA_FUZZ_SECONDS:-30}
for f in "$out"/fuzz/fuzz/*_fuzz; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$root/fuzz/corpus/${name%_fuzz}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "-- $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$work" \
    >"$work.log" 2>&1 || { tail -n 60 "$work.log"; exit 1; }
  tail -n 1 "$work.log"
  rm -rf "$work" "$work.log"
done
if [ "$windows" = 1 ]; then
  echo "== windows"
  "$root/scripts/test-windows.sh" "$out/windows"
  "$root/scripts/check-exports.sh" "$out/plain/libzyvisaservices.so" "$out/windows/bin/zyvisaservices.dll"
fi
echo "all suites passed"
