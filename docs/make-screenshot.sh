#!/usr/bin/env bash
# Takes docs/error-box.png: the real error box of the Windows updater, started with a pending file
# that does not exist, under Wine on a virtual display. Needs the Windows build
# (cmake --preset windows-x86 && cmake --build --preset windows-x86).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
updater=${QM_WINDOWS_UPDATER:-$root/build/windows-x86/quillmoor-updater.exe}
output=$root/docs/error-box.png

if [[ ${1:-} != --on-display ]]; then
  packages=(wine wine32:i386 fonts-wine xvfb xauth x11-utils imagemagick)
  bash "$root/scripts/install-packages.sh" "${packages[@]}"
  [[ -f "$updater" ]] || {
    echo "No Windows updater at $updater" >&2
    exit 1
  }
  exec xvfb-run -a -s '-screen 0 800x600x24' bash "$0" --on-display
fi

export WINEPREFIX="$root/build/docs/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
[[ -f "$WINEPREFIX/system.reg" ]] || wineboot --init >/dev/null 2>&1
# Wine's own fonts, where its loader does not find them: the caption buttons draw with Marlett.
cp /usr/share/wine/fonts/{marlett,tahoma,tahomabd}.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# No window manager runs on the virtual display: Wine then draws the frame and caption itself.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

wine "$updater" 'C:\Program Files\Tool\Tool.exe~' &
box_pid=$!
# The box is up once a window with the updater's caption exists.
for _ in $(seq 100); do
  xwininfo -root -tree 2>/dev/null | grep -q '"Quillmoor Updater"' && break
  sleep 0.2
done
sleep 1 # let it finish drawing
read -r x y width height < <(xwininfo -name 'Quillmoor Updater' |
  awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} /Width:/ {w=$NF} /Height:/ {h=$NF}
       END {print x, y, w, h}')
import -window root -crop "${width}x${height}+${x}+${y}" +repage "$output"

kill "$box_pid" 2>/dev/null || true
wineserver -k
echo "Written $output (${width}x${height})"
