#!/usr/bin/env bash
# Interop of the 64-bit Windows build with this machine's tools: what the
# Windows smime.exe (run under Wine) signs and encrypts, openssl cms on
# Linux verifies and decrypts; what the Linux smime tool and openssl cms
# sign and encrypt, smime.exe verifies and decrypts. RSA (Alice) and EC
# (Bob) identities from `smime demo --keep`; every content is compared byte
# for byte with the letter that went in.
#
#   scripts/windows-interop.sh WINDOWS_BIN_FOLDER LINUX_SMIME_PROGRAM
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
windows_bin=$(cd "${1:?usage: $0 WINDOWS_BIN_FOLDER LINUX_SMIME_PROGRAM}" && pwd)
linux_smime=$(realpath "${2:?usage: $0 WINDOWS_BIN_FOLDER LINUX_SMIME_PROGRAM}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

checks=0
pass() { checks=$((checks + 1)); echo "ok  $*"; }
fail() { echo "FAILED  $*" >&2; exit 1; }
# The Windows tool, given paths relative to this folder.
windows_smime() { "$source_dir/scripts/wine-run.sh" "$windows_bin/smime.exe" "$@"; }
same_as_letter() { cmp -s "$1" keys/letter.txt || fail "$2: content differs from the letter"; pass "$2"; }

"$linux_smime" demo --keep keys >/dev/null
for who in alice bob; do
    openssl pkcs12 -in "keys/$who.p12" -passin "file:keys/$who.pass" -nodes -nocerts -out "$who-key.pem" 2>/dev/null
done

echo "--- written on Windows, read by openssl cms on Linux"
# Windows separators in the paths the Windows tool is given.
windows_smime sign -k 'keys\alice.p12' --pass-file 'keys\alice.pass' -i 'keys\letter.txt' -o win-signed.p7m
openssl cms -verify -CAfile keys/ca.pem -in win-signed.p7m -out out.txt 2>/dev/null || fail "openssl verifies the opaque signature"
same_as_letter out.txt "opaque signature (RSA) made on Windows verifies with openssl"
windows_smime sign --detached -k keys/bob.p12 --pass-file keys/bob.pass -i keys/letter.txt -o win-clear.eml
openssl cms -verify -CAfile keys/ca.pem -in win-clear.eml -out out.txt 2>/dev/null || fail "openssl verifies the clear signature"
same_as_letter out.txt "clear signature (EC) made on Windows verifies with openssl"
windows_smime encrypt -r keys/alice.pem -r keys/bob.pem -i keys/letter.txt -o win-secret.p7m
for who in alice bob; do
    openssl cms -decrypt -recip "keys/$who.pem" -inkey "$who-key.pem" -in win-secret.p7m -out out.txt ||
        fail "openssl decrypts for $who"
    same_as_letter out.txt "envelope made on Windows decrypts with openssl for $who"
done

echo "--- written on Linux, read by smime.exe on Windows"
"$linux_smime" sign -k keys/alice.p12 --pass-file keys/alice.pass -i keys/letter.txt -o linux-signed.p7m
"$linux_smime" sign --detached -k keys/bob.p12 --pass-file keys/bob.pass -i keys/letter.txt -o linux-clear.eml
"$linux_smime" encrypt -r keys/bob.pem -i keys/letter.txt -o linux-secret.p7m
openssl cms -sign -signer keys/alice.pem -inkey alice-key.pem -nodetach -crlfeol -in keys/letter.txt -out openssl-signed.p7m
openssl cms -sign -signer keys/bob.pem -inkey bob-key.pem -crlfeol -in keys/letter.txt -out openssl-clear.eml
openssl cms -encrypt -aes128 -crlfeol -in keys/letter.txt -out openssl-secret.p7m keys/alice.pem
for made in linux-signed.p7m linux-clear.eml openssl-signed.p7m openssl-clear.eml; do
    windows_smime verify --trust keys/ca.pem -i "$made" -o out.txt 2>/dev/null || fail "smime.exe verifies $made"
    same_as_letter out.txt "$made verifies on Windows"
done
windows_smime decrypt -k keys/bob.p12 --pass-file keys/bob.pass -i linux-secret.p7m -o out.txt ||
    fail "smime.exe decrypts linux-secret.p7m"
same_as_letter out.txt "linux-secret.p7m (EC) decrypts on Windows"
windows_smime decrypt -k keys/alice.p12 --pass-file keys/alice.pass -i openssl-secret.p7m -o out.txt ||
    fail "smime.exe decrypts openssl-secret.p7m"
same_as_letter out.txt "openssl-secret.p7m (RSA) decrypts on Windows"

echo "--- refusals on Windows"
sed 's/Thursday/Friday/' linux-clear.eml >tampered.eml
rm -f out.txt
status=0
windows_smime verify --trust keys/ca.pem -i tampered.eml -o out.txt 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "a tampered clear-signed message gives exit status 1 on Windows (got $status)"
[ -z "$(ls -A | grep '^out\.txt')" ] || fail "a refused verification left output behind"
pass "a tampered clear-signed message is refused on Windows"
echo "$checks interop checks passed"
