#!/usr/bin/env bash
# Sets up, builds, and runs every test: the core, the native program, and the Windows executable
# under Wine; then the same sources built with clang.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Error boxes need a display: a virtual one.
xvfb-run -a -s '-screen 0 1024x768x24' ctest --preset native
bash scripts/test-clang.sh
