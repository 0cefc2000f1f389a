#!/bin/bash
# Runs the examples of documentation pages and compares what each prints with the
# "Output:" block that follows it, so the pages cannot drift from the code.
# An example is a fenced block whose info string names a file:
#   ```vbscript title=NAME / ```jscript title=NAME   run with cscript
#   ```cpp title=NAME      compiled with the tree's compiler against the
#                          interface header, then run
#   ```xml title=NAME      a settings file, in place before anything runs
#   ```console title=NAME  lines "$ veskaopt ARGS", run one after the other;
#                          their standard output is compared
# What an example prints names the page's installation folder as the pages do,
# "C:\Program Files\VeskaOptions", the installer's.
# Each page runs in a small installation of its own, as the installer lays it
# out (x64\ with the DLL, Dat\Settings\ with the page's settings files), with the
# companions and the sample component registered and an installation directory
# recorded. Blocks without a title are not run.
# Usage: run-doc-examples.sh <build dir> <c++ compiler> <page.md>...
set -u
build=$1 cxx=$2
shift 2
run="$build/wine-run"
work=$(mktemp -d "$build/doc-examples.XXXXXX")
trap 'rm -rf "$work"' EXIT
winpath() { echo "Z:$1" | tr / '\\'; }
install_key='HKLM\Software\Corvane Interactive\Installation'
companions=("$(winpath "$build/companions/XMLDataIfsImpl.dll")" "$(winpath "$build/companions/InstallationInfo.dll")")
failures=0 examples=0
for dll in "${companions[@]}"; do
  "$run" regsvr32 /s "$dll" || { echo "FAIL regsvr32 $dll"; failures=$((failures + 1)); }
done
"$run" reg add "$install_key" /v "Installation Dir" /d 'C:\Program Files\VeskaOptions' /f >/dev/null
"$run" reg delete 'HKCU\Software\Corvane Interactive\DocsSample' /f >/dev/null 2>&1
for page in "$@"; do
  dir="$work/$(basename "$page" .md)"
  mkdir -p "$dir/x64" "$dir/Dat/Settings" "$dir/src"
  cp "$build/current/VeskaOptions.dll" "$build/samples/SamplePages.dll" "$build/current/veskaopt.exe" \
     "$build/current/VeskaSettings.xsd" "$dir/x64/"
  # src/list: one line "lang title" per example in page order; src/<title> its
  # text, src/<title>.out the Output block after it.
  awk -v src="$dir/src" '
    /^```(vbscript|jscript|cpp|xml|console) title=/ && !in_block {
      lang = substr($1, 4); title = substr($2, 7); file = src "/" title
      print lang, title > (src "/list"); in_block = 1; printf "" > file; next }
    /^Output:$/ && !in_block { want_out = 1; next }
    /^```/ && want_out && !in_block { file = src "/" title ".out"; printf "" > file
      in_block = 1; want_out = 0; next }
    /^```/ && in_block { in_block = 0; file = ""; next }
    in_block && file != "" { print > file }
    /^```/ { in_block = !in_block }' "$page"
  [ -s "$dir/src/list" ] || { echo "FAIL $page: no examples found"; failures=$((failures + 1)); continue; }
  while read -r lang title; do
    [ "$lang" = xml ] && cp "$dir/src/$title" "$dir/Dat/Settings/$title"
  done <"$dir/src/list"
  dlls=("$(winpath "$dir/x64/VeskaOptions.dll")" "$(winpath "$dir/x64/SamplePages.dll")")
  for dll in "${dlls[@]}"; do
    "$run" regsvr32 /s "$dll" || { echo "FAIL regsvr32 $dll"; failures=$((failures + 1)); }
  done
  while read -r lang title; do
    case $lang in
      xml) continue ;;
      cpp)
        # Built once per text of the example and header; kept in the build tree.
        exe="$dir/x64/${title%.*}.exe"
        key=$(cat "$dir/src/$title" "$build/current/include/VeskaOptions_h.h" | sha1sum | cut -c1-16)
        built="$build/doc-examples-built/$key.exe"
        if [ ! -f "$built" ]; then
          mkdir -p "$build/doc-examples-built"
          if ! "$cxx" -std=c++17 -DUNICODE -D_UNICODE -I"$build/current/include" -o "$built.$$.tmp" \
               "$dir/src/$title" "$build/current/include/VeskaOptions_i.c" -static \
               -lole32 -loleaut32 -luuid >"$dir/src/$title.log" 2>&1; then
            echo "FAIL $page: $title does not compile:"; cat "$dir/src/$title.log"
            failures=$((failures + 1)); continue
          fi
          mv "$built.$$.tmp" "$built"  # whole, also beside another run of the suite
        fi
        cp "$built" "$exe"
        output=$(cd "$dir/x64" && "$run" "$(basename "$exe")" 2>&1) ;;
      console)
        output=$(cd "$dir/x64" && while read -r prompt program arguments; do
                   [ "$prompt $program" = '$ veskaopt' ] || continue
                   eval "set -- $arguments"
                   "$run" veskaopt.exe "$@" 2>/dev/null
                 done <"$dir/src/$title") ;;
      *) output=$(cd "$dir/x64" && "$run" cscript //nologo "$(winpath "$dir/src/$title")" 2>&1) ;;
    esac
    output=${output//"$(winpath "$dir")"/'C:\Program Files\VeskaOptions'}
    examples=$((examples + 1))
    if [ ! -f "$dir/src/$title.out" ]; then
      echo "FAIL $page: $title has no Output block"; failures=$((failures + 1))
    elif ! diff <(printf '%s\n' "$output" | tr -d '\r') "$dir/src/$title.out" >"$dir/src/$title.diff"; then
      echo "FAIL $page: $title printed other than its Output block (< printed, > documented):"
      cat "$dir/src/$title.diff"; failures=$((failures + 1))
    else
      echo "ok   $page: $title"
    fi
  done <"$dir/src/list"
  for dll in "${dlls[@]}"; do "$run" regsvr32 /s /u "$dll"; done
  "$run" reg delete 'HKCU\Software\Corvane Interactive\DocsSample' /f >/dev/null 2>&1
done
for dll in "${companions[@]}"; do "$run" regsvr32 /s /u "$dll"; done
"$run" reg delete "$install_key" /f >/dev/null 2>&1
echo "$examples examples run, $failures failures"
[ "$failures" -eq 0 ] && [ "$examples" -gt 0 ]
