#!/usr/bin/env bash
# Installs the Debian packages that the named presets need, when missing.
# Usage: scripts/install-deps.sh [preset ...]
#   linux, linux-tsan, win64, win32, linux-fuzz   the CMake presets
#   plain                                         cmake -S . -B build without tests
# Without a name: what every preset needs. As root it installs what is missing
# (wine32:i386 runs the 32-bit Windows tests; it needs the i386 architecture,
# which is added); as another user it names the missing packages and the
# commands that install them, and fails.
set -euo pipefail

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(linux linux-tsan win64 win32 linux-fuzz)

# libcli11-dev: the tools' command lines (header-only, every preset).
pkgs=(cmake ninja-build libcli11-dev)
for p in "${presets[@]}"; do
  case "$p" in
    plain)      pkgs+=(make g++) ;;
    linux)      pkgs+=(g++ binutils libgtest-dev libgmock-dev libbenchmark-dev) ;;
    linux-tsan) pkgs+=(g++ binutils libgtest-dev libgmock-dev) ;;
    # wine64 makes the Wine prefix that both Windows presets share; python3
    # runs the relay that gives the serial port tests a COM port.
    win64)      pkgs+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine wine64 python3) ;;
    win32)      pkgs+=(g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest wine wine64 wine32:i386 python3) ;;
    # clang alone lacks the fuzzer and sanitizer runtimes (a recommends only).
    linux-fuzz) pkgs+=(clang libclang-rt-dev) ;;
    *) echo "install-deps.sh: unknown preset '$p'" \
            "(linux, linux-tsan, win64, win32, linux-fuzz, plain)" >&2
       exit 2 ;;
  esac
done
mapfile -t pkgs < <(printf '%s\n' "${pkgs[@]}" | awk '!seen[$0]++')

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

needs_i386=0
for p in "${missing[@]}"; do
  if [[ "$p" == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    needs_i386=1
  fi
done

if [ "$(id -u)" -ne 0 ]; then
  {
    echo "install-deps.sh: missing Debian packages for ${presets[*]}: ${missing[*]}"
    echo "Install them as root:"
    if [ $needs_i386 -eq 1 ]; then
      echo "  sudo dpkg --add-architecture i386"
    fi
    echo "  sudo apt-get update"
    echo "  sudo apt-get install --no-install-recommends ${missing[*]}"
    echo "or run: sudo scripts/install-deps.sh ${presets[*]}"
  } >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ $needs_i386 -eq 1 ]; then
  dpkg --add-architecture i386
fi
# Wait for another apt or dpkg run instead of failing on its lock: install
# waits by itself, update does not and is tried again.
for try in $(seq 1 90); do
  if out=$(apt-get update -qq 2>&1); then break; fi
  if [ "$try" -eq 90 ] || ! grep -q "Could not get lock" <<<"$out"; then
    echo "$out" >&2
    exit 1
  fi
  sleep 10
done
apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
