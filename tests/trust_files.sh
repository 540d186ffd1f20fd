#!/usr/bin/env bash
# Makes, new on every run, what the Windows suite's signed and same-publisher hand-overs are tried with:
# keys and signatures of the bytes "new", a test root, and copies of a small executable signed under it.
# Usage: trust_files.sh EXE FOLDER
set -euo pipefail
exe=$(realpath "$1") here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$2" && mkdir -p "$2" && cd "$2"
cp "$here"/p256-short-s.* . # a known answer: s below 2^248, which DER writes in 31 bytes
for key in p256:EC:ec_paramgen_curve:P-256 outsider:EC:ec_paramgen_curve:P-256 p384:EC:ec_paramgen_curve:P-384 \
  rsa2048:RSA:rsa_keygen_bits:2048 rsa1024:RSA:rsa_keygen_bits:1024 ed25519:ED25519; do
  IFS=: read -r name algorithm option <<<"$key"
  openssl genpkey -algorithm "$algorithm" ${option:+-pkeyopt "$option"} -out "$name.key" 2>/dev/null
  openssl pkey -in "$name.key" -pubout -out "$name.pub"
done
printf new >new && printf old >old && printf nev >changed
sign() { openssl dgst -sha256 -sign "$1.key" "$2" | base64 -w0; }
sign p256 new >p256.sig && sign rsa2048 new >rsa2048.sig && sign outsider new >outsider.sig
sign p256 old >p256-of-old.sig
{ openssl dgst -sha256 -sign p256.key new && printf '\0'; } | base64 -w0 >p256-trailing.sig # a byte after the DER

# Roots with names of this run's own: Wine keeps a root it was told to remove, and finds issuers by name.
for root in root untrusted; do
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quillmoor test $root $(openssl rand -hex 6)" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign -keyout $root.key -out $root.pem \
    2>/dev/null
done
openssl x509 -in root.pem -outform DER -out root.der
# NAME ISSUER ORGANIZATION [osslsigncode options]: a code-signing certificate, and EXE signed by it.
signed() {
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=Quillmoor Test Publisher/O=$3" -keyout "$1.key" 2>/dev/null |
    openssl x509 -req -CA "$2.pem" -CAkey "$2.key" -set_serial "0x$(openssl rand -hex 8)" -days 2 \
      -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n') 2>/dev/null |
    cat - "$2.pem" >"$1.pem"
  osslsigncode sign -certs "$1.pem" -key "$1.key" -h sha256 -in "$exe" -out "$1.exe" "${@:4}" >/dev/null
}
signed same root "Acme SARL" && signed renewed root "Acme SARL" && signed stranger untrusted "Acme SARL"
signed other root "Acme SARL." -ac same.pem
# The roots sign nothing more, so trusting this run's root reaches no other file.
rm root.key untrusted.key
cp same.exe running.exe && cp "$exe" unsigned.exe && cp same.exe altered.exe
printf "\\$(printf %03o $(($(od -An -tu1 -j1024 -N1 same.exe) ^ 1)))" | dd of=altered.exe bs=1 seek=1024 conv=notrunc \
  status=none
