#!/usr/bin/env bash
# demo.sh [--spy]: sets up, builds, and tells the demonstration's story on a
# private machine folder (examples/story.sh); --spy also shows the call-trace
# library's JSON lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  ""|--spy) ;;
  *) echo "usage: scripts/demo.sh [--spy]" >&2; exit 64 ;;
esac
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DZYVISA_TESTS=OFF >/dev/null
exec "$root/examples/story.sh" "$root/build" "$@"
