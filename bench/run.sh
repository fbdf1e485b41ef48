#!/usr/bin/env bash
# Runs every benchmark binary of a build folder and prints its figures, then the whole-process
# recordings of bench/recording/record_process.sh.
# Usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build-bench}
status=0
shopt -s nullglob
for bin in "$build"/bench/*/bench_*; do
  [ -x "$bin" ] || continue
  echo "== $(basename "$bin")"
  "$bin" --benchmark_counters_tabular=true || status=1
done
echo "== record_process.sh"
bash "$(dirname "$0")/recording/record_process.sh" "$build" || status=1
exit $status
