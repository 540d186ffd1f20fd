#!/usr/bin/env bash
# Runs the release command, signed with a throwaway certificate, and checks what it leaves: exactly
# the three archives and SHA256SUMS, which verify; each archive's entries, in order, with fixed modes,
# owner 0:0 without names and the commit's time; signed exes and DLLs that unsign into the builds'
# bytes, the DLLs importing only system DLLs; an import library that MSVC links; a shared library
# with its soname and the calls; a Linux program that is fully static and runs; documents whose links
# resolve inside each archive. It leaves the archives unpacked in WORK_DIR/unpacked, for the tests
# that use them as an application would. Usage: release_test.sh SOURCE_DIR WORK_DIR
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

# What every archive holds beside its programs and libraries, by name: the install tree's header and
# CMake package, the documents, and the library's sources and wrappers.
entries() {
  {
    printf 'drwxr-xr-x %s\n' bin/ docs/ handover/ include/ include/quillmoor/ lib/ lib/cmake/ lib/cmake/Quillmoor/
    printf -- '-rw-r--r-- %s\n' LICENSE README.md include/quillmoor/handover.h docs/error-box.png \
      $(cd "$source_dir" && ls docs/*.md) handover/{check.h,checked.c,crypto_posix.c,crypto_win32.c,handover_posix.c} \
      handover/{handover_win32.c,publisher_win32.c,quillmoor-handover.def,quillmoor-handover.map} \
      handover/{QuillmoorHandover.cs,quillmoor_handover.py} \
      lib/cmake/Quillmoor/Quillmoor{Config,ConfigVersion,Targets,CheckedTargets}.cmake \
      lib/cmake/Quillmoor/Quillmoor{,Checked}Targets-"$1".cmake lib/libquillmoor_handover{,_checked}.a
    shift
    printf '%s\n' "$@"
  } | sort -k2
}

# The tarball: mode, owner (names would show instead of 0/0), time and name of each entry, in order.
expected_tar=$(echo "drwxr-xr-x 0/0 $stamp $linux/"
               entries release '-rwxr-xr-x bin/quillmoor-updater' 'drwxr-xr-x lib/pkgconfig/' \
                 '-rw-r--r-- lib/pkgconfig/quillmoor-handover.pc' '-rw-r--r-- lib/pkgconfig/quillmoor-handover-checked.pc' \
                 '-rw-r--r-- lib/pkgconfig/quillmoor-handover-shared.pc' '-rw-r--r-- lib/libquillmoor-handover.so.1.0.0' \
                 'lrwxrwxrwx lib/libquillmoor-handover.so' 'lrwxrwxrwx lib/libquillmoor-handover.so.1' |
                 awk -v s="0/0 $stamp $linux/" '{ print $1, s $2 }')
listed=$(tar -tvf "$linux.tar.gz" | awk '{ print $1, $2, $4, $5, $6 }')
[[ $listed == "$expected_tar" ]] || fail "tarball entries:"$'\n'"$listed"

for arch in x86 x64; do
  windows=quillmoor-updater-$version-windows-$arch
  # The zip: the same, with the exe and the hand-over DLL; every entry's extended time is the
  # commit's to the second. Its entries come in the order of the staging folder's listing, which the
  # file system decides, so they are compared by name.
  expected_zip=$(entries minsizerel '-rwxr-xr-x bin/quillmoor-updater.exe' '-rwxr-xr-x bin/quillmoor-handover.dll' \
                   '-rw-r--r-- lib/libquillmoor-handover.dll.a' '-rw-r--r-- lib/quillmoor-handover.lib' |
                 awk -v p="$windows/" '{ print $1, p $2 }')
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

# Signed inside each archive, and nothing but the signature added to the build's bytes. The DLL
# exports the four calls and imports nothing but system DLLs.
for arch in x86 x64; do
  for file in quillmoor-updater.exe quillmoor-handover.dll; do
    signed=quillmoor-updater-$version-windows-$arch/bin/$file
    osslsigncode verify -in "$signed" -CAfile ../cert.pem >/dev/null
    rm -f unsigned
    osslsigncode remove-signature -in "$signed" -out unsigned >/dev/null
    cmp unsigned "$source_dir/build/release-windows-$arch/$file"
  done
  linked=$(objdump -p "$signed" | awk '/DLL Name/ { print $3 } /\] quillmoor_/ { print $NF }' | tr '\n' ' ')
  [[ $linked == "bcrypt.dll CRYPT32.dll KERNEL32.dll msvcrt.dll USER32.dll WINTRUST.dll quillmoor_hand_over quillmoor_hand_over_checked quillmoor_hand_over_file quillmoor_hand_over_file_checked quillmoor_hand_over_file_same_publisher quillmoor_hand_over_file_signed quillmoor_hand_over_same_publisher quillmoor_hand_over_signed " ]] ||
    fail "$arch DLL imports and exports: $linked"
done

# MSVC links the DLL through the import library made for it: a caller compiled as MSVC compiles one
# (clang in cl mode), with C's convention by default and with stdcall (/Gz), links on x86 with
# /SAFESEH as Visual Studio does, and imports each call by the very name the DLL exports.
for arch in x86 x64; do
  tree=quillmoor-updater-$version-windows-$arch target=i686 safeseh=/safeseh
  [[ $arch == x64 ]] && target=x86_64 safeseh=
  exported=$(llvm-objdump -p "$tree/bin/quillmoor-handover.dll" |
             awk '/DLL name:/ { dll = $3 } /^ +[0-9]+ +0x[0-9a-f]+ +quillmoor_/ { print dll, $3 }' | sort)
  for convention in /Gd /Gz; do
    clang --driver-mode=cl --target=$target-pc-windows-msvc /c /X /W4 /WX $convention /I"$tree/include" \
      /Focaller.obj -- "$source_dir/tests/consumer/msvc_caller.c"
    lld-link /nologo /entry:start /subsystem:console /nodefaultlib $safeseh caller.obj "$tree/lib/quillmoor-handover.lib" \
      /out:caller.exe || fail "$arch $convention: no link"
    imported=$(llvm-objdump -p caller.exe | awk '/DLL Name:/ { dll = $3 } NF == 2 && $1 ~ /^[0-9]+$/ { print dll, $2 }' | sort)
    [[ $(wc -l <<<"$imported") == 8 && $imported == "$exported" ]] ||
      fail "$arch $convention imports:"$'\n'"$imported"$'\n'"the DLL exports:"$'\n'"$exported"
  done
  rm caller.obj caller.exe
done

# The shared library: its soname, the calls and nothing else, and only the C library and libcrypto.
library=$linux/lib/libquillmoor-handover.so
[[ $(readlink "$library") == libquillmoor-handover.so.1 && $(readlink "$library.1") == libquillmoor-handover.so.1.0.0 ]] ||
  fail "links: $(ls -l "$library"*)"
dynamic=$(readelf -d "$library.1.0.0" | sed -nE 's/.*\((SONAME|NEEDED)\).*\[(.*)\]/\1 \2/p' | sort | tr '\n' ' ')
[[ $dynamic == "NEEDED libc.so.6 NEEDED libcrypto.so.3 SONAME libquillmoor-handover.so.1 " ]] || fail "$dynamic"
exported=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sort | tr '\n' ' ')
[[ $exported == "$(awk '$1 ~ /^quillmoor_/ { print $1 }' "$source_dir/handover/quillmoor-handover.def" | sort | tr '\n' ' ')" ]] ||
  fail "the shared library exports: $exported"

# Every relative link in each archive's documents reaches a file and heading of that archive.
for tree in */; do
  bash "$source_dir/tests/doc_links.sh" "$tree" || fail "links in $tree"
done

# Fully static, and it runs.
program="$linux/bin/quillmoor-updater"
file "$program" | grep -q 'statically linked' || fail "$(file "$program")"
! ldd "$program" >/dev/null 2>&1 || fail "ldd finds libraries: $(ldd "$program")"
said=$("$program" missing~ 2>&1) || fail "exit status $?"
[[ $said == "Quillmoor Updater: File missing~ does not exist." ]] || fail "it said: $said"
echo "release ok: $(cat ../dist/SHA256SUMS | tr '\n' ' ')"
