#!/bin/bash
# Builds both architectures and runs the whole suite under Wine for each one this
# machine runs (x64 always; x86 where the kernel runs 32-bit programs), and once
# more with Wine's heap checking on, where a program fails when Wine reports a
# heap error (wine-run, VESKA_HEAP_CHECK). The heap-checking run makes the full
# counts on x64 and the short ones on x86, whose code paths it already covered.
#
# The two runs of one architecture go side by side: each in a Wine prefix of its
# own, pinned to a processor of its own (wine-run, VESKA_CPU), so that neither
# sees the other's registry. The plain run prints ctest's line per test as it
# goes; the heap-checking run's lines go to build/<arch>/heap-check.log and are
# printed when both are done. Extra arguments go to every ctest call.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh" || exit 1
. "$root/tools/machine.sh"
. "$root/tools/stage.sh"

archs=(x64)
if [ "$VESKA_X86_RUNS" = 1 ]; then
  if (cd "$root/build/x86" && ./wine-run --prefix); then
    archs+=(x86)
  else
    echo "x86 tests not run: the 32-bit Wine prefix could not be made (wine-run's words above)."
  fi
else
  echo "x86 tests not run: $VESKA_X86_WHY. Built both architectures; testing x64 alone."
fi

failed=()
for arch in "${archs[@]}"; do
  tree="$root/build/$arch"
  heap=(VESKA_HEAP_CHECK=1 VESKA_CPU=1 VESKA_WINEPREFIX="$tree/heapcheck-prefix")
  [ "$arch" = x86 ] && heap+=(VESKA_LIFECYCLE_LIVES=1000 VESKA_MODEL_SEEDS=2 VESKA_STRESS_SECONDS=5)
  stage_begin "Testing $arch, and beside it with Wine's heap checking"
  (cd "$tree" && env "${heap[@]}" ctest --output-on-failure "$@" >"$tree/heap-check.log" 2>&1) &
  heap_run=$!
  (cd "$tree" && ctest --output-on-failure "$@") || failed+=("$arch")
  wait "$heap_run" || failed+=("$arch with Wine's heap checking (build/$arch/heap-check.log)")
  echo "The $arch run with Wine's heap checking (build/$arch/heap-check.log):"
  cat "$tree/heap-check.log"
  stage_end
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "tools/test.sh: failed runs (ctest's output above names each failing test;" \
       "'cd build/<arch> && ctest -R <name> --output-on-failure' repeats one):" >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "tools/test.sh: all runs passed (${archs[*]})."
