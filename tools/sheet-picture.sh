#!/bin/bash
# Takes the picture docs/images/property-sheet.png: the demo host shows the
# sample component's pages in the property provider's sheet on an X server
# without a screen (Xvfb), through Wine's X11 driver in a prefix of its own
# (build/<arch>/picture-prefix, made afresh); the script waits for the sheet's
# window, edits the window title as a user would (its mnemonic, then typing),
# takes the picture with Apply enabled, closes the sheet with OK (Enter) and
# checks that the host saw it close with the edit applied. Installs its tools
# with tools/install-deps.sh --picture.
# With --locked, a machine policy first sets the status bar option, so the
# picture (docs/images/property-sheet-locked.png) shows its control locked.
# Usage: tools/sheet-picture.sh [--locked] [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
locked=0
if [ "${1:-}" = --locked ]; then locked=1; shift; fi
default=property-sheet.png
[ $locked = 1 ] && default=property-sheet-locked.png
out=${1:-$root/docs/images/$default}
trap 'echo "tools/sheet-picture.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
"$root/tools/install-deps.sh"
"$root/tools/install-deps.sh" --picture
. "$root/tools/machine.sh"
arch=x64
[ "$VESKA_X86_RUNS" = 1 ] && arch=x86
build="$root/build/$arch"
if [ -f "$build/build.ninja" ]; then
  cmake --build "$build" --target veska_dll_current sample_pages demo_host >/dev/null
else
  "$root/tools/build.sh"
fi

host=""
screen_on_exit() { [ -z "$host" ] || kill "$host" 2>/dev/null || true; }
. "$root/tools/screen.sh"
screen_start "$build" picture-prefix tools/sheet-picture.sh
(cd "$build/current" && "$run" regsvr32 /s VeskaOptions.dll)
(cd "$build/samples" && "$run" regsvr32 /s SamplePages.dll)
if [ $locked = 1 ]; then
  "$run" reg add 'HKLM\Software\Policies\Corvane Interactive\VeskaDemo\SampleEditor' \
    /v StatusBar /t REG_DWORD /d 1 /f >/dev/null
fi

log=$(mktemp)
(cd "$build/current" && exec "$run" ../tools/demo/demo_host.exe --show-sheet) >"$log" 2>&1 &
host=$!
window=""
for _ in $(seq 120); do
  window=$(xdotool search --onlyvisible --name '^Properties' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.5
done
[ -n "$window" ] || { cat "$log" >&2; echo "tools/sheet-picture.sh: the sheet did not appear" >&2; exit 1; }
sleep 2  # let the pages finish painting
xdotool windowfocus --sync "$window" key alt+w End
xdotool type --delay 60 " 2"
sleep 1
mkdir -p "$(dirname "$out")"
xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$out"
xdotool windowfocus --sync "$window" key Return
wait "$host"
host=""
tr -d '\r' <"$log"
grep -q "DoPropertySheet returned 0x00000000" "$log" ||
  { echo "tools/sheet-picture.sh: the sheet did not close cleanly" >&2; exit 1; }
grep -q 'WindowTitle: "Sample Editor" (string) -> "Sample Editor 2" (string)' "$log" ||
  { echo "tools/sheet-picture.sh: OK did not apply the edited window title" >&2; exit 1; }
rm -f "$log"
echo "Wrote $out"
