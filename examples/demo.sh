#!/usr/bin/env bash
# Walks the road of a self-update end to end: version 1 of the example application finds version 2
# downloaded beside it with its publisher's signature, writes it as Tool~ once that signature verifies
# with the public key that version 1 holds, starts the updater and exits; the updater renames Tool~
# over Tool and starts it. The key pair is made by the example's build (openssl) and never kept in
# the repository. Natively with the native updater, and under Wine with the Windows one: the 32-bit
# one where this machine runs 32-bit programs, else its 64-bit twin.
#
# Usage: bash examples/demo.sh [native|windows|all]        (default: all)
# Needs the updater built first (cmake --preset native / windows-x86 / windows-x64 and cmake
# --build); the example application is built here if the main build did not build it.
# QM_NATIVE_UPDATER and QM_WINDOWS_UPDATER point at another updater binary; QM_WINDOWS_ARCH (x86 or
# x64) chooses the Windows one's architecture.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-all}
case "$mode" in native | windows | all) ;; *)
  echo "usage: bash examples/demo.sh [native|windows|all]" >&2
  exit 2
  ;;
esac

# The updater tries at 0, 2, 4, 6 and 8 s, and once more when version 1 exits; version 2 gets two
# more seconds to start.
restart_deadline_s=12

install_missing() {
  bash "$root/scripts/install-packages.sh" "$@"
}

# Prints the folder that holds v1/ and v2/ of the example for a platform: the main build's when it
# built them, else a build of the examples folder on its own (with the toolchain file given).
example_build() {
  local preset=$1 exe=$2 toolchain=${3:-}
  if [[ -x "$root/build/$preset/examples/v1/$exe" && -x "$root/build/$preset/examples/v2/$exe" ]]; then
    echo "$root/build/$preset/examples"
    return
  fi
  local dir="$root/build/examples/$preset" options=(-DCMAKE_BUILD_TYPE=Release)
  [[ -n $toolchain ]] && options+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake")
  [[ -f "$dir/CMakeCache.txt" ]] || cmake -S "$root/examples" -B "$dir" "${options[@]}" >/dev/null
  cmake --build "$dir" >/dev/null
  echo "$dir"
}

# The time stamp of the first log line that matches, in seconds.
stamp_of() { awk -v pattern="$2" '$0 ~ pattern { print $1; exit }' "$1"; }

# The publisher's signature of a release, as its pipeline makes it: the base64 of the DER signature
# over the file's SHA-256 digest, by the private key that the example's build made.
sign() {
  openssl dgst -sha256 -sign "$1/release-signing-key.pem" "$2" | openssl base64 -A
}

# Waits until version 2 has recorded its start, or the deadline has passed.
wait_for_version_2() {
  local log=$1 waited=0
  until grep -q ' version 2 pid [0-9]* started' "$log" 2>/dev/null; do
    ((waited++ < restart_deadline_s * 10)) || return 1
    sleep 0.1
  done
}

# Reads the log of one run and says what happened.
report() {
  local folder=$1 tool=$2 before=$3 now=$4 log=$1/update-demo.log
  echo "Before: $before was on disk and ran."
  local handed exited restarted
  handed=$(stamp_of "$log" ' version 1 pid [0-9]* handed ')
  exited=$(stamp_of "$log" ' version 1 pid [0-9]* exiting')
  echo "Version 1 verified its download's signature with the public key it holds (ECDSA P-256) as it" \
    "wrote it as ${tool}~, started the updater, and exited" \
    "$(awk -v a="$handed" -v b="$exited" 'BEGIN { printf "%.2f", b - a }') s later."
  restarted=$(stamp_of "$log" ' version 2 pid [0-9]* started')
  # What the user feels: how long no version of the application ran.
  awk -v h="$handed" -v e="$exited" -v r="$restarted" 'BEGIN {
    if (r >= e) printf "Version 2 started %.3f s after version 1 exited (%.3f s after the hand-over).\n", r - e, r - h
    else printf "Version 2 started %.3f s after the hand-over, while version 1 still ran (this system lets a" \
      " running program be replaced).\n", r - h }'
  echo "Now: $now is on disk and was started by the updater;" \
    "${tool}~ $([[ -e "$folder/${tool}~" ]] && echo "is still there" || echo "is gone")."
}

