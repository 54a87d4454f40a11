#!/usr/bin/env bash
# Checks a shipped DLL: PE format for the expected machine, the NimbroInterface
# export and nothing else, imports of Windows system DLLs only (no MinGW
# runtime DLLs), and a version resource (VERSIONINFO). With --stripped, also
# that it carries no symbol table and no debug sections.
# Usage: scripts/check-pe.sh DLL i386|x86-64 [--stripped]
set -euo pipefail
dll="$1"; machine="$2"; stripped=0
case "${3:-}" in
  --stripped) stripped=1 ;;
  "") ;;
  *) echo "unknown option $3" >&2; exit 2 ;;
esac
case "$machine" in
  i386) fmt="pei-i386"; objdump=i686-w64-mingw32-objdump ;;
  x86-64) fmt="pei-x86-64"; objdump=x86_64-w64-mingw32-objdump ;;
  *) echo "unknown machine $machine" >&2; exit 2 ;;
esac
fail=0
head=$($objdump -f "$dll")
echo "$head" | grep -q "file format $fmt" || { echo "not $fmt: $head"; fail=1; }
dump=$($objdump -p "$dll")
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | { grep -E '^\s+\[' || true; } | awk '{print $NF}')
[ "$exports" = "NimbroInterface" ] || { echo "exports are not exactly NimbroInterface: $exports"; fail=1; }
imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "imports: $(echo $imports)"
for d in $imports; do
  case "$d" in
    libstdc++*|libgcc*|libwinpthread*|*mingw*) echo "runtime DLL imported: $d"; fail=1 ;;
  esac
done
# The resource directory's first level names the types: 16 is RT_VERSION.
if ! echo "$dump" | sed -n '/Resource Directory section/,$p' |
     grep -qE '^[0-9a-f]+   Entry: ID: 0x0*10, '; then
  echo "no version resource (VERSIONINFO)"; fail=1
fi
if [ $stripped -eq 1 ]; then
  $objdump -t "$dll" | grep -qx "no symbols" || { echo "not stripped: it has a symbol table"; fail=1; }
  debug=$($objdump -h "$dll" | awk '$2 ~ /^\.debug/ {print $2}')
  [ -z "$debug" ] || { echo "not stripped: debug sections $(echo $debug)"; fail=1; }
fi
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
