#!/bin/bash
# The main job: builds what the demo uses (the "demo" target: the DLL, the
# companions, the sample pages and the demo host) for one architecture, lays out
# a small installation as the installer lays it out (<arch>\ with the DLL and
# the host, Dat\Settings\ with a settings file), registers it and the
# companions in a Wine prefix of its own,
# and runs the demo host, which seeds a sample options tree and narrates. It
# runs the 32-bit (x86) deliverable where this machine runs 32-bit programs and
# the 64-bit one otherwise, and says which. tools/build.sh builds everything.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trap 'echo "tools/demo.sh: failed at line $LINENO: $BASH_COMMAND (exit $?)" >&2' ERR
. "$root/tools/machine.sh"
if [ "$VESKA_X86_RUNS" = 1 ]; then
  arch=x86
  echo "The 32-bit (x86) demo."
else
  arch=x64
  echo "The 64-bit (x64) demo: $VESKA_X86_WHY."
fi
"$root/tools/build.sh" --arch "$arch" --target demo
. "$root/tools/stage.sh"
cd "$root/build/$arch"
export VESKA_WINEPREFIX="$PWD/demo-prefix"
run="$PWD/wine-run"
stage_begin "Preparing the Wine prefix build/$arch/demo-prefix"
"$run" --prefix
for companion in InstallationInfo XMLDataIfsImpl KvtOptions; do
  "$run" regsvr32 /s "companions\\$companion.dll"
done
"$run" regsvr32 /s "samples\\SamplePages.dll"
rm -rf demo && mkdir -p "demo/$arch" demo/Dat/Settings
cp current/VeskaOptions.dll tools/demo/demo_host.exe "demo/$arch/"
cp "$root/tools/demo/Demo.xml" demo/Dat/Settings/Demo.xml
(cd "demo/$arch" && "$run" regsvr32 /s VeskaOptions.dll)
# What an installer would record: the product's folder.
"$run" reg add "HKLM\\Software\\Corvane Interactive\\Installation" /v "Installation Dir" \
  /d 'C:\Program Files\VeskaOptions' /f >/dev/null
stage_end
echo
# The DLL is registered by its bare file name: run the host from its folder.
(cd "demo/$arch" && "$run" demo_host.exe) | tr -d '\r'
(cd "demo/$arch" && "$run" regsvr32 /s /u VeskaOptions.dll)
"$run" --stop
