#!/usr/bin/env bash
# story.sh BUILD-DIR [--spy]: tells the demonstration's story on a private
# machine folder: two zyvisa-demo processes (holder and waiter) share a
# resource, the holder is killed with SIGKILL while it holds the lock, and
# zyvisa-inspect looks at the machine before and after. A Windows build
# (zyvisa-demo.exe) tells it under Wine, in the build's own Wine prefix.
set -euo pipefail
build=$1; shift
spy=0
[ "${1:-}" = --spy ] && spy=1
demo="$build/examples/zyvisa-demo"
inspect="$build/tools/zyvisa-inspect"
spylib="$build/tools/libZySpyLog.so"
wine=""
if [ -f "$build/bin/zyvisa-demo.exe" ]; then
  wine=wine
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=-all
  demo="$build/bin/zyvisa-demo.exe" inspect="$build/bin/zyvisa-inspect.exe"
  spylib=$(winepath -w "$build/bin/ZySpyLog.dll")
fi

# A machine of its own: a registry naming folders under a temporary one, so
# nothing touches the machine's real folders.
stage=$(mktemp -d "${TMPDIR:-/tmp}/zyvisa-demo.XXXXXX")
holder=""
cleanup() {
  [ -n "$holder" ] && kill -9 "$holder" 2>/dev/null || true
  [ -n "$wine" ] && wine cmd /c 'reg delete HKLM\Software\Zylaris /f & reg delete HKLM\Software\Wow6432Node\Zylaris /f' >/dev/null 2>&1 || true
  rm -rf "$stage"
}
trap cleanup EXIT
if [ -z "$wine" ]; then
  cat > "$stage/registry.ini" <<INI
[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]
InstDir=$stage/install
[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zylaris\\Common\\Installer]
ZYSHAREDMEMORYDIR=$stage/shm
ZYPUBAPPDATADIR=$stage/appdata
INI
  export ZYVISA_REGISTRY="$stage/registry.ini"
  registry=$ZYVISA_REGISTRY
else
  # The prefix's own registry; the installer key is read through the 32-bit
  # view (Wow6432Node); a .reg file doubles each backslash of a value.
  at=$(winepath -w "$stage" | sed 's/\\/\\\\/g')
  cat > "$stage/keys.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Zylaris\\ZY-VISA]
"InstDir"="$at\\\\install"

[HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Zylaris\\Common\\Installer]
"ZYSHAREDMEMORYDIR"="$at\\\\shm"
"ZYPUBAPPDATADIR"="$at\\\\appdata"
REG
  wine reg import "$(winepath -w "$stage/keys.reg")" >/dev/null 2>&1
  registry="HKEY_LOCAL_MACHINE of $WINEPREFIX"
fi
export ZYVISA_DEMO_T0
ZYVISA_DEMO_T0=$(date +%s%3N)
if [ $spy = 1 ]; then
  export ZYVISA_DEMO_SPY=1 ZYVISA_SPY_LIBRARY="$spylib"
fi

say() { printf '%7d ms  %-6s  %s\n' $(( $(date +%s%3N) - ZYVISA_DEMO_T0 )) story "$*"; }
# Waits for an actor's cue; gives up when the actors have stopped or after 30 s.
await() {
  local tries=0
  while [ ! -e "$stage/$1" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 3000 ] || ! kill -0 "$waiter" 2>/dev/null; then
      say "no cue $1 from the actors"; exit 1
    fi
    sleep 0.01
  done
}
look() {
  say "zyvisa-inspect $*"
  local status=0
  $wine "$inspect" "$@" > "$stage/inspect.out" 2>&1 || status=$?
  sed 's/^/          | /' "$stage/inspect.out"
  say "zyvisa-inspect exit status $status"
}

say "machine folder $stage/shm (registry $registry)"
where=$stage
[ -n "$wine" ] && where=$(winepath -w "$stage")
$wine "$demo" holder "$where" & holder=$!
$wine "$demo" waiter "$where" & waiter=$!
await waiter-waiting
sleep 0.05
look
say "kill -9 $holder (the holder, while it holds both locks)"
killed=$(date +%s%3N)
kill -9 "$holder"
echo "$killed" > "$stage/killed"
{ wait "$holder"; } 2>/dev/null || true
holder=""
await waiter-locked
look --section resources
touch "$stage/inspected"
wait "$waiter"
say "the end: the waiter closed its session; the holder's lock on ASRL2 stays until someone asks"
