#!/usr/bin/env bash
# check-install.sh BUILD_DIR: installs that build into a scratch prefix and
# builds a consumer outside the tree against the installed copy, once through
# the CMake package and once through pkg-config, then runs both on a private
# machine folder (never the machine's real one).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

mkdir -p "$work/shm" "$work/appdata"
cat >"$work/registry.ini" <<INI
[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]
InstDir=$prefix

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]
ZYSHAREDMEMORYDIR=$work/shm
ZYPUBAPPDATADIR=$work/appdata
INI
export ZYVISA_REGISTRY=$work/registry.ini
libdir=$(find "$prefix" -name 'libzyvisaservices.so' -printf '%h\n' | head -n 1)
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

echo "-- consumer via find_package"
cmake -S "$root/tests/consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer"

echo "-- consumer via pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/pc-consumer" "$root/tests/consumer/consumer.c" $(pkg-config --cflags --libs zyvisaservices)
"$work/pc-consumer"
echo "-- installed tools and call-trace library"
inspect=$(find "$prefix" -type f -name zyvisa-inspect | head -n 1)
[ -x "$inspect" ] || { echo "zyvisa-inspect is not installed"; exit 1; }
[ -n "$(find "$prefix" -name 'libZySpyLog.so*' | head -n 1)" ] || { echo "libZySpyLog.so is not installed"; exit 1; }
"$inspect" --help >/dev/null
echo "install check passed"
