#!/bin/bash
# Configures (once) and builds both editions, the companions and the tests into
# ./build. Usage: tools/build.sh [extra cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
mkdir -p "$root/build"
cd "$root/build"
if [ ! -f CMakeCache.txt ]; then
  cmake "$root" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" "$@" >/dev/null
fi
# Only warnings, errors and the end result reach the terminal.
make -j"$(nproc)" --no-print-directory 2>&1 |
  { grep -vE '^\[ *[0-9]+%\]|^(Scanning|Consolidate|Built target)' || true; }
