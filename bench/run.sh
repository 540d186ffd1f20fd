#!/usr/bin/env bash
# Installs the public tools the benchmark uses (Debian packages) and runs it. Needs the native
# updater built, and the Windows ones (build/windows-x86, build/windows-x64) for the Wine and
# executable figures: the 64-bit one is timed under Wine's 64-bit loader on every machine, the
# 32-bit one where this machine runs 32-bit programs (scripts/wine.sh decides). Takes about four
# minutes, and five more for the hand-over under Wine with a virtual screen. Prints a table and writes
# docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3 hyperfine strace time binutils cmake make gcc g++ libssl-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb git)
bash scripts/install-packages.sh "${packages[@]}"

exec /usr/bin/python3 bench/run.py "$@"
