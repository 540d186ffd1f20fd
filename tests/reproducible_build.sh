#!/usr/bin/env bash
# Two clean builds of the Windows executable, in different folders, must give the same bytes.
set -euo pipefail
source_dir="$1" work="$2"
rm -rf "$work"
for build in one two; do
  cmake -S "$source_dir" -B "$work/$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/$build" --target quillmoor-updater >/dev/null
done
cmp "$work/one/quillmoor-updater.exe" "$work/two/quillmoor-updater.exe"
echo "identical: $(sha256sum < "$work/one/quillmoor-updater.exe")"
rm -rf "$work"
