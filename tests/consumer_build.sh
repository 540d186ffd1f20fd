#!/usr/bin/env bash
# Configures and builds tests/consumer, an application that takes the updater and the hand-over
# library in with add_subdirectory, without GoogleTest: it must get the program beside its own, and
# nothing else of ours (no tests, no examples, no packaging or install rules). Then the application
# updates itself with one checked call (on Windows through the library's DLL): natively, or built for
# Windows (x86 or x64) and run under Wine in the WINEPREFIX of the environment.
# Usage: consumer_build.sh SOURCE_DIR WORK_DIR [x86|x64]
set -euo pipefail
source_dir=$1 work=$2 arch=${3:-}
exe='' run=() toolchain=()
case $arch in
  x86) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-i686.cmake") ;;
  x64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake") ;;
esac
if [[ -n $arch ]]; then
  exe=.exe run=(bash "$source_dir/scripts/wine.sh" "$arch")
  # The display of the prefix's own (tests/wine_prefix.sh), for the updater's box should it fail.
  [[ -s "${WINEPREFIX:?}.display" ]] && export DISPLAY=":$(cat "$WINEPREFIX.display")"
fi
rm -rf "$work"
cmake -S "$source_dir/tests/consumer" -B "$work" -DQUILLMOOR_SOURCE_DIR="$source_dir" "${toolchain[@]}" \
      -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null
cmake --build "$work" >/dev/null

if [[ -z $arch ]]; then
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

# The download: the application with a few bytes more, so that the restarted copy can be told
# apart, and the digest that its update server would promise.
cd "$work"
app=app$exe updater=quillmoor-updater$exe
{ cat "$app"; echo "version 2"; } >download
cp download download.sent
digest=$(sha256sum download | cut -c1-64)
: >run.out
# Wine's helper processes inherit its output and outlive the program: they get a file, not our pipe.
hand_over() { "${run[@]}" "./$app" download "$1" >>run.out 2>&1; }

# Without the updater beside it, the call fails; with another file's digest, it is refused. Either
# way the folder stays as it was, and nothing starts.
before=$(ls)
mv "$updater" aside
if hand_over "$digest"; then echo "the hand-over succeeded without an updater"; exit 1; fi
mv aside "$updater"
if hand_over "$(echo other | sha256sum | cut -c1-64)"; then echo "another file's digest was taken"; exit 1; fi
grep -q "hand-over failed: $((0x20000256))" run.out || { cat run.out; exit 1; }
[[ $(ls) == "$before" ]] || { echo "left behind:"; diff <(echo "$before") <(ls); exit 1; }
cmp download download.sent

# The real thing: the updater replaces the application, which records its restart.
hand_over "$digest" || { cat run.out; exit 1; }
for ((tenths = 0; tenths < 200; tenths++)); do
  [[ -s "$app.log" ]] && break
  sleep 0.1
done
[[ -s "$app.log" ]] || { echo "no restart within 20 s"; cat run.out; exit 1; }
cmp "$app" download.sent
cmp download download.sent
[[ ! -e "$app~" ]]
echo "consumer ${arch:-native}: updated and restarted"
cd / && rm -rf "$work"
