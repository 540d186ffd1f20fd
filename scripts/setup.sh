#!/usr/bin/env bash
# Installs what building and testing need (Debian packages, as root) and builds both programs:
# the native one in build/native and the Windows executable in build/windows-x86, and the
# Windows-hosted suite in build/windows-x86-tests/quillmoor-e2e.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev libgmock-dev googletest g++-mingw-w64-i686 g++-mingw-w64-i686-posix
          binutils-mingw-w64-i686 wine wine32:i386 xvfb xauth)
# The release's tests: signing, and reading archives and programs back.
packages+=(osslsigncode openssl git file unzip)
bash scripts/install-packages.sh "${packages[@]}"

cmake --preset windows-x86
cmake --build --preset windows-x86
cmake --preset windows-x86-tests
cmake --build --preset windows-x86-tests
cmake --preset native -DQUILLMOOR_WINE_TESTS=ON
cmake --build --preset native
