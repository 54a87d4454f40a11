#!/usr/bin/env bash
# Checks a shipped DLL: PE format for the expected machine, the NimbroInterface
# export, and imports of Windows system DLLs only (no MinGW runtime DLLs).
set -euo pipefail
dll="$1"; machine="$2"
case "$machine" in
  i386) fmt="pei-i386"; objdump=i686-w64-mingw32-objdump ;;
  x86-64) fmt="pei-x86-64"; objdump=x86_64-w64-mingw32-objdump ;;
  *) echo "unknown machine $machine" >&2; exit 2 ;;
esac
fail=0
head=$($objdump -f "$dll")
echo "$head" | grep -q "file format $fmt" || { echo "not $fmt: $head"; fail=1; }
dump=$($objdump -p "$dll")
exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | awk '{print $NF}')
[ "$exports" = "NimbroInterface" ] || { echo "exports are not exactly NimbroInterface: $exports"; fail=1; }
imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
echo "imports: $(echo $imports)"
for d in $imports; do
  case "$d" in
    libstdc++*|libgcc*|libwinpthread*|*mingw*) echo "runtime DLL imported: $d"; fail=1 ;;
  esac
done
if [ $fail -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $fail
