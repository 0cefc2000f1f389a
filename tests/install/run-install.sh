#!/bin/bash
# The setup and the SDK archive in a fresh 64-bit Wine prefix:
#  - a silent install: both architectures' files below one folder whose
#    Dat\Settings both DLLs read, the default components installed and
#    registered, "Installation Dir" recorded in both registry views, the
#    Add/Remove Programs entry with Change; a settings file there read, with its
#    INSTALLDIR token, by the installed veskaopt of each architecture that runs;
#  - both classes created by ProgID by the SDK's script samples (64-bit, and
#    32-bit where this machine runs 32-bit programs), and by its C++ sample,
#    configured and built against the unpacked archive;
#  - components added and removed by setup run again with a component switch,
#    the install count kept;
#  - installed twice and uninstalled once: counts 2, then 1, the classes still
#    work; setup and uninstall refused while a host holds the DLL loaded;
#  - the last uninstall leaves the classes, the Uninstall key, the recorded
#    installation folder, PATH and the program folders as they were before the
#    first install, but for the administrator's settings file;
#  - an install into a folder with spaces and non-ASCII letters, the folder then
#    deleted by hand, the uninstaller still cleaning the registry;
#  - installed and removed over another product's registration of the same
#    classes (no count, its own full path) and of the XML data companion: that
#    product keeps working and keeps its companion.
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
  if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: '$2', expected '$3'"; failures=$((failures + 1)); return 1; fi
}
# What setup or the uninstall said about registrations (the Linux path of its
# log), after a failed run.
registrations_logged() {
  iconv -f UTF-16 -t UTF-8 "$1" 2>/dev/null | tr -d '\r' | grep -i 'regist' | sed 's/^/     /'
}

options='HKCR\CLSID\{479B30A2-93C1-11D4-8EBA-0001022C3670}\InprocServer32'
provider='HKCR\CLSID\{479B30A4-93C1-11D4-8EBA-0001022C3670}\InprocServer32'
typelib='HKCR\TypeLib\{479B30AF-93C1-11D4-8EBA-0001022C3670}\1.0\0\win64'
uninst='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeskaOptions'
installkey='HKLM\Software\Corvane Interactive\Installation'
xmldata='HKCR\CLSID\{2798977C-2AB4-4CB6-B7AD-3616268B57CC}\InprocServer32'
info='HKCR\CLSID\{479B30A8-93C1-11D4-8EBA-0001022C3670}\InprocServer32'
kvt='HKCR\CLSID\{5E2F4499-0BDA-4CD7-B95A-81D51F43AA81}\InprocServer32'
# What reg.exe prints, in UTF-8: with LC_ALL=C.UTF-8 Wine gives the console
# code page 437.
reg_query() { run64 reg query "$@" 2>/dev/null | iconv -f CP437 -t UTF-8 | tr -d '\r'; }
# A value as reg.exe shows it, or "none": value KEY [reg query options...].
value() {
  local found
  found=$(reg_query "$@" | sed -n 's/^ *[^ ].*  REG_[A-Z_]*  *//p' | head -n 1)
  echo "${found:-none}"
}
counts() {
  expect "$1: options class count" "$(value "$options" /v RefCount)" "$2"
  expect "$1: provider class count" "$(value "$provider" /v RefCount)" "$2"
  expect "$1: type library count" "$(value "$typelib" /v RefCount)" "$2"
  expect "$1: installs counted" "$(value "$uninst" /v InstallCount)" "$3"
}
# The files of one architecture's folder for the optional components named
# ("settings", "dialog", "trace"), sorted as ls sorts them.
folder_files() {
  local names=(VeskaOptions.dll VeskaSettings.xsd) component
  [ -f "$x64/packaging/stage/x64/veskaopt.exe" ] && names+=(veskaopt.exe)
  for component in "$@"; do
    case $component in
      settings) names+=(XMLDataIfsImpl.dll InstallationInfo.dll) ;;
      dialog) names+=(KvtOptions.dll) ;;
      trace) names+=(OxaTimeTrace.dll) ;;
    esac
  done
  printf '%s\n' "${names[@]}" | LC_ALL=C sort
}
# An installation in the Windows folder $1 (its Linux path $2) with the
# optional components $3...: both folders hold their files, both DLLs have the
# folder as their parent, which holds Dat\Settings and is the "Installation
# Dir" of both registry views; the PATH entries hosts load the DLLs from are
# the two folders, each with a DLL of its own architecture.
layout() {
  local win=$1 dir=$2 arch entry machine
  shift 2
  for arch in x64 x86; do
    expect "$win: $arch folder" "$(LC_ALL=C ls "$dir/$arch" 2>&1)" "$(folder_files "$@")"
  done
  expect "$win: the settings folder" "$([ -d "$dir/Dat/Settings" ] && echo there)" there
  expect "$win: Installation Dir (64-bit view)" "$(value "$installkey" /v 'Installation Dir')" "$win"
  expect "$win: Installation Dir (32-bit view)" "$(value "$installkey" /v 'Installation Dir' /reg:32)" "$win"
  for arch in x64 x86; do
    machine=$([ $arch = x64 ] && echo x86-64 || echo i386)
    entry=$(value 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v Path | tr ';' '\n' |
      while read -r folder; do
        file=$(echo "$drive/${folder#C:\\}" | tr '\\' /)/VeskaOptions.dll
        [ -f "$file" ] && x86_64-w64-mingw32-objdump -f "$file" | grep -q "file format pei-$machine" && echo "$folder"
      done)
    expect "$win: the $arch DLL's PATH entry is a folder of the installation" "${entry%\\*}" "$win"
  done
}

