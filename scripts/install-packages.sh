#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (as root); a name ending in :i386
# turns on the 32-bit architecture first. Usage: bash scripts/install-packages.sh PACKAGE...
set -euo pipefail
missing=()
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
((${#missing[@]})) || exit 0
[[ " ${missing[*]} " == *":i386 "* ]] && dpkg --add-architecture i386
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
