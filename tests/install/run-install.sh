#!/bin/bash
# The setup and the SDK archive in a fresh 64-bit Wine prefix:
#  - a silent install; both classes created by ProgID by the SDK's script samples
#    (64-bit, and 32-bit where this machine runs 32-bit programs), and by its C++
#    sample, configured and built against the unpacked archive;
#  - installed twice and uninstalled once: counts 2, then 1, the classes still
#    work; setup and uninstall refused while a host holds the DLL loaded;
#  - the last uninstall leaves the classes, the Uninstall key, PATH and the
#    program folders as they were before the first install;
#  - an install into a folder with spaces and non-ASCII letters, the folder then
#    deleted by hand, the uninstaller still cleaning the registry;
#  - installed and removed over another product's registration of the same
#    classes (no count, its own full path): that product keeps working.
# Exits 77 (skipped) in the heap-checking run (it runs nothing of wine-run's heap
# checks) and where the x86 tree was not built.
# Usage: run-install.sh <source dir> <x64 build dir> <x86 build dir> <version> <work dir>
set -u
source=$1 x64=$2 x86=$3 version=$4 work=$5
. "$source/tools/machine.sh"
if [ -n "${VESKA_HEAP_CHECK:-}" ]; then
  echo "installer not tested again with heap checking (it checks the packages, not the heap)"
  exit 77
fi
setup=$x64/packages/VeskaOptions-$version-setup.exe
sdkzip=$x64/packages/VeskaOptions-$version-sdk.zip
if [ ! -f "$x86/current/VeskaOptions.dll" ]; then
  echo "installer not tested: no x86 build in $x86 (tools/build.sh builds both trees and the packages)"
  exit 77
fi
# tools/build.sh makes the packages; made again here when a DLL is newer.
for package in "$setup" "$sdkzip"; do
  if [ ! -f "$package" ] || [ "$x64/current/VeskaOptions.dll" -nt "$package" ] ||
     [ "$x86/current/VeskaOptions.dll" -nt "$package" ]; then
    cmake --build "$x64" --target packages >"$x64/packages.log" 2>&1 ||
      { cat "$x64/packages.log"; echo "FAIL: making the packages"; exit 1; }
  fi
done

export VESKA_WINEPREFIX=$work/prefix LC_ALL=C.UTF-8
run64() { "$x64/wine-run" "$@"; }
run32() { VESKA_WINE_LOADER=/usr/lib/wine/wine "$x64/wine-run" "$@"; }
winpath() { echo "Z:$1" | tr / '\\'; }
# A command line passed to the program as it is: setup's /D= and the
# uninstaller's _?= take the rest of the line unquoted, spaces and all.
raw() { run64 cmd /c "$*"; }
run64 --stop
rm -rf "$work"
mkdir -p "$work"
run64 --prefix || exit 1
trap 'run64 --stop' EXIT
drive=$VESKA_WINEPREFIX/drive_c
failures=0
expect() {
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: '$2', expected '$3'"; failures=$((failures + 1)); fi
}

options='HKCR\CLSID\{479B30A2-93C1-11D4-8EBA-0001022C3670}\InprocServer32'
provider='HKCR\CLSID\{479B30A4-93C1-11D4-8EBA-0001022C3670}\InprocServer32'
typelib='HKCR\TypeLib\{479B30AF-93C1-11D4-8EBA-0001022C3670}\1.0\0\win64'
uninst='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeskaOptions'
# A value as reg.exe shows it, or "none".
value() {
  local found
  found=$(run64 reg query "$1" $2 2>/dev/null | tr -d '\r' | sed -n 's/^ *[^ ].*  REG_[A-Z_]*  *//p' | head -n 1)
  echo "${found:-none}"
}
counts() {
  expect "$1: options class count" "$(value "$options" "/v RefCount")" "$2"
  expect "$1: provider class count" "$(value "$provider" "/v RefCount")" "$2"
  expect "$1: type library count" "$(value "$typelib" "/v RefCount")" "$2"
  expect "$1: installs counted" "$(value "$uninst" "/v InstallCount")" "$3"
}

