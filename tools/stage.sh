# Sourced by the build, test and demo scripts: stages that say what they do and
# how long they took, and a Ninja run that shows how far along it is.

veska_stage_name=""
veska_stage_start=0

# "1 min 5 s" for a number of seconds.
veska_duration() {
  local seconds=$1
  if [ "$seconds" -ge 60 ]; then
    echo "$((seconds / 60)) min $((seconds % 60)) s"
  else
    echo "$seconds s"
  fi
}

stage_begin() {
  veska_stage_name=$1
  veska_stage_start=$SECONDS
  echo "$1 ..."
}

stage_end() {
  echo "$veska_stage_name: done in $(veska_duration $((SECONDS - veska_stage_start)))."
}

# ninja_with_progress <arch> <tree> [targets...]: builds. On a terminal Ninja
# draws its own status line ("[arch steps done/steps percent, seconds]") and
# prints what a failing step said. Elsewhere Ninja's whole output goes to
# <tree>/build.log, each tenth of the steps gets a plain line, and the output of
# a failing step and every warning are printed as they come.
ninja_with_progress() {
  local arch=$1 tree=$2
  shift 2
  if [ -t 1 ]; then
    NINJA_STATUS="[$arch %f/%t %p, %e s] " ninja -C "$tree" "$@"
    return
  fi
  NINJA_STATUS="[%f/%t] " ninja -C "$tree" "$@" 2>&1 | tee "$tree/build.log" | awk -v arch="$arch" '
    /^\[[0-9]+\/[0-9]+\] / {
      split(substr($1, 2), n, "/")
      tenth = int(10 * n[1] / n[2])
      if (tenth > shown) { shown = tenth; printf "  %s: %d%% (%d of %d steps)\n", arch, 10 * tenth, n[1], n[2]; fflush() }
      failing = 0
      next
    }
    /^FAILED: / { failing = 1 }
    failing || /error|warning:/ { print; fflush() }'
  return "${PIPESTATUS[0]}"
}
