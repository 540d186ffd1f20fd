#!/usr/bin/env bash
# Builds the release from this checkout: for 32-bit Windows, 64-bit Windows and Linux, the install tree
# (the updater, fully static on Linux; the hand-over library's header, static and shared libraries,
# CMake package and, on Linux, pkg-config files; on Windows an import library for MSVC too), packed by
# CPack with the licence, the documents and the library's sources and wrappers, plus SHA256SUMS, into
# dist/ (or the folder given) and nothing else there. Reproducible: every time stamp is the commit's.
# With QUILLMOOR_SIGN_CERT and QUILLMOOR_SIGN_KEY (PEM files) the executables and DLLs are signed before
# packing.
# Usage: bash scripts/release.sh [OUTPUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Paths given are taken from where the command was run.
out=$(realpath -m "${1:-$root/dist}")

# llvm: its dlltool makes the import library that MSVC links.
packages=(cmake make g++ libssl-dev g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64-win32
          binutils-mingw-w64-x86-64 llvm git)
signing=false
if [[ -n ${QUILLMOOR_SIGN_CERT:-} || -n ${QUILLMOOR_SIGN_KEY:-} ]]; then
  : "${QUILLMOOR_SIGN_CERT:?and QUILLMOOR_SIGN_KEY must both be set to sign}"
  : "${QUILLMOOR_SIGN_KEY:?and QUILLMOOR_SIGN_CERT must both be set to sign}"
  signing=true
  packages+=(osslsigncode)
  # CPack runs the signing from its own folder.
  QUILLMOOR_SIGN_CERT=$(realpath "$QUILLMOOR_SIGN_CERT") QUILLMOOR_SIGN_KEY=$(realpath "$QUILLMOOR_SIGN_KEY")
  export QUILLMOOR_SIGN_CERT QUILLMOOR_SIGN_KEY
else
  unset QUILLMOOR_SIGN_CERT QUILLMOOR_SIGN_KEY
fi
cd "$root"
bash scripts/install-packages.sh "${packages[@]}" >&2

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH LC_ALL=C TZ=UTC
umask 022
[[ -z $(git status --porcelain --untracked-files=no) ]] ||
  echo "warning: the checkout has uncommitted changes; the release will not match its commit" >&2

# Builds one platform in build/release-NAME and packs it; prints the archive's path.
package() {
  local name=$1 build="$root/build/release-$1"
  shift
  rm -rf "$build"
  # lib/ on every distribution, as the documents say.
  cmake -S "$root" -B "$build" -DBUILD_TESTING=OFF -DCMAKE_INSTALL_LIBDIR=lib "$@" >&2
  cmake --build "$build" -j2 >&2
  (cd "$build" && cpack >&2)
  ls "$build"/quillmoor-updater-*-"$name".*
}

windows=$(package windows-x86 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
                              -DCMAKE_BUILD_TYPE=MinSizeRel)
windows64=$(package windows-x64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
                                -DCMAKE_BUILD_TYPE=MinSizeRel)
linux=$(package linux-x86_64 -DCMAKE_BUILD_TYPE=Release -DQUILLMOOR_STATIC=ON)

mkdir -p "$out"
# Only what an earlier release put there goes: the folder may be one the user keeps other files in.
rm -f "$out"/quillmoor-updater-*-windows-x86.zip "$out"/quillmoor-updater-*-windows-x64.zip \
      "$out"/quillmoor-updater-*-linux-*.tar.gz "$out/SHA256SUMS"
cp "$windows" "$windows64" "$linux" "$out/"
(cd "$out" && sha256sum -- *.zip *.tar.gz >SHA256SUMS)
$signing && echo "Signed with $(osslsigncode --version 2>&1 | head -1 | cut -d, -f1)."
echo "Release of commit $(git rev-parse --short HEAD) (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH) in $out:"
(cd "$out" && cat SHA256SUMS)
