# Sourced by the build, test and demo scripts: finds out once whether this
# machine runs 32-bit programs, and so the 32-bit (x86) Windows programs under
# Wine's 32-bit loader. Sets and exports
#   VESKA_X86_RUNS  1 or 0
#   VESKA_X86_WHY   why not, in a few words (empty when it runs)
# A caller that already has VESKA_X86_RUNS in its environment keeps it, so the
# question is asked once per command, however many scripts it starts.

veska_wine32=/usr/lib/wine/wine
veska_wine64=/usr/lib/wine/wine64

# Runs a minimal 32-bit Linux program (an ELF header, one segment and the exit
# system call) from the build folder: on a kernel with 32-bit emulation switched
# off it fails to start with "Exec format error". What the shell said on
# failure is left in veska_probe_error.
veska_kernel_runs_32bit() {
  local dir probe status
  dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build"
  mkdir -p "$dir" && probe=$(mktemp "$dir/.probe32.XXXXXX") || return 1
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\064\0\0\0\0\0\0\0\0\0\0\0\064\0\040\0\1\0\050\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\135\0\0\0\135\0\0\0\5\0\0\0\0\020\0\0\270\1\0\0\0\061\333\315\200' >"$probe"
  chmod +x "$probe"
  veska_probe_error=$("$probe" 2>&1)
  status=$?
  rm -f "$probe"
  return $status
}

veska_probe_x86() {
  if [ -n "${VESKA_X86_RUNS:-}" ]; then return 0; fi
  VESKA_X86_RUNS=0
  if ! veska_kernel_runs_32bit; then
    case "$veska_probe_error" in
      *"Exec format error"*)
        VESKA_X86_WHY="this kernel runs no 32-bit programs (32-bit emulation is off: Exec format error)" ;;
      *)
        VESKA_X86_WHY="the 32-bit probe program did not run: ${veska_probe_error:-no reason given}" ;;
    esac
  elif [ ! -x "$veska_wine32" ]; then
    VESKA_X86_WHY="Wine's 32-bit loader $veska_wine32 is not installed (package wine32:i386)"
  elif ! "$veska_wine32" --version >/dev/null 2>&1; then
    VESKA_X86_WHY="Wine's 32-bit loader does not start: $("$veska_wine32" --version 2>&1 | head -n 1)"
  else
    VESKA_X86_RUNS=1
    VESKA_X86_WHY=""
  fi
  export VESKA_X86_RUNS VESKA_X86_WHY
}

veska_probe_x86
