#!/usr/bin/env bash
# Runs the release command, signed with a throwaway certificate, and checks what it leaves: exactly
# the three archives and SHA256SUMS, which verify; each archive's entries, in order, with fixed modes,
# owner 0:0 without names and the commit's time; signed exes that unsign into the builds' bytes;
# a Linux program that is fully static and runs. Usage: release_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"
export LC_ALL=C TZ=UTC
bash "$source_dir/tests/test_certificate.sh" .
QUILLMOOR_SIGN_CERT=cert.pem QUILLMOOR_SIGN_KEY=key.pem bash "$source_dir/scripts/release.sh" "$work/dist" \
  >release.log 2>&1 || { cat release.log; exit 1; }

fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -nE 's/^project\(QuillmoorUpdater VERSION ([0-9.]+) .*/\1/p' "$source_dir/CMakeLists.txt")
epoch=$(git -C "$source_dir" log -1 --format=%ct)
stamp=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M')
linux=quillmoor-updater-$version-linux-x86_64
cd dist
[[ $(ls | tr '\n' ' ') == "SHA256SUMS $linux.tar.gz quillmoor-updater-$version-windows-x64.zip quillmoor-updater-$version-windows-x86.zip " ]] ||
  fail "dist holds: $(ls)"
sha256sum -c SHA256SUMS

# The tarball: mode, owner (names would show instead of 0/0), time and name of each entry, in order.
expected_tar="drwxr-xr-x 0/0 $stamp $linux/
-rw-r--r-- 0/0 $stamp $linux/LICENSE
-rw-r--r-- 0/0 $stamp $linux/README.md
drwxr-xr-x 0/0 $stamp $linux/docs/
-rw-r--r-- 0/0 $stamp $linux/docs/benchmarks.md
-rw-r--r-- 0/0 $stamp $linux/docs/building.md
-rw-r--r-- 0/0 $stamp $linux/docs/error-box.png
-rw-r--r-- 0/0 $stamp $linux/docs/integration.md
-rw-r--r-- 0/0 $stamp $linux/docs/releasing.md
-rw-r--r-- 0/0 $stamp $linux/docs/testing.md
drwxr-xr-x 0/0 $stamp $linux/handover/
-rw-r--r-- 0/0 $stamp $linux/handover/handover_posix.c
-rw-r--r-- 0/0 $stamp $linux/handover/handover_win32.c
drwxr-xr-x 0/0 $stamp $linux/include/
drwxr-xr-x 0/0 $stamp $linux/include/quillmoor/
-rw-r--r-- 0/0 $stamp $linux/include/quillmoor/handover.h
-rwxr-xr-x 0/0 $stamp $linux/quillmoor-updater"
listed=$(tar -tvf "$linux.tar.gz" | awk '{ print $1, $2, $4, $5, $6 }')
[[ $listed == "$expected_tar" ]] || fail "tarball entries:"$'\n'"$listed"

for arch in x86 x64; do
  windows=quillmoor-updater-$version-windows-$arch
  # The zip: the same documents and library sources, and the exe; every entry's extended time is the
  # commit's to the second. Its entries come in the order of the staging folder's listing, which the
  # file system decides, so they are compared by name.
  expected_zip="-rw-r--r-- $windows/LICENSE
-rw-r--r-- $windows/README.md
drwxr-xr-x $windows/docs/
-rw-r--r-- $windows/docs/benchmarks.md
-rw-r--r-- $windows/docs/building.md
-rw-r--r-- $windows/docs/error-box.png
-rw-r--r-- $windows/docs/integration.md
-rw-r--r-- $windows/docs/releasing.md
-rw-r--r-- $windows/docs/testing.md
drwxr-xr-x $windows/handover/
-rw-r--r-- $windows/handover/handover_posix.c
-rw-r--r-- $windows/handover/handover_win32.c
drwxr-xr-x $windows/include/
drwxr-xr-x $windows/include/quillmoor/
-rw-r--r-- $windows/include/quillmoor/handover.h
-rwxr-xr-x $windows/quillmoor-updater.exe"
  listed=$(zipinfo "$windows.zip" | awk '$1 ~ /^[-d][-r]/ { print $1, $9 }' | sort -k2)
  [[ $listed == "$expected_zip" ]] || fail "zip entries:"$'\n'"$listed"
  times=$(zipinfo -v "$windows.zip" | sed -n 's/.*(UT extra field modtime): *\(.*\) UTC$/\1/p' | sort -u)
  [[ $times == "$(date -u -d "@$epoch" '+%Y %b %-d %H:%M:%S')" ]] || fail "zip times: $times"
  # Zip entries carry no owner names, only ids in the Unix extra field: version 1, uid 0, gid 0.
  ids=$(zipinfo -v "$windows.zip" | grep -A1 'Unix UID/GID' | grep -v -e 'UID/GID' -e '^--$' | tr -d ' ' | sort -u)
  [[ $ids == "0104000000000400000000." ]] || fail "zip owner ids: $ids"
done

mkdir ../unpacked
tar -xzf "$linux.tar.gz" -C ../unpacked
for zip in *.zip; do unzip -q "$zip" -d ../unpacked; done
cd ../unpacked

# Signed inside each archive, and nothing but the signature added to the build's exe.
for arch in x86 x64; do
  exe=quillmoor-updater-$version-windows-$arch/quillmoor-updater.exe
  osslsigncode verify -in "$exe" -CAfile ../cert.pem >/dev/null
  rm -f unsigned.exe
  osslsigncode remove-signature -in "$exe" -out unsigned.exe >/dev/null
  cmp unsigned.exe "$source_dir/build/release-windows-$arch/quillmoor-updater.exe"
done

# Fully static, and it runs.
program="$linux/quillmoor-updater"
file "$program" | grep -q 'statically linked' || fail "$(file "$program")"
! ldd "$program" >/dev/null 2>&1 || fail "ldd finds libraries: $(ldd "$program")"
said=$("$program" missing~ 2>&1) || fail "exit status $?"
[[ $said == "Quillmoor Updater: File missing~ does not exist." ]] || fail "it said: $said"
echo "release ok: $(cat ../dist/SHA256SUMS | tr '\n' ' ')"
