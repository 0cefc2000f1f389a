#!/bin/bash
# The main job: builds both editions and shows what was built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/build.sh"
cd "$root/build"
for edition in current earlier; do
  echo "== $edition edition: build/$edition/VeskaOptions.dll"
  i686-w64-mingw32-objdump -p "$edition/VeskaOptions.dll" |
    awk '/DLL Name:/ {print "   imports " $3} /^\[ *[0-9]+\] [A-Za-z]/ {print "   exports " $2}'
done
