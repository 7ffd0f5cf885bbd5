#!/usr/bin/env bash
# Builds the benchmarks in Release with their peers (inih, PCRE2, RE2) and runs
# them all; pass a filter regex to run a subset. Compare ratios within one run:
# absolute times move with the machine's load.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZYVISA_BENCH_PEERS=1 "$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DZYVISA_BENCH=ON \
  -DZYVISA_BENCH_PEERS=ON -DZYVISA_TESTS=OFF
filter=${1:-.}
for b in "$root"/build-bench/bench/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_filter="$filter" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
