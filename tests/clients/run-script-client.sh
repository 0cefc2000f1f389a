#!/bin/bash
# Registers the DLL of one edition in the test prefix, runs a script client under
# cscript with the DLL's folder as working directory (the registration names the
# DLL by its bare file name), unregisters, and checks the client's last line.
# Usage: run-script-client.sh <build dir> <edition> <script>
set -u
build=$1 edition=$2 script=$3
run="$build/wine-run"
root="Software\\VeskaScriptClient\\$(basename "$script")-$$"
cd "$build/$edition"
"$run" regsvr32 /s VeskaOptions.dll || { echo "regsvr32 failed"; exit 1; }
output=$("$run" cscript //nologo "Z:$(echo "$script" | tr / '\\')" "$root" 2>&1)
"$run" regsvr32 /s /u VeskaOptions.dll
"$run" reg delete "HKCU\\Software\\VeskaScriptClient" /f >/dev/null 2>&1
echo "$output"
[ "$(echo "$output" | tr -d '\r' | tail -n 1)" = "RESULT: PASS" ]
