#!/usr/bin/env bash
# Prepares the Wine prefix that the Windows tests of one architecture run in, and keeps its server
# up between them. Usage: wine_prefix.sh PREFIX x86|x64
set -euo pipefail
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=("$(dirname "$0")/../scripts/wine.sh" "$2")
# The server an earlier run left behind would keep `wineserver -w` waiting for its minute: end it.
wineserver -k 2>/dev/null || true
bash "${wine[@]}" wineboot --init >/dev/null 2>&1
wineserver -w
# A server that outlives each test saves its start-up in the next; it leaves a minute after the last.
wineserver -p60 </dev/null >/dev/null 2>&1
