#!/usr/bin/env bash
# Installs what building and testing need (Debian packages, as root) and builds everything: the
# native program in build/native; the 32-bit Windows executable and its 64-bit twin in
# build/windows-x86 and build/windows-x64; and the Windows-hosted suite for each, in
# build/windows-x86-tests and build/windows-x64-tests (quillmoor-e2e.exe).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ libgtest-dev libgmock-dev googletest libssl-dev
          g++-mingw-w64-i686 g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine64 wine32:i386 xvfb xauth)
# The release's tests: signing, and reading archives and programs back.
packages+=(osslsigncode openssl git file unzip)
# A display language that the Western code page cannot hold, for the suite's test of the system's
# wording: Wine takes it from the host's locale.
packages+=(locales)
# The hand-over library's Windows source compiled as MSVC would see it: clang in MSVC mode, against
# Wine's Windows and C run-time headers.
packages+=(clang libwine-dev)
# The release as applications take it: the import library for MSVC (LLVM's dlltool makes it, its
# lld-link links a caller in MSVC mode), pkg-config, and the wrappers under the system's CPython and
# under Mono (its C# compiler and runtime).
packages+=(llvm lld pkgconf python3 mono-mcs mono-runtime)
bash scripts/install-packages.sh "${packages[@]}"
locale -a | grep -qix 'ru_RU.utf8' || localedef -i ru_RU -f UTF-8 ru_RU.UTF-8

for preset in windows-x86 windows-x86-tests windows-x64 windows-x64-tests; do
  cmake --preset $preset
  cmake --build --preset $preset
done
# QUILLMOOR_WINDOWS_RUNS (auto, x86, x64 or both) chooses which Windows builds run under Wine.
cmake --preset native -DQUILLMOOR_WINE_TESTS=ON -DQUILLMOOR_WINDOWS_RUNS="${QUILLMOOR_WINDOWS_RUNS:-auto}"
cmake --build --preset native
