#!/usr/bin/env bash
# Makes a folder holding the updater signed as a release signs it, with a throwaway RSA certificate
# made here, and the Windows-hosted suite beside it.
# Usage: signed_folder.sh SIGN_SCRIPT UPDATER_EXE SUITE_EXE FOLDER
set -euo pipefail
sign_script=$1 updater=$2 suite=$3 folder=$4
rm -rf "$folder"
mkdir -p "$folder/certificate"
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Quillmoor Updater test" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$folder/certificate/key.pem" -out "$folder/certificate/cert.pem" 2>/dev/null
QUILLMOOR_SIGN_CERT="$folder/certificate/cert.pem" QUILLMOOR_SIGN_KEY="$folder/certificate/key.pem" \
  bash "$sign_script" "$updater" "$folder/quillmoor-updater.exe"
osslsigncode verify -in "$folder/quillmoor-updater.exe" -CAfile "$folder/certificate/cert.pem" >/dev/null
cp "$suite" "$folder/"
