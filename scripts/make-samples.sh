#!/usr/bin/env bash
# Regenerates the bundled captures in samples/ with tqsim (fixed seeds, the
# Hershey cursive font) and then their expected message lists.
# Usage: scripts/make-samples.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
sim="$build/tqsim"
out="$root/samples"
mkdir -p "$out"
if [ ! -r /usr/share/hershey-fonts/cursive.jhf ]; then
  echo "make-samples: hershey-fonts-data is needed for the bundled handwriting" >&2
  exit 1
fi
"$sim" --board-version 1.2 --text hello --seed 12 --raw "$out/hello-v1.raw"
"$sim" --board-version 2.1 --text hello --seed 21 --raw "$out/hello-v2.raw"
"$sim" --board-version 3.0 --text "pen|ink" --pens 1,3 --seed 30 --raw "$out/pens-v3.raw"
"$sim" --board-version 3.2 --text wipe --eraser-pass --seed 32 --raw "$out/eraser-v3.raw"
"$sim" --board-version 4.1 --text hello --seed 41 --raw "$out/hello-v4.raw"
TQ_UPDATE_GOLDEN=1 "$build/tests/golden_samples_test" > /dev/null
echo "samples: $(ls "$out"/*.raw | wc -l) captures and their .events lists in $out"
