#!/usr/bin/env bash
# Sets up, builds, and performs a real self-update end to end: with the Windows executable under
# Wine, then with the native program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
xvfb-run -a -s '-screen 0 1024x768x24' bash examples/demo.sh all