demo_native() {
  install_missing cmake make g++ libssl-dev openssl
  local updater=${QM_NATIVE_UPDATER:-$root/build/native/quillmoor-updater}
  [[ -x "$updater" ]] || {
    echo "No native updater at $updater: run cmake --preset native && cmake --build --preset native" >&2
    return 1
  }
  local build folder="$root/build/examples/demo-native"
  build=$(example_build native Tool)
  rm -rf "$folder" && mkdir -p "$folder"
  cp "$build/v1/Tool" "$folder/Tool"
  cp "$build/v2/Tool" "$folder/Tool.download"
  sign "$build" "$build/v2/Tool" >"$folder/Tool.download.sig"
  cp "$updater" "$folder/quillmoor-updater"

  echo "== Native: $folder"
  local before now
  before=$(cd "$folder" && ./Tool --version)
  (cd "$folder" && ./Tool)
  wait_for_version_2 "$folder/update-demo.log" || {
    echo "Version 2 did not start within $restart_deadline_s s; see $folder/update-demo.log" >&2
    return 1
  }
  now=$(cd "$folder" && ./Tool --version)
  report "$folder" Tool "$before" "$now"
}

demo_windows() {
  install_missing cmake make openssl wine wine64 wine32:i386
  local arch=${QM_WINDOWS_ARCH:-} why="chosen by QM_WINDOWS_ARCH"
  if [[ -z $arch ]]; then
    if bash "$root/scripts/wine.sh" runs x86; then
      arch=x86 why="the shipped 32-bit build"
    else
      arch=x64 why="this machine runs no 32-bit programs, so the 64-bit twin"
    fi
  fi
  local toolchain=mingw-w64-i686 packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686)
  if [[ $arch == x64 ]]; then
    toolchain=mingw-w64-x86_64 packages=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
  fi
  install_missing "${packages[@]}"
  local updater=${QM_WINDOWS_UPDATER:-$root/build/windows-$arch/quillmoor-updater.exe}
  [[ -f "$updater" ]] || {
    echo "No Windows updater at $updater: run cmake --preset windows-$arch && cmake --build --preset windows-$arch" >&2
    return 1
  }
  local build folder="$root/build/examples/demo-windows-$arch"
  build=$(example_build "windows-$arch" Tool.exe "$toolchain")
  wine() { bash "$root/scripts/wine.sh" "$arch" "$@"; }
  rm -rf "$folder" && mkdir -p "$folder"
  cp "$build/v1/Tool.exe" "$folder/Tool.exe"
  cp "$build/v2/Tool.exe" "$folder/Tool.exe.download"
  sign "$build" "$build/v2/Tool.exe" >"$folder/Tool.exe.download.sig"
  cp "$updater" "$folder/quillmoor-updater.exe"

  # A Wine prefix of the demo's own, set up once, with no prompts for add-ons.
  export WINEPREFIX="$root/build/examples/wine-prefix-$arch" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  [[ -f "$WINEPREFIX/system.reg" ]] || wine wineboot --init >/dev/null 2>&1

  echo "== Windows ($arch: $why) under Wine: $folder"
  local before now
  before=$(cd "$folder" && wine Tool.exe --version | tr -d '\r')
  (cd "$folder" && wine Tool.exe)
  if ! wait_for_version_2 "$folder/update-demo.log"; then
    echo "Version 2 did not start within $restart_deadline_s s; the updater may be showing its error box." >&2
    echo "See $folder/update-demo.log" >&2
    wineserver -k
    return 1
  fi
  now=$(cd "$folder" && wine Tool.exe --version | tr -d '\r')
  report "$folder" Tool.exe "$before" "$now"
  wineserver -w # the updater lingers 3 s after the restart; the server ends soon after
}

status=0
[[ $mode == windows ]] || demo_native || status=1
[[ $mode == native ]] || demo_windows || status=1
exit $status
