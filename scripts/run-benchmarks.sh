#!/usr/bin/env bash
# Runs every benchmark program and ends with one "bench: NAME VALUE UNIT" line
# per figure that the programs report.
set -euo pipefail
build=${1:-build}
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
found=0
for program in "$build"/bench/*_bench; do
  [ -x "$program" ] || continue
  found=1
  echo "== $(basename "$program")"
  "$program" | tee -a "$summary"
done
[ "$found" -eq 1 ] || echo "no benchmarks built"
grep '^bench: ' "$summary" || true
