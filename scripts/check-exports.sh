#!/usr/bin/env bash
# check-exports.sh SHARED-OBJECT DLL: the two builds of the library export
# the same undecorated C names; prints the difference and fails if any.
set -euo pipefail
so=$1 dll=$2
so_names=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sort -u)
# The export table's name column, between its header and the next section.
dll_names=$(x86_64-w64-mingw32-objdump -p "$dll" |
  awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' | sort -u)
if ! diff <(echo "$so_names") <(echo "$dll_names"); then
  echo "export lists differ (< shared object, > DLL)" >&2
  exit 1
fi
echo "exports: $(echo "$so_names" | wc -l) names, the same in $(basename "$so") and $(basename "$dll")"
