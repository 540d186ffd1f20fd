#!/usr/bin/env bash
# Signs a Windows executable with Authenticode (SHA-256) using the PEM certificate and key named by
# QUILLMOOR_SIGN_CERT and QUILLMOOR_SIGN_KEY. The signing time is SOURCE_DATE_EPOCH (default: the
# commit's time), so the same RSA key and commit give the same bytes; ECDSA signatures differ on
# every run. Usage: bash scripts/sign-exe.sh IN.exe OUT.exe
set -euo pipefail
in=$1 out=$2
: "${QUILLMOOR_SIGN_CERT:?names the PEM certificate (chain) to sign with}"
: "${QUILLMOOR_SIGN_KEY:?names the PEM private key to sign with}"
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct)}
rm -f "$out"
osslsigncode sign -certs "$QUILLMOOR_SIGN_CERT" -key "$QUILLMOOR_SIGN_KEY" -h sha256 \
  -n "Quillmoor Updater" -time "$epoch" -in "$in" -out "$out" >/dev/null
