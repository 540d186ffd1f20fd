#!/usr/bin/env bash
# Makes a folder holding the updater signed as a release signs it, with a throwaway RSA certificate
# made here, and the Windows-hosted suite beside it.
# Usage: signed_folder.sh SIGN_SCRIPT UPDATER_EXE SUITE_EXE FOLDER
set -euo pipefail
sign_script=$1 updater=$2 suite=$3 folder=$4
rm -rf "$folder"
bash "$(dirname "$0")/test_certificate.sh" "$folder/certificate"
QUILLMOOR_SIGN_CERT="$folder/certificate/cert.pem" QUILLMOOR_SIGN_KEY="$folder/certificate/key.pem" \
  bash "$sign_script" "$updater" "$folder/quillmoor-updater.exe"
osslsigncode verify -in "$folder/quillmoor-updater.exe" -CAfile "$folder/certificate/cert.pem" >/dev/null
cp "$suite" "$folder/"
