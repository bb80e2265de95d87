#!/usr/bin/env bash
# Runs each fuzz target for the given seconds, from a scratch copy of its seed
# corpus; fails when a target finds a crash (the input is kept in build dir).
set -euo pipefail
build=$1
seconds=$2
shift 2
status=0
for target in "$@"; do
  work="$build/fuzz-run/$target"
  rm -rf "$work" && mkdir -p "$work/corpus"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  echo "== ${target}_fuzz for ${seconds}s"
  if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$work/" "$work/corpus" > "$work/log" 2>&1; then
    status=1
    echo "${target}_fuzz found a fault:"
    tail -40 "$work/log"
  fi
  grep -E 'stat::number_of_executed_units' "$work/log" | sed "s/^/  $target: /" || true
done
exit $status
