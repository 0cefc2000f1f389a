#!/bin/bash
# Builds everything and runs the whole test suite under Wine, then once more with
# Wine's heap checking on, where a program fails when Wine reports a heap error
# (wine-run, VESKA_HEAP_CHECK). The first run holds the full counts; the second
# looks for heap errors on the same paths with 400 object lives of each kind, a
# tenth of the model check's seeds and a sixth of the concurrency stress's time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
cd "$root/build"
ctest --output-on-failure "$@"
echo "The test suite again, with Wine's heap checking:"
VESKA_HEAP_CHECK=1 VESKA_LIFECYCLE_LIVES=400 VESKA_MODEL_SEEDS=2 VESKA_STRESS_SECONDS=5 \
  ctest --output-on-failure "$@"
