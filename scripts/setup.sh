#!/usr/bin/env bash
# Installs what the build, tests, benchmarks and fuzzers need on Debian 12,
# skipping what is already there. Safe to run again. ZYVISA_WINDOWS=1 (or the
# argument --windows) adds the cross compiler and Wine for the Windows DLL.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev binutils pkg-config nlohmann-json3-dev)
if [ "${ZYVISA_BENCH_PEERS:-0}" = 1 ]; then
  packages+=(libinih-dev libpcre2-dev libre2-dev)
fi
if [ "${ZYVISA_WINDOWS:-0}" = 1 ] || [ "${1:-}" = --windows ]; then
  # The posix thread model: the default win32 one lacks std::thread and
  # std::mutex. googletest brings its sources, built with the cross compiler.
  packages+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             wine wine64 googletest)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
