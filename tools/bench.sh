#!/bin/bash
# Builds and runs the options bench for every architecture this machine runs:
# x64, then x86 where the kernel runs 32-bit programs, one after the other in one
# run, so both tables come from the same state of the machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trap 'echo "tools/bench.sh: failed at line $LINENO: $BASH_COMMAND (exit $?)" >&2' ERR
"$root/tools/build.sh"
. "$root/tools/machine.sh"
archs=(x64)
if [ "$VESKA_X86_RUNS" = 1 ]; then archs+=(x86); else echo "x86 bench not run: $VESKA_X86_WHY."; fi
for arch in "${archs[@]}"; do
  echo "== $arch"
  cd "$root/build/$arch"
  ./wine-run --prefix
  # The thread rows need every processor; the bench keeps its single-thread rows
  # on the first one itself.
  VESKA_ALL_CPUS=1 ./wine-run bench/options_bench.exe | tr -d '\r'
  ./wine-run --stop
done