# The classes, the Uninstall key, the recorded installation folder (both views),
# the environment and the program folders.
snapshot() {
  local key n=0
  for key in 'HKLM\Software\Classes' 'HKLM\Software\Wow6432Node\Classes' "${uninst%\\*}" \
             'HKLM\Software\Corvane Interactive' 'HKLM\Software\Wow6432Node\Corvane Interactive' \
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
  [ $status -eq 0 ] || [ $status -eq 2 ] ||
    registrations_logged "$(find "$drive/users" -name VeskaOptions-uninstall.log | head -n 1)"
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
installed_win='C:\Program Files\VeskaOptions'
layout "$installed_win" "$installed" settings
expect "the 32-bit DLL is the x86 build's" \
  "$(cmp "$installed/x86/VeskaOptions.dll" "$x64/packaging/stage/x86/current/VeskaOptions.dll" && echo same)" same
# The Add/Remove Programs entry: each value and the pattern it must match.
while IFS='|' read -r name want; do
  got=$(value "$uninst" /v "$name")
  # shellcheck disable=SC2053
  [[ $got == $want ]] && want=$got
  expect "Add/Remove Programs $name" "$got" "$want"
done <<ENTRY
QuietUninstallString|"$installed_win\\uninstall.exe" /S
ModifyPath|"$installed_win\\setup.exe"
NoModify|none
DisplayIcon|$installed_win\\setup.exe,0
EstimatedSize|0x[1-9a-f]*
HelpLink|$installed_win\\docs\\administrators.md
ENTRY
expect "the setup for Change and the guide of the help link are there" \
  "$(cd "$installed" && ls setup.exe docs/administrators.md 2>&1 | tr '\n' ' ')" "docs/administrators.md setup.exe "
counts "installed" 0x1 0x1
# The default components: the XML data and installation information companions
# registered from the x64 folder, the managed dialog's stand-in not.
expect "XML data companion registered" "$(value "$xmldata" /ve)" "$installed_win\\x64\\XMLDataIfsImpl.dll"
expect "installation information companion registered" "$(value "$info" /ve)" \
  "$installed_win\\x64\\InstallationInfo.dll"
expect "managed dialog stand-in not registered" "$(value "$kvt" /ve)" none

# One settings folder for both architectures: a file in Dat\Settings read,
# INSTALLDIR expanded, by the installed veskaopt of each architecture that runs
# here; the schema beside veskaopt checks it without a warning.
tree='Software\Corvane Interactive\InstallTest'
cat >"$installed/Dat/Settings/Install.xml" <<'XML'
<?xml version="1.0" encoding="utf-8"?>
<OxaTest>
  <Key Name="Editor">
    <Value Name="FontSize" Type="I4">12</Value>
    <Value Name="HelpFile" Type="STRING">INSTALLDIR\Help\editor.chm</Value>
  </Key>
</OxaTest>
XML
run64 reg add "HKCU\\$tree\\Editor" /v FontSize /t REG_DWORD /d 10 /f >/dev/null
settings_read() {
  local run=$1 arch=$2 program=$installed/$2/veskaopt.exe
  [ -f "$program" ] || { echo "skip $arch settings read: no veskaopt.exe in this build"; return; }
  expect "$arch veskaopt reads the settings file" \
    "$(cd "$drive" && $run "$program" get "$tree" Editor FontSize 2>&1 | tr -d '\r')" 12
  expect "$arch veskaopt expands INSTALLDIR" \
    "$(cd "$drive" && $run "$program" get "$tree" Editor HelpFile 2>&1 | tr -d '\r')" \
    "$installed_win\\Help\\editor.chm"
  expect "$arch veskaopt checks the folder with the schema" \
    "$(cd "$drive" && $run "$program" check 2>&1 | tr -d '\r' | tr '\n' '|')" \
    "1 file(s) checked: 1 would merge, 0 would fail or be refused|"
}
settings_read run64 x64
if [ "$VESKA_X86_RUNS" = 1 ]; then
  settings_read run32 x86
else
  echo "skip 32-bit settings read: $VESKA_X86_WHY (both DLLs' folders share the parent, checked above)"
fi
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

# Changes of components: setup run again with a component switch adds and
# removes companions, counts no install, and refuses an unknown name.
while IFS='|' read -r switch status components; do
  run64 "$setup" /S "$switch"
  expect "setup $switch exits $status" "$?" "$status"
  counts "after setup $switch" 0x1 0x1
  read -r -a have <<<"$components"
  expect "after setup $switch: x64 folder" "$(LC_ALL=C ls "$installed/x64")" "$(folder_files "${have[@]}")"
  want=none
  [[ " $components " == *" settings "* ]] && want="$installed_win\\x64\\XMLDataIfsImpl.dll"
  expect "after setup $switch: XML data companion" "$(value "$xmldata" /ve)" "$want"
  want=none
  [[ " $components " == *" dialog "* ]] && want="$installed_win\\x64\\KvtOptions.dll"
  expect "after setup $switch: managed dialog stand-in" "$(value "$kvt" /ve)" "$want"
done <<'CHANGES'
/COMPANIONS|0|settings dialog trace
/COMPONENTS=trace|0|trace
/COMPONENTS=settings,tracer|2|trace
/COMPONENTS=settings|0|settings
CHANGES
settings_read run64 x64

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
expect "the DLL stays" "$(LC_ALL=C ls "$installed/x64")" "$(folder_files settings)"
rm -f "$held"
wait "$host"

uninstall 'C:\Program Files\VeskaOptions'
expect "last uninstall exits 0" "$?" 0
expect "the administrator's settings file stays" "$(cd "$installed" && find . | LC_ALL=C sort | tr '\n' ' ')" \
  ". ./Dat ./Dat/Settings ./Dat/Settings/Install.xml "
rm -rf "$installed"
same_as_before "uninstalled"

# A folder with spaces and non-ASCII letters, deleted by hand before the uninstall.
odd='C:\Veska Tëst Ördner'
raw "$(winpath "$setup")" /S "/D=$odd"
expect "install into '$odd' exits 0" "$?" 0 || registrations_logged "$drive/Veska Tëst Ördner/setup.log"
layout "$odd" "$drive/Veska Tëst Ördner" settings
cpp_sample "$drive" "installed in '$odd'"
cp "$drive/Veska Tëst Ördner/uninstall.exe" "$work/kept.exe"
rm -rf "$drive/Veska Tëst Ördner"
raw "$(winpath "$work/kept.exe")" /S "_?=$odd"
expect "uninstall after the files were deleted exits 0" "$?" 0
same_as_before "deleted by hand, then uninstalled"

# Another product's copy, registered from its own folder the way an older
# registration looks: its full path and no count; its XML data companion; and
# the installation folder it recorded (in the 64-bit view).
other="$drive/Other Product/bin"
mkdir -p "$other"
cp "$x64/current/VeskaOptions.dll" "$x64/companions/XMLDataIfsImpl.dll" "$other/"
(cd "$other" && run64 regsvr32 /s VeskaOptions.dll && run64 regsvr32 /s XMLDataIfsImpl.dll)
run64 reg add "$options" /ve /d 'C:\Other Product\bin\VeskaOptions.dll' /f >/dev/null
run64 reg delete "$options" /v RefCount /f >/dev/null
run64 reg add "$installkey" /v 'Installation Dir' /d 'C:\Other Product' /f >/dev/null
run64 "$setup" /S /COMPANIONS
expect "install over another product's registration exits 0" "$?" 0
expect "the class names the bare file name while installed" "$(value "$options" /ve)" VeskaOptions.dll
expect "/COMPANIONS registers the companions" "$(value "$kvt" /ve)" "$installed_win\\x64\\KvtOptions.dll"
expect "the other product's XML data companion stays registered" "$(value "$xmldata" /ve)" \
  'C:\Other Product\bin\XMLDataIfsImpl.dll'
expect "Installation Dir names this install while installed" "$(value "$installkey" /v 'Installation Dir')" \
  "$installed_win"
uninstall 'C:\Program Files\VeskaOptions'
expect "uninstall over another product's registration exits 0" "$?" 0
expect "the other product's path is back" "$(value "$options" /ve)" 'C:\Other Product\bin\VeskaOptions.dll'
expect "the other product's registration is counted once" "$(value "$options" /v RefCount)" 0x1
expect "the companions are unregistered" "$(value "$kvt" /ve)|$(value "$info" /ve)" "none|none"
expect "the other product keeps its XML data companion" "$(value "$xmldata" /ve)" \
  'C:\Other Product\bin\XMLDataIfsImpl.dll'
expect "the other product's Installation Dir is back, in its view alone" \
  "$(value "$installkey" /v 'Installation Dir')|$(value "$installkey" /v 'Installation Dir' /reg:32)" \
  'C:\Other Product|none'
cpp_sample "$other" "the other product after the uninstall"

[ "$failures" -eq 0 ] || { echo "installer: $failures failed (the prefix is kept in $work)"; exit 1; }
run64 --stop
rm -rf "$work"
echo "installer: PASS"
