#!/usr/bin/env bash
# Wine for one kind of Windows program. Some x86-64 machines run no 32-bit code at all, Wine's 32-bit
# loader included; Debian's `wine` still picks that loader there, so 64-bit programs go straight to
# the 64-bit one.
#   wine.sh runs ARCH                 exit status 0 when this machine runs ARCH (x86 or x64) programs
#   wine.sh ARCH PROGRAM [ARG...]     runs PROGRAM (a Windows program, or a Wine tool such as
#                                     wineboot) for ARCH
set -euo pipefail
loader() {
  case "$1" in
    x86) echo /usr/lib/wine/wine ;;
    x64) echo /usr/lib/wine/wine64 ;;
    *) echo "wine.sh: no such architecture: $1 (x86 or x64)" >&2; return 2 ;;
  esac
}
if [[ ${1:-} == runs ]]; then
  program=$(loader "${2:-}") || exit 2
  "$program" --version >/dev/null 2>&1
  exit
fi
arch=${1:?usage: wine.sh runs ARCH, or wine.sh ARCH PROGRAM [ARG...]}
shift
if [[ $arch == x86 ]]; then
  # A prefix that this makes is 32-bit only, as where the 64-bit loader is not installed: the
  # 32-bit road stays the one it has always been, whatever else is on the machine.
  export WINEARCH=win32
  exec wine "$@"  # Debian's script: it sets up what the 32-bit loader needs
fi
export WINELOADER
WINELOADER=$(loader "$arch")
exec "$WINELOADER" "$@"
