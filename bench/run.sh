#!/usr/bin/env bash
# Runs every benchmark binary of a build folder and prints its figures.
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
exit $status
