#!/bin/bash
# Drives veskaopt.exe in the test prefix against the registered DLL of the
# current edition and the XML data companion: writes with and without
# --persist checked in the registry, the JSON export read back, the registry
# file export imported again, settings files checked, administrative templates
# parsed back and checked against a table, values set by policy shown and
# refused, and bad input refused.
# Usage: run-veskaopt.sh <build dir> <cmake>
set -u
build=$1 cmake=$2
run="$build/wine-run"
root="Software\\VeskaInspectorTest\\$$"
policy="Software\\Policies\\VeskaInspectorTest\\$$"
work=$(mktemp -d)
script_dir=$(cd "$(dirname "$0")" && pwd)
failures=0
win() { echo "Z:$(echo "$1" | tr / '\\')"; }
# An installation of its own: bin\ with the DLL and veskaopt, Dat\Settings\ with
# one settings file, so that the merge reads no other test's files.
mkdir -p "$work/bin" "$work/Dat/Settings" "$work/check"
cp "$build/current/VeskaOptions.dll" "$build/current/veskaopt.exe" "$build/current/VeskaSettings.xsd" "$work/bin"
cd "$work/bin"
"$run" regsvr32 /s VeskaOptions.dll || { echo "regsvr32 VeskaOptions.dll failed"; exit 1; }
companion=$(win "$build/companions/XMLDataIfsImpl.dll")
"$run" regsvr32 /s "$companion" || { echo "regsvr32 $companion failed"; exit 1; }
cleanup() {
  "$run" regsvr32 /s /u VeskaOptions.dll; "$run" regsvr32 /s /u "$companion"
  "$run" reg delete "HKCU\\Software\\VeskaInspectorTest" /f >/dev/null 2>&1
  "$run" reg delete "HKCU\\$policy" /f >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# vo <expected status> <args...>: runs veskaopt; its output in $out, errors in $err.
vo() {
  local want=$1; shift
  "$run" veskaopt.exe "$@" >"$work/out" 2>"$work/err"
  local got=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
  [ "$got" -eq "$want" ] || fail "veskaopt $* exited $got, expected $want: $err"
}
# registry <path> <name>: the value's line from reg query, empty when missing.
registry() { "$run" reg query "HKCU\\$root$1" /v "$2" 2>/dev/null | tr -d '\r' | grep -i "^ *$2 "; }

"$run" reg add "HKCU\\$root\\Editor" /v Font /d Courier /f >/dev/null
"$run" reg add "HKCU\\$root\\Editor" /v Theme /d Light /f >/dev/null
printf '<?xml version="1.0"?>\n<OxaTest>\n <Key Name="Editor">\n  <Value Name="Theme" Type="STRING">Dark</Value>\n </Key>\n</OxaTest>\n' \
  | tee "$work/check/good.xml" >"$work/Dat/Settings/defaults.xml"
printf '<?xml version="1.0"?>\n<OxaTest>\n <Value Name="A" Type="I4">1</Value>\n</OxaTst>\n' >"$work/check/bad.xml"
# A value that does not convert, on line 4: the rest of the file still merges.
printf '<?xml version="1.0"?>\n<OxaTest>\n <Key Name="Editor">\n  <Value Name="WordWrap" Type="BOOL">yes</Value>\n  <Value Name="Tabs" Type="I4">4</Value>\n </Key>\n</OxaTest>\n' \
  >"$work/Dat/Settings/wrap.xml"
printf '<?xml version="1.0"?>\n<OxaTest>\n\n <Value Name="Zoom" Type="Float">1.5</Value>\n</OxaTest>\n' >"$work/check/type.xml"
"$run" reg add "HKCU\\$root" /ve /d 'C:\Top "quoted"' /f >/dev/null

# Writes and removals, with and without --persist.
vo 0 set "$root" Editor Size 12 --type I4 --persist
[ "$out" = "Size = I4 12" ] || fail "set prints the stored value: $out"
registry '\Editor' Size | grep -q 'REG_DWORD *0xc$' || fail "set --persist writes the DWORD"
vo 0 set "$root" Editor Font Arial
registry '\Editor' Font | grep -q 'Courier$' || fail "set without --persist leaves the registry"
vo 0 get "$root" Editor FONT
[ "$out" = "Courier" ] || fail "get reads the registry's value: $out"
vo 0 remove "$root" Editor Font
registry '\Editor' Font | grep -q Courier || fail "remove without --persist leaves the registry"
vo 0 remove "$root" Editor Font --persist
[ -z "$(registry '\Editor' Font)" ] || fail "remove --persist deletes the value"
vo 0 set "$root" Editor Note $'line one\nline "two"\x01' --persist
vo 0 show "$root"
echo "$out" | grep -q '^    size = I4 12  (registry)$' || fail "show lists the tree: $out"
echo "$out" | grep -F '    theme = STRING "Dark"  (settings file ' | grep -F 'defaults.xml:4;' |
  grep -qiF "; overrides registry HKEY_CURRENT_USER\\$root\\Editor)" ||
  fail "show names the settings file, the line and the value it overrides: $out"
echo "$out" | grep -qF "    wordwrap = STRING \"yes\"  (settings file $(win "$work/Dat/Settings/wrap.xml"):4, did not convert to BOOL)" ||
  fail "show marks the value that did not convert: $out"
echo "$out" | grep -qF "    tabs = I4 4  (settings file $(win "$work/Dat/Settings/wrap.xml"):5)" ||
  fail "show lists the value after it: $out"
echo "$err" | grep -q 'did not merge in full' || fail "show notes the file that did not merge in full: $err"

# Settings files by the merge's rules: the installation's folder by default.
vo 1 check
[ "$out" = "$(win "$work/Dat/Settings/wrap.xml"):4: error: value \"WordWrap\" in key \"Editor\": \"yes\" is not a BOOL: BOOL takes True or False (in any letter case), or a number: 0 for False, any other for True
2 file(s) checked: 1 would merge, 1 would fail or be refused" ] || fail "check names the value's line and what BOOL takes: $out"
vo 1 check "$(win "$work/check")"
echo "$out" | grep -q '^Z:.*\\bad\.xml:4:1: error: the XML is not well-formed' ||
  fail "check places the bad file's error at the end tag that names another element: $out"
echo "$out" | grep -qF 'type.xml:4: error: value "Zoom" at the top level: Type "Float" is unknown; did you mean R4 or R8?' ||
  fail "check names the types close to an unknown one: $out"
echo "$out" | grep -q 'good\.xml' && fail "check reports the good file: $out"
# A file over the merge's size limit is refused as the merge refuses it, before
# anything parses it: the schema, which it breaks, says nothing of it.
mkdir "$work/big"
{ printf '<?xml version="1.0"?>\n<OxaTest>\n'; head -c 9000000 /dev/zero | tr '\0' ' '
  printf '<Unknown/></OxaTest>\n'; } >"$work/big/big.xml"
vo 1 check "$(win "$work/big")"
[ "$out" = "$(win "$work/big/big.xml"): error: refused: the file is larger than the size limit of 8388608 bytes
1 file(s) checked: 0 would merge, 1 would fail or be refused" ] ||
  fail "check refuses the file over the size limit before parsing it: $out"

# JSON: read back by CMake's JSON reader, control characters included.
vo 0 export "$root" -o "$(win "$work/tree.json")"
cat >"$work/check.cmake" <<'CMAKE'
file(READ "${FILE}" json)
string(JSON note GET "${json}" keys editor values note data)
string(JSON size GET "${json}" keys editor values size data)
string(ASCII 1 one)
if(NOT note STREQUAL "line one\nline \"two\"${one}" OR NOT size EQUAL 12)
  message(FATAL_ERROR "unexpected values: [${note}] [${size}]")
endif()
CMAKE
"$cmake" -DFILE="$work/tree.json" -P "$work/check.cmake" || fail "the JSON export reads back"

# Registry file: export, delete, import, export again gives the same bytes.
vo 0 export "$root" --format reg -o "$(win "$work/first.reg")"
"$run" reg delete "HKCU\\$root" /f >/dev/null 2>&1
"$run" reg import "$(win "$work/first.reg")" >/dev/null 2>&1 || fail "reg import"
vo 0 export "$root" --format reg -o "$(win "$work/second.reg")"
cmp -s "$work/first.reg" "$work/second.reg" || fail "export, reg import, export differ"
iconv -f UTF-16 -t UTF-8 "$work/second.reg" | grep -q '^"size"=dword:0000000c' ||
  fail "the registry file holds the DWORD"

# watch: a registry change by another program and a settings file written from
# here, one line each, then the count ends it.
"$run" veskaopt.exe watch "$root" Editor --count 2 --timeout 60 >"$work/watch" 2>&1 &
watcher=$!
sleep 4
"$run" reg add "HKCU\\$root\\Editor" /v Size /t REG_DWORD /d 14 /f >/dev/null
sleep 1
printf '<?xml version="1.0"?>\n<OxaTest>\n <Key Name="Editor">\n  <Value Name="Zoom" Type="I4">3</Value>\n </Key>\n</OxaTest>\n' \
  >"$work/Dat/Settings/zoom.xml"
wait $watcher || fail "watch exited $?: $(cat "$work/watch")"
tr -d '\r' <"$work/watch" | grep -qx 'changed editor\\size = I4 14  (registry)' ||
  fail "watch prints the registry change: $(cat "$work/watch")"
tr -d '\r' <"$work/watch" | grep -q '^added editor\\zoom = I4 3  (settings file .*zoom\.xml)$' ||
  fail "watch prints the value the new settings file adds: $(cat "$work/watch")"
rm -f "$work/Dat/Settings/zoom.xml"

# Administrative templates: parsed back by the platform's parser, each row of
# the tables an XPath ("p:" the templates' namespace) and how many nodes it must
# select. The names hold what XML must escape.
mkdir -p "$work/admx"  # admx makes out/ itself
cat >"$work/admx/app.xml" <<'XML'
<?xml version="1.0"?>
<OxaTest>
 <Value Name="Enabled" Type="BOOL">True</Value>
 <Key Name="Editor">
  <Value Name="FontSize" Type="I4">12</Value>
  <Value Name="Font" Type="STRING">Courier</Value>
  <Value Name="Big" Type="I8">5</Value>
  <Key Name="A&amp;B &lt;&quot;x&quot;&gt;">
   <Value Name="Tab &amp; &lt;width&gt;" Type="I2">4</Value>
  </Key>
 </Key>
</OxaTest>
XML
vo 0 admx "$(win "$work/admx/app.xml")" --out "$(win "$work/admx/out")" \
  --namespace Corvane.Policies.InspectorTest --root "Software\\Corvane Interactive\\InspectorTest"
admx="$work/admx/out/InspectorTest.admx" adml="$work/admx/out/en-US/InspectorTest.adml"
# count_nodes <file> <expected> <xpath> [<expected> <xpath>...]: fails each row
# whose XPath selects another number of nodes.
count_nodes() {
  local file=$1; shift
  local want=() paths=()
  # Each XPath starts from the document node with "." (cscript takes arguments
  # that begin with "//" as its own options).
  while [ $# -gt 0 ]; do want+=("$1"); paths+=(".$2"); shift 2; done
  local got
  got=$("$run" cscript //nologo "$(win "$script_dir/CountNodes.js")" "$(win "$file")" "${paths[@]}" | tr -d '\r')
  mapfile -t got <<<"$got"
  for i in "${!paths[@]}"; do
    [ "${got[$i]:-none}" = "${want[$i]}" ] ||
      fail "$(basename "$file"): ${paths[$i]} selects ${got[$i]:-none}, expected ${want[$i]}"
  done
}
key='Software\Policies\Corvane Interactive\InspectorTest'
count_nodes "$admx" \
  1 "/p:policyDefinitions[@revision='1.0'][@schemaVersion='1.0']" \
  1 "/p:policyDefinitions/p:policyNamespaces/p:target[@prefix='InspectorTest'][@namespace='Corvane.Policies.InspectorTest']" \
  1 "/p:policyDefinitions/p:resources[@minRequiredRevision='1.0']" \
  1 "/p:policyDefinitions/p:supportedOn/p:definitions/p:definition[@name][@displayName]" \
  3 "/p:policyDefinitions/p:categories/p:category[@name][@displayName]" \
  1 "//p:category[p:parentCategory/@ref=//p:category[p:parentCategory]/@name]" \
  5 "/p:policyDefinitions/p:policies/p:policy[@class='Both'][@displayName][@explainText][p:parentCategory/@ref=//p:category/@name][p:supportedOn/@ref=//p:definition/@name]" \
  1 "//p:policy[@key='$key'][@valueName='Enabled'][p:enabledValue/p:decimal/@value='1'][p:disabledValue/p:decimal/@value='0']" \
  1 "//p:policy[@key='$key\\Editor']/p:elements/p:decimal[@valueName='FontSize'][@minValue='0'][@maxValue='2147483647']" \
  1 "//p:policy[@key='$key\\Editor']/p:elements/p:longDecimal[@valueName='Big'][@minValue='0'][@maxValue='9223372036854775807']" \
  1 "//p:policy[@key='$key\\Editor']/p:elements/p:text[@valueName='Font']" \
  1 "//p:policy[starts-with(@key,'$key\\Editor\\A&B <')]/p:elements/p:decimal[@valueName='Tab & <width>'][@maxValue='32767']"
# Every string and presentation the template names is in the language file.
rows=()
for ref in $(grep -o '\$(\(string\|presentation\)\.[A-Za-z0-9_]*)' "$admx" | sort -u); do
  id=${ref#*.}; id=${id%)}
  case $ref in '$(string.'*) rows+=(1 "//p:stringTable/p:string[@id='$id']") ;;
                *) rows+=(1 "//p:presentationTable/p:presentation[@id='$id']") ;; esac
done
[ "${#rows[@]}" -ge 30 ] || fail "the template names too few strings: ${#rows[@]}"
count_nodes "$adml" \
  1 "/p:policyDefinitionResources[@revision='1.0'][@schemaVersion='1.0'][p:displayName][p:description]" \
  1 "//p:presentation/p:decimalTextBox[@defaultValue='12'][.='FontSize']" \
  1 "//p:presentation/p:textBox[p:label='Font'][p:defaultValue='Courier']" \
  1 "//p:stringTable/p:string[starts-with(.,'A&B <') and string-length(.)=9]" \
  "${rows[@]}"
grep -qF 'A&amp;B &lt;' "$admx" || fail "the template escapes the key's name: $(cat "$admx")"
printf '<?xml version="1.0"?>\n<OxaTest>\n <Value Name="A" Type="I4">1</Value>\n</Oxa>\n' >"$work/admx/bad.xml"
vo 1 admx "$(win "$work/admx/bad.xml")" --out "$(win "$work/admx")" --namespace X.Bad --root Software\\X
[ ! -e "$work/admx/Bad.admx" ] || fail "admx writes nothing for a file that does not parse"

# Values set by policy: shown with the policy key, locked against set and remove.
# A DLL whose options object has no PolicyRoot (JScript gets E_FAIL before Init
# from one that has) reads no policy; the rows then report themselves skipped.
printf 'try { new ActiveXObject("Corvane.VeskaOptions.1").PolicyRoot; } catch (e) {\n  WScript.Quit(e.number == -2147467259 ? 0 : 1); }\nWScript.Quit(1);\n' >"$work/policy.js"
if "$run" cscript //nologo "$(win "$work/policy.js")"; then
  "$run" reg add "HKCU\\$policy\\Editor" /v Theme /d Admin /f >/dev/null
  vo 0 show "$root" Editor
  echo "$out" | grep -qiF "  theme = STRING \"Admin\"  (policy HKEY_CURRENT_USER\\$policy\\Editor; locked)" ||
    fail "show marks the value a policy sets: $out"
  vo 3 set "$root" Editor Theme Light
  echo "$err" | grep -qiF "is set by policy HKEY_CURRENT_USER\\$policy\\Editor; locked: only an administrator" ||
    fail "set names the lock and its key: $err"
  vo 3 remove "$root" Editor Theme --persist
else
  echo "SKIP: this VeskaOptions.dll reads no policy: show and set of a policy value not checked"
fi

# Bad input: non-zero exit, a message, no crash.
vo 4 show "Software\\VeskaInspectorTest\\missing-$$"
echo "$err" | grep -q 'does not exist' || fail "a missing ROOT is named: $err"
vo 4 get "$root" Editor Absent
vo 2 set "$root" Editor Size twelve --type I4
echo "$err" | grep -qF '0x80020005 Type mismatch: ' || fail "a code the system has no text for gets ours: $err"
vo 2 frobnicate
vo 2 show --colour "$root"
vo 4 check "$(win "$work/no-such-folder")"
# Paths near the longest command line: the registry refuses or misses them.
long=$(printf 'k%.0s' $(seq 1 32000))
vo 3 show "Software\\$long"
vo 4 get "$root" "$long" Size
vo 4 check "C:\\$long"

if [ "$failures" -ne 0 ]; then echo "RESULT: $failures failed"; exit 1; fi
echo "RESULT: PASS"
