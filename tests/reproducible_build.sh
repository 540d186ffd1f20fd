#!/usr/bin/env bash
# Two clean builds of each Windows executable, in different folders, must give the same bytes.
set -euo pipefail
source_dir="$1" work="$2"
rm -rf "$work"
for toolchain in mingw-w64-i686 mingw-w64-x86_64; do
  for build in one two; do
    cmake -S "$source_dir" -B "$work/$toolchain-$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/$toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$work/$toolchain-$build" --target quillmoor-updater >/dev/null
  done
  cmp "$work/$toolchain-one/quillmoor-updater.exe" "$work/$toolchain-two/quillmoor-updater.exe"
  echo "$toolchain identical: $(sha256sum < "$work/$toolchain-one/quillmoor-updater.exe")"
done
rm -rf "$work"
