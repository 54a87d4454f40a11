#!/usr/bin/env bash
# Installs prerequisites, then builds and tests every preset:
# linux (ASan+UBSan), linux-tsan, win64 (tests under Wine) and win32 (the shipped DLL, checked).
# Usage: scripts/test.sh [preset ...]
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-tsan win64 win32)

export WINEDEBUG=-all
# A private Wine prefix, so a user's own prefix is not touched.
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
if [[ " ${presets[*]} " == *" win64 "* ]] && [ ! -d "$WINEPREFIX" ]; then
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
fi

status=0
summary=()
for p in "${presets[@]}"; do
  echo "=== preset $p"
  if cmake --preset "$p" >"build-$p.log" 2>&1 || { cat "build-$p.log"; false; }; then
    if cmake --build --preset "$p" 2>&1 | tail -n 40; [ "${PIPESTATUS[0]}" -eq 0 ]; then
      if ctest --preset "$p"; then
        summary+=("$p: passed")
      else
        summary+=("$p: FAILED (tests)"); status=1
      fi
    else
      summary+=("$p: FAILED (build)"); status=1
    fi
  else
    summary+=("$p: FAILED (configure)"); status=1
  fi
  rm -f "build-$p.log"
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
