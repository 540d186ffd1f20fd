#!/usr/bin/env bash
# Installs what the tests need (Debian packages), builds the native and the Windows programs, and
# runs every test: the core, the native program, and the Windows executable under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev libgmock-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb xauth)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  [[ " ${missing[*]} " == *":i386 "* ]] && dpkg --add-architecture i386
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake --preset windows-x86
cmake --build --preset windows-x86
cmake --preset native -DQUILLMOOR_WINE_TESTS=ON
cmake --build --preset native
# Error boxes need a display: a virtual one.
xvfb-run -a -s '-screen 0 1024x768x24' ctest --preset native
