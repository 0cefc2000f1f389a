#!/bin/bash
# Takes the pictures of the installer's pages, docs/images/setup-*.png: runs the
# setup on an X server without a screen (Xvfb), through Wine's X11 driver in a
# prefix of its own (build/x64/setup-picture-prefix, made afresh), and walks
# through its pages with the keyboard as a user would, taking a picture of each:
# an install (welcome, license, components, folder, progress, finish), a change
# of components (setup run again: welcome, components with the trace sink
# ticked, progress) and the uninstall (confirmation, progress). Needs the
# packages of tools/build.sh; installs its tools with tools/install-deps.sh
# --picture.
# Usage: tools/installer-pictures.sh [output folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/images}
trap 'echo "tools/installer-pictures.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
"$root/tools/install-deps.sh" --picture
build="$root/build/x64"
setup=$(ls "$build"/packages/VeskaOptions-*-setup.exe 2>/dev/null | head -n 1 || true)
if [ -z "$setup" ]; then
  "$root/tools/build.sh"
  setup=$(ls "$build"/packages/VeskaOptions-*-setup.exe | head -n 1)
fi
version=$(basename "$setup" -setup.exe)
version=${version#VeskaOptions-}

. "$root/tools/screen.sh"
screen_start "$build" setup-picture-prefix tools/installer-pictures.sh
installed="$VESKA_WINEPREFIX/drive_c/Program Files/VeskaOptions"
mkdir -p "$out"

# Starts a program of the prefix and waits for its window, titled $1. (The
# uninstaller runs on as a copy of itself: its window outlives the process
# started here.)
window=""
start() {
  local title=$1
  shift
  (cd "$VESKA_WINEPREFIX/drive_c" && exec "$run" "$@") >/dev/null 2>&1 &
  window=""
  for _ in $(seq 120); do
    window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    sleep 0.5
  done
  [ -n "$window" ] || { echo "tools/installer-pictures.sh: no window '$title' from $*" >&2; exit 1; }
  sleep 2
}
# Waits until the window is gone.
closed() {
  for _ in $(seq 60); do
    xdotool getwindowname "$window" >/dev/null 2>&1 || return 0
    sleep 0.5
  done
  echo "tools/installer-pictures.sh: the window of $window did not close" >&2
  exit 1
}
# Takes the picture of the window as docs/images/setup-$1.png.
picture() {
  sleep 1.5  # let the page finish painting
  xwd -silent -id "$window" | xwdtopnm 2>/dev/null | pnmtopng >"$out/setup-$1.png"
  echo "Wrote $out/setup-$1.png"
}
# Presses keys in the window: Return takes a page's default button (Next,
# I Agree, Install, Finish).
press() { xdotool windowfocus --sync "$window" key --delay 200 "$@"; sleep 1; }
# Points at the component list's line $1 (from 1), whose description the page
# then shows; with "tick" clicks its box.
point_at_component() {
  local x y
  eval "$(xdotool getwindowgeometry --shell "$window" | grep -E '^(X|Y)=')"
  x=$((X + 250)) y=$((Y + 168 + 16 * ($1 - 1)))
  xdotool mousemove "$x" "$y"
  sleep 0.5
  xdotool mousemove $((x + 5)) "$y"
  if [ "${2:-}" = tick ]; then
    xdotool mousemove $((X + 217)) "$y" click 1
    sleep 0.5
    xdotool mousemove "$x" "$y"
  fi
}
# Waits for the log line $1 of the setup (the end of its progress page).
wait_for_log() {
  sleep 1
  for _ in $(seq 240); do
    [ -f "$installed/setup.log" ] && iconv -f UTF-16 -t UTF-8 "$installed/setup.log" 2>/dev/null |
      grep -q "$1" && return 0
    sleep 0.5
  done
  echo "tools/installer-pictures.sh: setup did not log '$1'" >&2
  exit 1
}

title="^VeskaOptions $version Setup"
start "$title" "$setup"
picture 1-welcome
press Return
picture 2-license
press Return
point_at_component 2
picture 3-components
press Return
picture 4-folder
press Return
wait_for_log "Installed; installs counted"
picture 5-progress
press Return
picture 6-finish
press Return
closed

# Setup run again: a change of the components, the trace sink added.
start "$title" "$installed/setup.exe"
picture 7-change-welcome
press Return
point_at_component 4 tick
picture 8-change-components
press Return
wait_for_log "Components changed"
picture 9-change-progress
press Return
press Return
closed
[ -f "$installed/x64/OxaTimeTrace.dll" ] ||
  { echo "tools/installer-pictures.sh: the change did not add the trace sink" >&2; exit 1; }

start "^VeskaOptions $version Uninstall" "$installed/uninstall.exe"
picture 10-uninstall
press Return
for _ in $(seq 60); do [ -f "$installed/uninstall.exe" ] || break; sleep 0.5; done
picture 11-uninstall-progress
press Return
closed
