#!/usr/bin/env bash
# Builds the native program and the Windows executable with clang as well, and runs the clang
# build's tests: core, POSIX platform, native end to end, and the checks of the clang exe's file.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make clang g++ libgtest-dev libgmock-dev libssl-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
          osslsigncode openssl libwine-dev)
bash scripts/install-packages.sh "${packages[@]}"

cmake --preset windows-x86-clang
cmake --build --preset windows-x86-clang
cmake --preset native-clang
cmake --build --preset native-clang
ctest --preset native-clang
