#!/bin/bash
# Configures (once) and builds both architectures, each with both editions, the
# companions, the demo host, the tests and the bench: build/x86 and build/x64;
# then the installer and the SDK archive from both: build/x64/packages.
# Usage: tools/build.sh [extra cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
declare -A toolchain=([x86]=mingw-w64-i686 [x64]=mingw-w64-x86_64)
for arch in x64 x86; do
  tree="$root/build/$arch"
  mkdir -p "$tree"
  cd "$tree"
  if [ ! -f CMakeCache.txt ]; then
    if ! cmake "$root" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${toolchain[$arch]}.cmake" "$@" \
         >cmake.log 2>&1; then
      cat cmake.log >&2
      rm -f CMakeCache.txt
      echo "tools/build.sh: configuring the $arch build failed (above; also in build/$arch/cmake.log)" >&2
      exit 1
    fi
  fi
  echo "Building $arch ..."
  # Only warnings, errors and the end result reach the terminal.
  if ! make -j"$(nproc)" --no-print-directory 2>&1 |
       { grep -vE '^\[ *[0-9]+%\]|^(Scanning|Consolidate|Built target|-- )' || true; }; then
    echo "tools/build.sh: building $arch failed (the compiler's words above; 'make -C build/$arch' repeats them)" >&2
    exit 1
  fi
done
echo "Packaging ..."
if ! make -C "$root/build/x64" --no-print-directory packages >"$root/build/x64/packages.log" 2>&1; then
  cat "$root/build/x64/packages.log" >&2
  echo "tools/build.sh: making the packages failed (above; also in build/x64/packages.log)" >&2
  exit 1
fi
grep -E '^-- (Installer|SDK):' "$root/build/x64/packages.log" || true
