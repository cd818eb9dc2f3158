#!/bin/sh
# The .exe files signed from Linux with tools/sign-windows/sign-windows-exe
# and a throwaway test certificate: the signature names the maker and
# verifies against the test chain, a changed byte breaks it, and a chain the
# signature does not verify against leaves the file as it was.
#
#   code_signing_test.sh <file.exe> <sign-windows-exe>
set -eu
exe=$1
tool=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/gl-signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$work"
# A root of our own and a code-signing certificate it issued.
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
  -subj "/CN=Keltora Test Root" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/O=Keltora/CN=Keltora Test Signing" 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' > ext.cnf
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext.cnf -out signer.pem 2>/dev/null
printf 'test-password' > pass
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:pass -out signer.p12
# Another root, which issued nothing here.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj "/CN=Other Root" 2>/dev/null

cp "$exe" program.exe
cp "$exe" unsigned.exe
osslsigncode verify -CAfile ca.pem -in program.exe >/dev/null 2>&1 && fail "the unsigned file verifies"

# A chain the signature cannot verify against: refused, the file untouched.
if "$tool" --pkcs12 signer.p12 --pass-file pass --ca other.pem program.exe 2>err; then fail "signed against the wrong chain"; fi
cmp -s program.exe unsigned.exe || fail "a refused signing changed the file"
[ ! -e program.exe.signing ] || fail "a refused signing left its temporary file"

"$tool" --pkcs12 signer.p12 --pass-file pass --ca ca.pem program.exe >out || fail "signing failed: $(cat out)"
grep -q "^signed program.exe$" out || fail "no report of the signing: $(cat out)"
verified=$(osslsigncode verify -CAfile ca.pem -in program.exe 2>&1) || fail "the signature does not verify: $verified"
echo "$verified" | grep -q "Signature verification: ok" || fail "no verified signature: $verified"
echo "$verified" | grep -q "CN=Keltora Test Signing" || fail "the signer is not named: $verified"

# One changed byte of the program breaks the signature.
cp program.exe tampered.exe
size=$(stat -c %s tampered.exe)
printf 'X' | dd of=tampered.exe bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
osslsigncode verify -CAfile ca.pem -in tampered.exe >/dev/null 2>&1 && fail "a changed file still verifies"
echo "code signing: ok"
