#!/bin/bash
# Builds both architectures and runs the whole suite under Wine for each one this
# machine runs (x64 always; x86 where the kernel runs 32-bit programs), then once
# more with Wine's heap checking on, where a program fails when Wine reports a
# heap error (wine-run, VESKA_HEAP_CHECK). The heap-checking run takes every
# test through its code paths with the short counts (1,000 lifecycle lives, two
# model seeds, five seconds of stress); the plain run makes the full counts.
# The installer's test, in a Wine prefix of its own, runs beside the plain suite.
# ctest prints a line per test; each run ends with the time it took. Extra
# arguments go to every ctest call.
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
suite() {
  local arch=$1
  shift
  stage_begin "Testing $arch: $*"
  (cd "$root/build/$arch" && env "$@") || failed+=("$arch: $*")
  stage_end
}
# The tests labelled own-prefix (the installer's) make a Wine prefix of their own:
# they run beside the rest, on the second processor, their lines kept in
# build/<arch>/own-prefix.log and printed after the rest.
for arch in "${archs[@]}"; do
  tree="$root/build/$arch"
  beside=
  if (cd "$tree" && ctest -N -L own-prefix | grep -q 'Total Tests: [1-9]'); then
    (cd "$tree" && VESKA_CPU=1 ctest -L own-prefix --output-on-failure "$@" >"$tree/own-prefix.log" 2>&1) &
    beside=$!
  fi
  suite "$arch" ctest -LE own-prefix --output-on-failure "$@"
  if [ -n "$beside" ]; then
    stage_begin "Waiting for the $arch tests in prefixes of their own"
    wait "$beside" || failed+=("$arch: ctest -L own-prefix (build/$arch/own-prefix.log)")
    cat "$tree/own-prefix.log"
    stage_end
  fi
done
echo "The test suite again, with Wine's heap checking:"
for arch in "${archs[@]}"; do
  suite "$arch" VESKA_HEAP_CHECK=1 VESKA_LIFECYCLE_LIVES=1000 VESKA_MODEL_SEEDS=2 \
    VESKA_STRESS_SECONDS=5 ctest --output-on-failure "$@"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "tools/test.sh: failed runs (ctest's output above names each failing test;" \
       "'cd build/<arch> && ctest -R <name> --output-on-failure' repeats one):" >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "tools/test.sh: all runs passed (${archs[*]})."
