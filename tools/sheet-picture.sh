#!/bin/bash
# Takes the picture docs/images/property-sheet.png: the demo host shows the
# sample component's pages in the property provider's sheet on an X server
# without a screen (Xvfb), through Wine's X11 driver in a prefix of its own
# (build/<arch>/picture-prefix, made afresh); the script waits for the sheet's
# window, edits the window title as a user would (its mnemonic, then typing),
# takes the picture with Apply enabled, closes the sheet with OK (Enter) and
# checks that the host saw it close with the edit applied. Installs its tools
# with tools/install-deps.sh --picture.
# Usage: tools/sheet-picture.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/images/property-sheet.png}
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

# A display number nobody holds.
display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
export DISPLAY=":$display" VESKA_WINEPREFIX="$build/picture-prefix"
run="$build/wine-run"
Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
host=""
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null
  "$run" --stop
  kill "$xvfb" 2>/dev/null
  rm -rf "$VESKA_WINEPREFIX"
}
trap cleanup EXIT
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done
xdpyinfo >/dev/null 2>&1 || { echo "tools/sheet-picture.sh: Xvfb did not start on $DISPLAY" >&2; exit 1; }

# A fresh prefix on the X11 driver, with windows captioned by Wine itself (no
# window manager runs here to draw a title bar).
rm -rf "$VESKA_WINEPREFIX"
"$run" wineboot -i >/dev/null 2>&1
# The caption buttons' glyphs come from Wine's Marlett font (fonts-wine), which
# this Wine reads only from the prefix's own font folder.
cp /usr/share/wine/fonts/marlett.ttf "$VESKA_WINEPREFIX/drive_c/windows/Fonts/"
"$run" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
"$run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
(cd "$build/current" && "$run" regsvr32 /s VeskaOptions.dll)
(cd "$build/samples" && "$run" regsvr32 /s SamplePages.dll)

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
