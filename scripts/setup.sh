#!/usr/bin/env bash
# Installs what building and testing need (Debian packages, as root) and builds both programs:
# the native one in build/native and the Windows executable in build/windows-x86.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev libgmock-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
          wine wine32:i386 xvfb xauth)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  # Wine's 32-bit part runs the 32-bit executable.
  [[ " ${missing[*]} " == *":i386 "* ]] && dpkg --add-architecture i386
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake --preset windows-x86
cmake --build --preset windows-x86
cmake --preset native -DQUILLMOOR_WINE_TESTS=ON
cmake --build --preset native
