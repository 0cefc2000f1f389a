#!/bin/bash
# Builds everything and runs the whole test suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
cd "$root/build"
ctest --output-on-failure "$@"
