# Sourced by the picture scripts: an X server without a screen (Xvfb) and a
# fresh Wine prefix on Wine's X11 driver, with windows captioned by Wine itself
# (no window manager runs to draw a title bar) and the font of the caption
# buttons' glyphs (Marlett, from fonts-wine, which this Wine reads only from the
# prefix's own font folder).
#
# screen_start <build tree> <prefix folder name> <script name>: exports DISPLAY
# and VESKA_WINEPREFIX, sets run to the tree's wine-run, and leaves an EXIT trap
# that calls screen_on_exit (when the script defines it), then stops the
# prefix, the X server, and removes the prefix.
screen_start() {
  local build=$1 prefix=$2 script=$3 display=90
  # A display number nobody holds.
  while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
  export DISPLAY=":$display" VESKA_WINEPREFIX="$build/$prefix"
  run="$build/wine-run"
  Xvfb "$DISPLAY" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
  screen_xvfb=$!
  trap screen_stop EXIT
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.2; done
  xdpyinfo >/dev/null 2>&1 || { echo "$script: Xvfb did not start on $DISPLAY" >&2; exit 1; }
  rm -rf "$VESKA_WINEPREFIX"
  "$run" wineboot -i >/dev/null 2>&1
  cp /usr/share/wine/fonts/marlett.ttf "$VESKA_WINEPREFIX/drive_c/windows/Fonts/"
  "$run" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
  "$run" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
}

screen_stop() {
  if declare -F screen_on_exit >/dev/null; then screen_on_exit; fi
  "$run" --stop
  kill "$screen_xvfb" 2>/dev/null
  rm -rf "$VESKA_WINEPREFIX"
}
