#!/bin/bash
# Registers the DLL of one edition in the test prefix, runs a script client under
# cscript with the DLL's folder as working directory (the registration names the
# DLL by its bare file name), unregisters, and checks the client's last line.
# Further DLLs the client needs (paths on this machine) are registered for the
# run too.
# Usage: run-script-client.sh <build dir> <edition> <script> [dll...]
set -u
build=$1 edition=$2 script=$3
shift 3
dlls=(VeskaOptions.dll)
for dll in "$@"; do dlls+=("Z:$(echo "$dll" | tr / '\\')"); done
run="$build/wine-run"
root="Software\\VeskaScriptClient\\$(basename "$script")-$$"
cd "$build/$edition"
for dll in "${dlls[@]}"; do
  "$run" regsvr32 /s "$dll" || { echo "regsvr32 $dll failed"; exit 1; }
done
output=$("$run" cscript //nologo "Z:$(echo "$script" | tr / '\\')" "$root" 2>&1)
for dll in "${dlls[@]}"; do "$run" regsvr32 /s /u "$dll"; done
"$run" reg delete "HKCU\\Software\\VeskaScriptClient" /f >/dev/null 2>&1
"$run" reg delete "HKCU\\Software\\Policies\\VeskaScriptClient" /f >/dev/null 2>&1
echo "$output"
[ "$(echo "$output" | tr -d '\r' | tail -n 1)" = "RESULT: PASS" ]