# The classes, the Uninstall key, the environment and the program folders.
snapshot() {
  local key n=0
  for key in 'HKLM\Software\Classes' 'HKLM\Software\Wow6432Node\Classes' "${uninst%\\*}" \
             'HKLM\System\CurrentControlSet\Control\Session Manager\Environment'; do
    n=$((n + 1))
    run64 reg export "$key" "$(winpath "$work/$1-$n.reg")" /y >/dev/null 2>&1
    iconv -f UTF-16 -t UTF-8 "$work/$1-$n.reg" >>"$work/$1.txt" 2>/dev/null
  done
  (cd "$drive" && find "Program Files" "Program Files (x86)" | sort >>"$work/$1.txt")
}
same_as_before() {
  snapshot "$1"
  if cmp -s "$work/before.txt" "$work/$1.txt"; then
    echo "ok   $1: registry and program folders as before the first install"
  else
    echo "FAIL $1: the registry or the program folders differ from before the first install:"
    diff "$work/before.txt" "$work/$1.txt" | head -n 40
    failures=$((failures + 1))
  fi
}
# Runs an uninstaller copied out of the folder, in place (_?=), so that the call
# waits for it and it can delete its own file there.
uninstall() {
  local folder=$1 status
  shift
  cp "$(echo "$drive/${folder#C:\\}" | tr '\\' /)/uninstall.exe" "$work/uninstall.exe" 2>/dev/null
  raw "$(winpath "$work/uninstall.exe")" /S "_?=$folder"
  status=$?
  rm -f "$work/uninstall.exe"
  return $status
}

# The script host of each architecture registers its own type library when it
# first runs: let them do so before the snapshot.
echo 'WScript.Quit 0' >"$work/quit.vbs"
run64 cscript //nologo "$(winpath "$work/quit.vbs")"
[ "$VESKA_X86_RUNS" = 1 ] && run32 cscript //nologo "$(winpath "$work/quit.vbs")"
snapshot before
run64 "$setup" /S
expect "silent install exits 0" "$?" 0
installed="$drive/Program Files/VeskaOptions"
# What a bin folder holds: the DLL, and veskaopt.exe where the build made it.
bin_files=VeskaOptions.dll
[ -f "$x64/packaging/stage/x64/veskaopt.exe" ] && bin_files=$'VeskaOptions.dll\nveskaopt.exe'
expect "64-bit DLL in the 64-bit program folder" "$(LC_ALL=C ls "$installed/bin")" "$bin_files"
expect "32-bit DLL in the 32-bit program folder" \
  "$(cmp "$drive/Program Files (x86)/VeskaOptions/bin/VeskaOptions.dll" \
         "$x64/packaging/stage/x86/current/VeskaOptions.dll" && echo same)" same
expect "Add/Remove Programs entry" "$(value "$uninst" "/v QuietUninstallString")" \
  '"C:\Program Files\VeskaOptions\uninstall.exe" /S'
counts "installed" 0x1 0x1
log=$(iconv -f UTF-16 -t UTF-8 "$installed/setup.log" | tr -d '\r')
if [ "$VESKA_X86_RUNS" = 1 ]; then
  expect "32-bit classes registered" "$(run32 reg query "$options" /v RefCount 2>/dev/null | grep -c 0x1)" 1
else
  expect "setup.log says why the 32-bit DLL is not registered" \
    "$(echo "$log" | grep -c 'not registered: this machine runs no 32-bit programs')" 1
fi

# The SDK, unpacked: the script samples from an unrelated folder (the DLL is
# found through PATH) and the C++ sample built against the archive.
(cd "$work" && cmake -E tar xf "$sdkzip") || { echo "FAIL: unpacking $sdkzip"; exit 1; }
sdk=$work/VeskaOptions-$version-sdk
# The SDK README's commands and outputs, as typed there: the lines of the first
# block of kind $2 (sh, text) below the heading that contains $1.
readme_block() {
  awk -v heading="$1" -v kind="$2" '
    /^#/ { inside = index($0, heading) > 0 }
    inside && $0 == "```" kind { block = 1; next }
    block && /^```/ { block = 0; exit }
    block { print }' "$sdk/README.md"
}
# "wine" in the README is the Wine of this test's prefix, with 64-bit programs.
readme_commands() {
  (cd "$sdk" && wine() { run64 "$@"; } && eval "$(readme_block "$1" sh)") 2>&1 | tr -d '\r'
}
script_sample() {
  local output
  output=$(cd "$drive" && "$1" cscript //nologo "$(winpath "$sdk/samples/script/SampleHost.$2")" 2>&1 | tr -d '\r')
  expect "$1 $2 sample" "$output" "$3"
}
vbs_output=$(readme_block "Run the script samples" text)
script_sample run64 vbs "$vbs_output"
script_sample run64 js "$(echo "$vbs_output" | sed 's/VBScript reports as error 430/JScript reports as 0x80004002/; s/VBScript/JScript/')"
if [ "$VESKA_X86_RUNS" = 1 ]; then
  script_sample run32 vbs "$vbs_output"
else
  echo "skip 32-bit script sample: $VESKA_X86_WHY"
fi
sample=$sdk/build-x64/sample_host.exe
expected=$(readme_block "What it prints" text)
output=$(readme_commands "64-bit")
expect "the SDK README's x64 commands, as typed" "$(echo "$output" | tail -n "$(echo "$expected" | wc -l)")" \
  "$expected"
# The x86 commands build as typed; their program runs where 32-bit programs do.
x86_commands=$(readme_block "32-bit" sh)
[ "$VESKA_X86_RUNS" = 1 ] || x86_commands=$(echo "$x86_commands" | grep -v '^wine ')
(cd "$sdk" && wine() { VESKA_WINE_LOADER=/usr/lib/wine/wine run64 "$@"; } && eval "$x86_commands") \
  >"$work/sdk-x86.log" 2>&1
expect "the SDK README's x86 commands, as typed" "$?" 0
cpp_sample() {
  local output
  output=$(cd "$1" && run64 "$sample" 2>&1 | tr -d '\r')
  expect "$2: C++ sample" "$output" "$expected"
}
cpp_sample "$drive" "installed"

run64 "$setup" /S
expect "second install exits 0" "$?" 0
counts "installed twice" 0x2 0x2
uninstall 'C:\Program Files\VeskaOptions'
expect "first uninstall exits 0" "$?" 0
counts "installed twice, uninstalled once" 0x1 0x1
cpp_sample "$drive" "installed twice, uninstalled once"

# A host holding the DLL (loaded by its bare name, as the component runtime
# does) until its file is deleted: setup and the last uninstall stop and change
# nothing.
held=$work/held
cat >"$work/hold.c" <<'EOF'
#include <windows.h>
#include <stdio.h>
int main(int argc, char** argv) {
    if (argc < 2 || !LoadLibraryW(L"VeskaOptions.dll")) return 1;
    fclose(fopen(argv[1], "w"));
    while (GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES) Sleep(100);
    return 0;
}
EOF
x86_64-w64-mingw32-gcc -o "$work/hold.exe" "$work/hold.c"
(cd "$drive" && exec "$x64/wine-run" "$work/hold.exe" "$(winpath "$held")") &
host=$!
for _ in $(seq 120); do [ -f "$held" ] && break; sleep 0.5; done
expect "a host holds the DLL" "$([ -f "$held" ] && echo yes)" yes
run64 "$setup" /S
expect "setup while the DLL is in use exits 2" "$?" 2
uninstall 'C:\Program Files\VeskaOptions'
expect "uninstall while the DLL is in use exits 2" "$?" 2
counts "after both were refused" 0x1 0x1
expect "the DLL stays" "$(LC_ALL=C ls "$installed/bin")" "$bin_files"
rm -f "$held"
wait "$host"

uninstall 'C:\Program Files\VeskaOptions'
expect "last uninstall exits 0" "$?" 0
same_as_before "uninstalled"

# A folder with spaces and non-ASCII letters, deleted by hand before the uninstall.
odd='C:\Veska Tëst Ördner'
raw "$(winpath "$setup")" /S "/D=$odd"
expect "install into '$odd' exits 0" "$?" 0
expect "64-bit DLL in '$odd'" "$(LC_ALL=C ls "$drive/Veska Tëst Ördner/bin" 2>&1)" "$bin_files"
expect "32-bit DLL below it" "$(LC_ALL=C ls "$drive/Veska Tëst Ördner/x86/bin" 2>&1)" "$bin_files"
cpp_sample "$drive" "installed in '$odd'"
cp "$drive/Veska Tëst Ördner/uninstall.exe" "$work/kept.exe"
rm -rf "$drive/Veska Tëst Ördner"
raw "$(winpath "$work/kept.exe")" /S "_?=$odd"
expect "uninstall after the files were deleted exits 0" "$?" 0
same_as_before "deleted by hand, then uninstalled"

# Another product's copy, registered from its own folder the way an older
# registration looks: its full path and no count.
other="$drive/Other Product/bin"
mkdir -p "$other"
cp "$x64/current/VeskaOptions.dll" "$other/"
(cd "$other" && run64 regsvr32 /s VeskaOptions.dll)
run64 reg add "$options" /ve /d 'C:\Other Product\bin\VeskaOptions.dll' /f >/dev/null
run64 reg delete "$options" /v RefCount /f >/dev/null
run64 "$setup" /S /COMPANIONS
expect "install over another product's registration exits 0" "$?" 0
expect "the class names the bare file name while installed" "$(value "$options" /ve)" VeskaOptions.dll
expect "/COMPANIONS registers the companions" "$(value 'HKCR\Corvane.XMLDataIfsImpl\CLSID' /ve)" \
  '{2798977C-2AB4-4CB6-B7AD-3616268B57CC}'
uninstall 'C:\Program Files\VeskaOptions'
expect "uninstall over another product's registration exits 0" "$?" 0
expect "the other product's path is back" "$(value "$options" /ve)" 'C:\Other Product\bin\VeskaOptions.dll'
expect "the other product's registration is counted once" "$(value "$options" "/v RefCount")" 0x1
expect "the companions are unregistered" "$(value 'HKCR\Corvane.XMLDataIfsImpl\CLSID' /ve)" none
cpp_sample "$other" "the other product after the uninstall"

[ "$failures" -eq 0 ] || { echo "installer: $failures failed (the prefix is kept in $work)"; exit 1; }
run64 --stop
rm -rf "$work"
echo "installer: PASS"
