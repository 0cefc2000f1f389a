#!/bin/bash
# The main job: builds everything, lays out a small installation in build/demo
# (bin\ with the DLL and the host, Dat\Settings\ with a settings file), registers
# it and the companions in a Wine prefix of its own (build/demo-prefix), and runs
# the demo host, which seeds a sample options tree and narrates.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
cd "$root/build"
export VESKA_WINEPREFIX="$root/build/demo-prefix"
run="$root/build/wine-run"
echo "Preparing the Wine prefix build/demo-prefix ..."
"$run" --prefix
for companion in InstallationInfo XMLDataIfsImpl KvtOptions; do
  "$run" regsvr32 /s "companions\\$companion.dll"
done
rm -rf demo && mkdir -p demo/bin demo/Dat/Settings
cp current/VeskaOptions.dll tools/demo/demo_host.exe demo/bin/
cp "$root/tools/demo/Demo.xml" demo/Dat/Settings/Demo.xml
(cd demo/bin && "$run" regsvr32 /s VeskaOptions.dll)
# What an installer would record: the product's folder.
"$run" reg add "HKLM\\Software\\Corvane Interactive\\Installation" /v "Installation Dir" \
  /d 'C:\Program Files\Corvane\Veska' /f >/dev/null
echo
# The DLL is registered by its bare file name: run the host from its folder.
(cd demo/bin && "$run" demo_host.exe) | tr -d '\r'
(cd demo/bin && "$run" regsvr32 /s /u VeskaOptions.dll)
"$run" --stop
