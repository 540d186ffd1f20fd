#!/usr/bin/env bash
# Installs the public tools the benchmark uses (Debian packages) and runs it. Needs the native
# updater built, and the Windows one for the Wine and executable figures; takes about three minutes.
# Prints a table and writes docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(python3 hyperfine strace time binutils cmake make gcc g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)
bash scripts/install-packages.sh "${packages[@]}"

exec /usr/bin/python3 bench/run.py "$@"
