#!/usr/bin/env bash
# Checks the Windows ZIP that cpack makes (NimbroDrvIDec-<version>-win32.zip):
# it holds exactly the stripped driver DLL, the host header, the sample
# configuration (every file of config/) and readme.txt, under one top folder
# named like the ZIP, and the DLL passes scripts/check-pe.sh --stripped (PE
# format of the machine, the one export NimbroInterface, system imports only,
# version resource).
# Lists and unpacks with `cmake -E tar`, so it needs nothing but CMake and the
# MinGW binutils.
# Usage: scripts/check-package.sh ZIP i386|x86-64
set -euo pipefail
zip="$1"; machine="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
fail=0
problem() { echo "$zip: $*"; fail=1; }

[ -f "$zip" ] || { echo "no package $zip"; exit 1; }
zip="$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")"
[ "$(head -c 2 "$zip")" = "PK" ] || problem "not a ZIP archive"

# Files only (folders end with /), without the top folder.
listing=$(cmake -E tar tf "$zip") || { echo "$zip: cannot be listed"; exit 1; }
top=$(basename "$zip" .zip)
files=$(echo "$listing" | grep -v '/$' | sort)
outside=$(echo "$files" | grep -v "^$top/" || true)
[ -z "$outside" ] || problem "entries outside the top folder $top/: $(echo $outside)"

expected="bin/NimbroDrvIDec.dll
include/NimbroDriver.h
readme.txt"
for f in "$root"/config/*; do
  expected+=$'\n'"share/NimbroDrvIDec/samples/$(basename "$f")"
done
expected=$(echo "$expected" | sed "s|^|$top/|" | sort)

missing=$(comm -23 <(echo "$expected") <(echo "$files"))
extra=$(comm -13 <(echo "$expected") <(echo "$files"))
[ -z "$missing" ] || problem "missing: $(echo $missing)"
[ -z "$extra" ] || problem "not expected: $(echo $extra)"
echo "$files" | sed 's/^/  /'

work=$(mktemp -d "${TMPDIR:-/tmp}/nimbro-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip") || problem "cannot be unpacked"
dll="$work/$top/bin/NimbroDrvIDec.dll"
if [ -f "$dll" ]; then
  if ! "$root/scripts/check-pe.sh" "$dll" "$machine" --stripped | sed 's/^/  check-pe: /'; then
    problem "bin/NimbroDrvIDec.dll fails check-pe.sh"
  fi
fi
if [ -f "$work/$top/readme.txt" ] && [ ! -s "$work/$top/readme.txt" ]; then
  problem "readme.txt is empty"
fi

if [ $fail -eq 0 ]; then echo "package: 1 passed, 0 failed"; else echo "package: 0 passed, 1 failed"; fi
exit $fail
