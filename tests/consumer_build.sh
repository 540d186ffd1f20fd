#!/usr/bin/env bash
# Builds an application that updates itself with one checked call, and runs the update. The
# application takes the updater and the hand-over library in with add_subdirectory of SOURCE_DIR
# (then it must get the program beside its own and nothing else of ours: no tests, examples,
# packaging or install rules), or from ARCHIVE, an unpacked release: with find_package (tests/consumer
# natively, or built for Windows, x86 or x64, and run under Wine in the WINEPREFIX of the environment,
# loading the DLL through the header's pointer types), with pkg-config, or as a Python script or a C#
# program (under Mono) calling the shared library through the release's wrapper.
# Usage: consumer_build.sh SOURCE_DIR WORK_DIR [native|x86|x64|pkg-config|python|csharp] [ARCHIVE]
set -euo pipefail
source_dir=$1 work=$2 how=${3:-native} archive=${4:-}
consumer=$source_dir/tests/consumer
exe='' run=() toolchain=() text='' download=download
case $how in
  x86) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-i686.cmake") ;;
  x64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake") ;;
esac
if ((${#toolchain[@]})); then
  exe=.exe run=(bash "$source_dir/scripts/wine.sh" "$how")
  # The display of the prefix's own (tests/wine_prefix.sh), for the updater's box should it fail.
  [[ -s "${WINEPREFIX:?}.display" ]] && export DISPLAY=":$(cat "$WINEPREFIX.display")"
fi
rm -rf "$work"
mkdir -p "$work"
from=(-DQUILLMOOR_SOURCE_DIR="$source_dir")
[[ -n $archive ]] && from=(-DCMAKE_PREFIX_PATH="$archive")
case $how in
  native | x86 | x64)
    cmake -S "$consumer" -B "$work" "${from[@]}" "${toolchain[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
          -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null
    cmake --build "$work" >/dev/null
    ;;
  pkg-config)
    # The shared library, found beside the program by its soname; the static one's flags link too.
    export PKG_CONFIG_PATH=$archive/lib/pkgconfig
    read -ra flags <<<"$(pkg-config --cflags --libs quillmoor-handover-checked)"
    cc -o "$work/static" "$consumer/app.c" "${flags[@]}"
    rm "$work/static"
    read -ra flags <<<"$(pkg-config --cflags --libs quillmoor-handover-shared)"
    cc -o "$work/app" "$consumer/app.c" "${flags[@]}" -Wl,-rpath,'$ORIGIN'
    cp "$archive/lib/libquillmoor-handover.so.1" "$archive/bin/quillmoor-updater" "$work/"
    ;;
  python | csharp)
    # The wrapper, the shared library as the application ships it (one file, by its plain name), and
    # the program as a file that starts: a script with its interpreter line and execute bit, or a
    # launcher for Mono's program.
    cp "$archive/handover/quillmoor_handover.py" "$archive/bin/quillmoor-updater" "$work/"
    cp -L "$archive/lib/libquillmoor-handover.so" "$work/"
    text="The new copy is not the file whose digest was promised."
    if [[ $how == python ]]; then
      export PYTHONDONTWRITEBYTECODE=1
      download=$'download-\xff' # a Linux name need not be UTF-8: the wrapper passes its bytes
      install -m 755 "$consumer/app.py" "$work/app"
    else
      rm "$work/quillmoor_handover.py"
      mcs -nologo -warnaserror -out:"$work/app.exe" "$consumer/App.cs" "$archive/handover/QuillmoorHandover.cs"
      printf '#!/bin/sh\nexec mono "$0.exe" "$@"\n' >"$work/app"
      chmod 755 "$work/app"
    fi
    ;;
  *) echo "consumer_build.sh: no such way in: $how" >&2; exit 2 ;;
esac

if [[ $how == native ]]; then
  # The real updater, copied beside the application.
  [[ -x "$work/app" && -x "$work/quillmoor-updater" ]]
  said=$(cd "$work" && ./quillmoor-updater missing~ 2>&1)
  [[ $said == "Quillmoor Updater: File missing~ does not exist." ]] || { echo "updater said: $said"; exit 1; }

  # None of ours: no tests registered, no test, example or packaging targets, no CPack files.
  ctest --test-dir "$work" -N | grep -q '^Total Tests: 0$'
  targets=$(cmake --build "$work" --target help)
  if grep -E 'core_test|e2e|qm-probe|example-tool|package' <<<"$targets"; then exit 1; fi
  [[ ! -e "$work/CPackConfig.cmake" ]]
  # Installed, the application's folder holds its program and the updater, and none of our files.
  cmake --install "$work" --prefix "$work/installed" >/dev/null
  [[ $(ls "$work/installed" | tr '\n' ' ') == "app quillmoor-updater " ]] || { ls -R "$work/installed"; exit 1; }
fi

# The download: the application with a line more, so that the restarted copy can be told apart
# (a comment, for a script), and the digest that its update server would promise.
cd "$work"
app=app$exe updater=quillmoor-updater$exe
{ cat "$app"; echo "# version 2"; } >"$download"
cp "$download" download.sent
digest=$(sha256sum "$download" | cut -c1-64)
: >run.out
# Wine's helper processes inherit its output and outlive the program: they get a file, not our pipe.
hand_over() { "${run[@]}" "./$app" "$download" "$1" >>run.out 2>&1; }

# Without the updater beside it, the call fails; with another file's digest, it is refused, with the
# library's own text where a wrapper gives one. Either way the folder stays as it was, and nothing
# starts.
before=$(ls)
mv "$updater" aside
if hand_over "$digest"; then echo "the hand-over succeeded without an updater"; exit 1; fi
mv aside "$updater"
if hand_over "$(echo other | sha256sum | cut -c1-64)"; then echo "another file's digest was taken"; exit 1; fi
grep -qF "hand-over failed: $((0x20000256))${text:+: $text}" run.out || { cat run.out; exit 1; }
[[ $(ls) == "$before" ]] || { echo "left behind:"; diff <(echo "$before") <(ls); exit 1; }
cmp "$download" download.sent

# The real thing: the updater replaces the application, which records its restart.
hand_over "$digest" || { cat run.out; exit 1; }
for ((tenths = 0; tenths < 200; tenths++)); do
  [[ -s "$app.log" ]] && break
  sleep 0.1
done
[[ -s "$app.log" ]] || { echo "no restart within 20 s"; cat run.out; exit 1; }
cmp "$app" download.sent
cmp "$download" download.sent
[[ ! -e "$app~" ]]
echo "consumer $how${archive:+ from $(basename "$archive")}: updated and restarted"
cd / && rm -rf "$work"
