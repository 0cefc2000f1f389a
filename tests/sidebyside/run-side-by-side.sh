#!/bin/bash
# Side by side in one 64-bit prefix: the 32-bit DLL registered by the 32-bit
# regsvr32 (the platform's 32-bit registry view), the 64-bit DLL by the 64-bit
# one. Checks that the two keep separate class and type library registrations
# with separate counts, that a 32-bit and a 64-bit client share the options below
# HKEY_CURRENT_USER, and that unregistering either leaves the other working.
# Exits 77 (skipped) where this machine runs no 32-bit programs.
# Usage: run-side-by-side.sh <source dir> <x64 build dir> <x86 build dir>
set -u
source=$1 x64=$2 x86=$3
. "$source/tools/machine.sh"
if [ "$VESKA_X86_RUNS" != 1 ]; then
  echo "side by side not tested: $VESKA_X86_WHY"
  exit 77
fi
if [ ! -f "$x86/current/VeskaOptions.dll" ]; then
  echo "side by side not tested: no x86 build in $x86 (tools/build.sh builds it)"
  exit 77
fi
prefix=$(sed -n 's/^export WINEPREFIX="\${VESKA_WINEPREFIX:-\(.*\)}"$/\1/p' "$x64/wine-run")
if [ ! -f "${VESKA_WINEPREFIX:-$prefix}/drive_c/windows/syswow64/regsvr32.exe" ]; then
  echo "FAIL: the 64-bit prefix has no 32-bit half (made before wine32 was installed?):" \
       "remove ${VESKA_WINEPREFIX:-$prefix} and run again"
  exit 1
fi

run64() { "$x64/wine-run" "$@"; }
run32() { VESKA_WINE_LOADER=/usr/lib/wine/wine "$x64/wine-run" "$@"; }
clsid='{479B30A2-93C1-11D4-8EBA-0001022C3670}'
typelib='HKCR\TypeLib\{479B30AF-93C1-11D4-8EBA-0001022C3670}\1.0\0'
root="Software\\VeskaSideBySide-$$"
vbs="Z:$(echo "$source/tests/sidebyside/SideBySide.vbs" | tr / '\\')"
failures=0

# RefCount of a key as reg.exe of one architecture sees it, or "none".
count() {
  local value
  value=$("$1" reg query "$2" /v RefCount 2>/dev/null | tr -d '\r' | grep -o '0x[0-9a-f]*')
  echo "${value:-none}"
}
expect() {
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: $2, expected $3"; failures=$((failures + 1)); fi
}
counts() {
  expect "64-bit class count $1" "$(count run64 "HKCR\\CLSID\\$clsid\\InprocServer32")" "$1"
  expect "64-bit type library count $1" "$(count run64 "$typelib\\win64")" "$1"
  expect "32-bit class count $2" "$(count run32 "HKCR\\CLSID\\$clsid\\InprocServer32")" "$2"
  expect "32-bit type library count $2" "$(count run32 "$typelib\\win32")" "$2"
}
# A script client of one architecture, run from that architecture's DLL folder
# (the registration names the DLL by its bare file name).
client() {
  local runner=$1 dir=$2 output
  shift 2
  output=$(cd "$dir/current" && "$runner" cscript //nologo "$vbs" "$@" 2>&1 | tr -d '\r')
  echo "$output" | sed "s/^/  [$runner $1] /"
  expect "$runner client: $*" "$(echo "$output" | tail -n 1)" "RESULT: PASS"
}
register() {
  (cd "$2/current" && "$1" regsvr32 /s $3 VeskaOptions.dll)
  expect "$1 regsvr32 $3 exits 0" "$?" 0
}

register run64 "$x64" ""
register run32 "$x86" ""
register run32 "$x86" ""
counts 0x1 0x2

run64 reg add "HKCU\\$root\\Shared" /v Text /d initial /f >/dev/null
client run32 "$x86" write "$root" "written by 32-bit"
client run64 "$x64" read "$root" "written by 32-bit"
client run64 "$x64" write "$root" "written by 64-bit"
client run32 "$x86" read "$root" "written by 64-bit"

register run32 "$x86" /u
counts 0x1 0x1
register run32 "$x86" /u
counts 0x1 none
client run32 "$x86" absent
client run64 "$x64" read "$root" "written by 64-bit"

register run32 "$x86" ""
register run64 "$x64" /u
counts none 0x1
client run64 "$x64" absent
client run32 "$x86" read "$root" "written by 64-bit"

register run32 "$x86" /u
counts none none
run64 reg delete "HKCU\\$root" /f >/dev/null 2>&1
[ "$failures" -eq 0 ] && echo "side by side: PASS" || { echo "side by side: $failures failed"; exit 1; }
