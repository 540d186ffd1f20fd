#!/usr/bin/env bash
# Bumping the version in CMakeLists.txt alone must change what the Windows executable reports:
# builds a copy of the sources with another version and reads it back out of the exe.
# Usage: version_bump.sh SOURCE_DIR WORK_DIR WINDOWS_BINARY_TEST
set -euo pipefail
source_dir=$1 work=$2 reader=$3
rm -rf "$work"
mkdir -p "$work/src"
tar -C "$source_dir" --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$work/src" -xf -
sed -i -E 's/^(project\(QuillmoorUpdater VERSION )[0-9.]+/\19.8.7/' "$work/src/CMakeLists.txt"
grep -q '^project(QuillmoorUpdater VERSION 9.8.7 ' "$work/src/CMakeLists.txt"
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/mingw-w64-i686.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" --target quillmoor-updater >/dev/null
QM_VERSION_EXE="$work/build/quillmoor-updater.exe" QM_VERSION_EXPECTED=9.8.7 \
  "$reader" --gtest_filter='WindowsExecutable.ReportsTheProjectVersion*'
rm -rf "$work"
