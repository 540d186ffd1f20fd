#!/usr/bin/env bash
# Prepares the Wine prefix that the Windows tests run in, and keeps its server up between them.
set -euo pipefail
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The server an earlier run left behind would keep `wineserver -w` waiting for its minute: end it.
wineserver -k 2>/dev/null || true
wineboot --init >/dev/null 2>&1
wineserver -w
# A server that outlives each test saves its start-up in the next; it leaves a minute after the last.
wineserver -p60 </dev/null >/dev/null 2>&1
