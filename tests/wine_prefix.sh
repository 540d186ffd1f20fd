#!/usr/bin/env bash
# Prepares the Wine prefix that the Windows tests of one architecture run in, on a virtual display
# of its own, and keeps its server up between them. With `stop`, ends both.
# Usage: wine_prefix.sh PREFIX x86|x64 [stop]
set -euo pipefail
export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=("$(dirname "$0")/../scripts/wine.sh" "$2")
# The server an earlier run left behind would keep `wineserver -w` waiting for its minute: end it,
# and the display it was on.
wineserver -k 2>/dev/null || true
[[ -s "$WINEPREFIX.xvfb-pid" ]] && kill "$(cat "$WINEPREFIX.xvfb-pid")" 2>/dev/null || true
rm -f "$WINEPREFIX.display" "$WINEPREFIX.xvfb-pid"
[[ ${3:-} == stop ]] && exit 0

# The suite reads its boxes back from the screen: each architecture's suite gets a screen of its
# own, so the two can run side by side. Xvfb picks a free display and writes its number once ready.
mkdir -p "$WINEPREFIX"
setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WINEPREFIX.display" </dev/null >/dev/null 2>&1 &
echo $! >"$WINEPREFIX.xvfb-pid"
for _ in $(seq 100); do
  [[ -s "$WINEPREFIX.display" ]] && break
  sleep 0.1
done
[[ -s "$WINEPREFIX.display" ]] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(cat "$WINEPREFIX.display")"

bash "${wine[@]}" wineboot --init >/dev/null 2>&1
wineserver -w
# A server that outlives each test saves its start-up in the next; it leaves a minute after the last.
wineserver -p60 </dev/null >/dev/null 2>&1
