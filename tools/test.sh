#!/bin/bash
# Builds everything and runs the whole test suite under Wine, then once more with
# Wine's heap checking on, where a program fails when Wine reports a heap error
# (wine-run, VESKA_HEAP_CHECK).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
cd "$root/build"
ctest --output-on-failure "$@"
echo "The test suite again, with Wine's heap checking:"
VESKA_HEAP_CHECK=1 ctest --output-on-failure "$@"
