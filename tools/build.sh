#!/bin/bash
# Configures (once) and builds with Ninja, through ccache where it is installed:
# by default both architectures, each with both editions, the companions, the
# demo host, the tests and the bench (build/x64 and build/x86), then the
# installer and the SDK archive from both (build/x64/packages).
#
# Usage: tools/build.sh [--arch x64|x86] [--target NAME]... [-- cmake arguments]
#   --arch     build that architecture's tree alone, and no packages
#   --target   build these targets alone (e.g. demo), and no packages
#
# On a terminal Ninja's own status line shows the step, the share done and the
# time; elsewhere a plain line marks every tenth of the steps and Ninja's whole
# output is kept in build/<arch>/build.log. Either way the compiler's words show
# when a step fails, and each stage ends with the time it took.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
archs=(x64 x86)
targets=()
packages=1
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) archs=("$2"); packages=0; shift 2 ;;
    --target) targets+=("$2"); packages=0; shift 2 ;;
    --) shift; break ;;
    *) echo "tools/build.sh: unknown argument $1 (see the usage at the top of the script)" >&2; exit 2 ;;
  esac
done
. "$root/tools/stage.sh"

stage_begin "Installing what is missing"
"$root/tools/install-deps.sh"
stage_end

declare -A toolchain=([x86]=mingw-w64-i686 [x64]=mingw-w64-x86_64)
for arch in "${archs[@]}"; do
  tree="$root/build/$arch"
  mkdir -p "$tree"
  # A tree configured by another generator (Make, before) is configured again;
  # its Wine prefix and test files stay.
  if [ -f "$tree/CMakeCache.txt" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$tree/CMakeCache.txt"; then
    rm -rf "$tree/CMakeCache.txt" "$tree/CMakeFiles"
  fi
  if [ ! -f "$tree/CMakeCache.txt" ]; then
    stage_begin "Configuring $arch"
    if ! cmake -S "$root" -B "$tree" -G Ninja \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${toolchain[$arch]}.cmake" "$@" >"$tree/cmake.log" 2>&1; then
      cat "$tree/cmake.log" >&2
      rm -f "$tree/CMakeCache.txt"
      echo "tools/build.sh: configuring the $arch build failed (above; also in build/$arch/cmake.log)" >&2
      exit 1
    fi
    stage_end
  fi
  stage_begin "Building $arch${targets[*]:+ (${targets[*]})}"
  if ! ninja_with_progress "$arch" "$tree" "${targets[@]}"; then
    echo "tools/build.sh: building $arch failed (the compiler's words above;" \
         "'ninja -C build/$arch' repeats them)" >&2
    exit 1
  fi
  stage_end
done

[ "$packages" = 1 ] || exit 0
stage_begin "Packaging"
if ! cmake --build "$root/build/x64" --target packages >"$root/build/x64/packages.log" 2>&1; then
  cat "$root/build/x64/packages.log" >&2
  echo "tools/build.sh: making the packages failed (above; also in build/x64/packages.log)" >&2
  exit 1
fi
grep -E '^-- (Installer|SDK):' "$root/build/x64/packages.log" || true
stage_end
