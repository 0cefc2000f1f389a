#!/bin/bash
# Installs what the build and the tests need, when it is missing: the MinGW-w64
# cross compilers, widl, Wine (32- and 64-bit), CMake and the GoogleTest sources.
set -euo pipefail
need=""
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in wine wine32:i386 wine64 g++-mingw-w64-i686 mingw-w64-tools libwine-dev cmake googletest; do
  have "$pkg" || need="$need $pkg"
done
[ -z "$need" ] && exit 0
echo "Installing:$need"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
