#!/usr/bin/env bash
# Makes a throwaway self-signed RSA code-signing certificate for the signing tests: FOLDER/cert.pem
# and FOLDER/key.pem. RSA, because its signatures are the same bytes every time.
# Usage: test_certificate.sh FOLDER
set -euo pipefail
mkdir -p "$1"
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Quillmoor Updater test" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null
