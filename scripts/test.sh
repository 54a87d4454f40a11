#!/usr/bin/env bash
# Installs prerequisites, then builds and tests every preset:
# linux (ASan+UBSan), linux-tsan, win64 (tests under Wine), win32 (the shipped
# DLL and its tests in the shipped configuration, under 32-bit Wine; then its
# ZIP, made by cpack and checked by scripts/check-package.sh) and linux-fuzz
# (clang: the libFuzzer targets, each run once on its committed seeds).
# Usage: scripts/test.sh [preset ...]
# CMAKE_BUILD_PARALLEL_LEVEL sets the build jobs (default: Ninja's choice).
set -uo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-tsan win64 win32 linux-fuzz)

scripts/install-deps.sh "${presets[@]}" || exit 1

wants() { [[ " ${presets[*]} " == *" $1 "* ]]; }

export WINEDEBUG=-all
# A private Wine prefix, so a user's own prefix is not touched. One 64-bit
# prefix serves both Windows presets: 32-bit programs find their system DLLs
# in its syswow64 folder.
own_prefix="$PWD/build/wineprefix"
export WINEPREFIX="${WINEPREFIX:-$own_prefix}"
syswow64_ok() { [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; }
# Some virtual machines cannot run 32-bit x86 programs at all (the kernel
# answers "Exec format error"): there the win32 preset is built, packaged and
# checked, but its tests cannot run, and the summary says so.
runs_32bit=1
if wants win32 && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  runs_32bit=0
  echo "warning: this machine cannot execute 32-bit programs; the win32 tests under Wine will not run" >&2
fi
if wants win64 || { wants win32 && [ $runs_32bit = 1 ]; }; then
  # A prefix made before the 32-bit Wine was installed has no 32-bit system
  # DLLs, and updating it does not add them: make it again.
  if wants win32 && [ $runs_32bit = 1 ] && [ -d "$WINEPREFIX" ] && ! syswow64_ok; then
    if [ "$WINEPREFIX" = "$own_prefix" ]; then
      echo "Wine prefix without 32-bit system DLLs: making it again"
      /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    else
      echo "warning: $WINEPREFIX has no 32-bit system DLLs; 32-bit tests will fail" >&2
    fi
  fi
  if [ ! -d "$WINEPREFIX" ]; then
    mkdir -p "$WINEPREFIX"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
  fi
  if wants win32 && [ $runs_32bit = 1 ] && ! syswow64_ok; then
    echo "warning: $WINEPREFIX has no 32-bit system DLLs; 32-bit tests will fail" >&2
  fi
fi

# The package of a preset, when it makes one: win32 ships a ZIP.
package() {
  case "$1" in
    win32) local machine=i386 ;;
    *) return 0 ;;
  esac
  local dir="build/$1"
  rm -rf "$dir/package"
  (cd "$dir" && cpack -G ZIP) >"build-$1-package.log" 2>&1 || { cat "build-$1-package.log"; return 1; }
  local zips=("$dir"/package/*.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || { echo "cpack made no single ZIP in $dir/package"; return 1; }
  scripts/check-package.sh "${zips[0]}" "$machine"
}

status=0
summary=()
for p in "${presets[@]}"; do
  echo "=== preset $p"
  start=$SECONDS
  if cmake --preset "$p" >"build-$p.log" 2>&1 || { cat "build-$p.log"; false; }; then
    if cmake --build --preset "$p" 2>&1 | tail -n 40; [ "${PIPESTATUS[0]}" -eq 0 ]; then
      # Without 32-bit execution only the checks that need no Wine run
      # (the PE checks and the layering), never the test programs.
      only=()
      note=""
      if [ "$p" = win32 ] && [ $runs_32bit = 0 ]; then
        only=(-E '^test_')
        note=", its Wine tests NOT run: this machine cannot execute 32-bit programs"
      fi
      if ! ctest --preset "$p" "${only[@]}"; then
        result="FAILED (tests)"; status=1
      elif ! package "$p"; then
        result="FAILED (package)"; status=1
      else
        result="passed$note"
      fi
    else
      result="FAILED (build)"; status=1
    fi
  else
    result="FAILED (configure)"; status=1
  fi
  summary+=("$p: $result ($((SECONDS - start)) s)")
  rm -f "build-$p.log" "build-$p-package.log"
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
