#!/bin/bash
# Builds both architectures and runs the whole suite under Wine for each one this
# machine runs (x64 always; x86 where the kernel runs 32-bit programs), then once
# more with Wine's heap checking on, where a program fails when Wine reports a
# heap error (wine-run, VESKA_HEAP_CHECK). The heap-checking run makes the full
# counts on x64 and the short ones on x86, whose code paths it already covered.
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
for arch in "${archs[@]}"; do
  suite "$arch" ctest --output-on-failure "$@"
done
echo "The test suite again, with Wine's heap checking:"
for arch in "${archs[@]}"; do
  if [ "$arch" = x64 ]; then
    suite "$arch" VESKA_HEAP_CHECK=1 ctest --output-on-failure "$@"
  else
    suite "$arch" VESKA_HEAP_CHECK=1 VESKA_LIFECYCLE_LIVES=1000 VESKA_MODEL_SEEDS=2 \
      VESKA_STRESS_SECONDS=5 ctest --output-on-failure "$@"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "tools/test.sh: failed runs (ctest's output above names each failing test;" \
       "'cd build/<arch> && ctest -R <name> --output-on-failure' repeats one):" >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "tools/test.sh: all runs passed (${archs[*]})."
