#!/bin/bash
# Installs what the build and the tests need, when it is missing: the MinGW-w64
# cross compilers of both architectures, widl, Wine, CMake with Ninja, ccache,
# the GoogleTest sources, the header-only JSON and command-line libraries and
# makensis (nsis) for the installer, and Wine's 32-bit half (wine32:i386) on
# every machine: it holds the platform's 32-bit type libraries that widl reads
# for the x86 build (stdole2.tlb), also where this kernel runs no 32-bit
# program and its loader could never start.
#
# With --picture it installs only what tools/sheet-picture.sh needs besides the
# build: an X server without a screen, xdotool, xwd, netpbm and Wine's fonts.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages="g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix
          g++-mingw-w64-x86-64-win32 mingw-w64-tools libwine-dev wine wine64 cmake ninja-build ccache
          googletest nlohmann-json3-dev libcli11-dev nsis wine32:i386"
[ "${1:-}" = "--picture" ] && packages="xvfb xdotool x11-apps netpbm fonts-wine"
need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in $packages; do
  have "$pkg" || need="$need $pkg"
done
[ -z "$need" ] && exit 0
echo "Installing:$need"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
log=$(mktemp)
if ! { $SUDO dpkg --add-architecture i386 && $SUDO apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need; } >"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "tools/install-deps.sh: installing$need failed (the apt output above; all of it in $log)" >&2
  exit 1
fi
rm -f "$log"
