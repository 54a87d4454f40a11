#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# wine32:i386 runs the 32-bit Windows tests; it needs the i386 architecture.
set -euo pipefail
pkgs=(cmake ninja-build g++ binutils libgtest-dev googletest libbenchmark-dev
      g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386 clang file)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run this script as root, or install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
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
