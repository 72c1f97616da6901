#!/usr/bin/env bash
# Makes the seed corpora in fuzz/corpus/: real messages from our smime tool
# (with the throwaway keys of `smime demo`) and from `openssl cms`, the base64
# and quoted-printable bodies such messages carry, and a few hand-written
# messages at the corners of the MIME grammar. Keys are new on every run, so
# the files change each time; commit what it writes only when seeds are added.
#
# usage: fuzz/make_corpus.sh [path/to/smime]   (default: build/tools/smime/smime)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
smime=${1:-$here/../build/tools/smime/smime}
[ -x "$smime" ] || { echo "no smime program at $smime; build the project first" >&2; exit 2; }
command -v openssl >/dev/null || { echo "openssl is needed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pki=$work/pki
"$smime" demo --keep "$pki" >/dev/null
for who in alice bob; do
    openssl pkcs12 -in "$pki/$who.p12" -passin "file:$pki/$who.pass" -nodes -nocerts -out "$work/$who.key" 2>/dev/null
done

corpus=$here/corpus
for target in scanner parser unprotect base64 printable mail; do
    rm -rf "${corpus:?}/$target"
    mkdir -p "$corpus/$target"
done

# --- Messages: for the scanner and the parser, and behind a mode byte for
# unprotect (0x00 RSA identity, 0x10 EC identity; see entry_points.cpp).
messages=$work/messages
mkdir -p "$messages"
letter=$work/letter.txt
printf 'Content-Type: text/plain; charset=us-ascii\r\n\r\nA short letter\r\nin two lines.\r\n' >"$letter"

alice=(-k "$pki/alice.p12" --pass-file "$pki/alice.pass")
bob=(-k "$pki/bob.p12" --pass-file "$pki/bob.pass")
"$smime" sign "${alice[@]}" -i "$letter" -o "$messages/smime-signed-rsa.eml"
"$smime" sign "${bob[@]}" -i "$letter" -o "$messages/smime-signed-ec.eml"
"$smime" sign "${alice[@]}" --detached --digest sha1 -i "$letter" -o "$messages/smime-clear-signed-rsa.eml"
"$smime" sign "${bob[@]}" --detached -i "$letter" -o "$messages/smime-clear-signed-ec.eml"
"$smime" encrypt -r "$pki/alice.pem" -r "$pki/bob.pem" -i "$letter" -o "$messages/smime-enveloped.eml"
"$smime" encrypt -r "$pki/alice.pem" --cipher des3 -i "$letter" -o "$messages/smime-enveloped-des3.eml"
cat "$pki/clear-signed.eml" >"$messages/smime-demo-clear-signed.eml"

cms=(openssl cms -crlfeol -in "$letter")
"${cms[@]}" -sign -nodetach -signer "$pki/alice.pem" -inkey "$work/alice.key" -out "$messages/openssl-signed.eml"
"${cms[@]}" -sign -signer "$pki/bob.pem" -inkey "$work/bob.key" -out "$messages/openssl-clear-signed.eml"
"${cms[@]}" -sign -nocerts -signer "$pki/alice.pem" -inkey "$work/alice.key" -out "$messages/openssl-clear-signed-nocerts.eml"
"${cms[@]}" -encrypt -aes256 -out "$messages/openssl-enveloped.eml" "$pki/alice.pem" "$pki/bob.pem"
"${cms[@]}" -encrypt -aes128 -out "$messages/openssl-enveloped-aes128.eml" "$pki/bob.pem"

hand() { printf "$2" >"$messages/$1"; }
hand folded-enveloped.eml 'Content-Type: application/pkcs7-mime;\r\n   smime-type=enveloped-data;\r\n   name=smime.p7m\r\nContent-Transfer-Encoding: base64\r\n\r\nMAA=\r\n'
hand x-types.eml 'CONTENT-TYPE: Application/X-PKCS7-MIME; SMIME-TYPE=Signed-Data\r\ncontent-transfer-encoding: BASE64\r\n\r\nMIIB\r\n'
hand quoted-boundary.eml 'Content-Type: multipart/signed; micalg=sha1; boundary="----=_Part;1 x"; protocol="application/x-pkcs7-signature"\r\n\r\npreamble\r\n------=_Part;1 x\r\nContent-Type: text/plain\r\n\r\nbody\r\n------=_Part;1 x\r\nContent-Type: application/x-pkcs7-signature\r\nContent-Transfer-Encoding: base64\r\n\r\nMAA=\r\n------=_Part;1 x--\r\nepilogue\r\n'
hand empty-parts.eml 'Content-Type: multipart/signed; protocol="application/pkcs7-signature"; boundary=b\r\n\r\n--b\r\n--b\r\n\r\n--b\r\n\n--b--\r\n'
hand printable-body.eml 'Content-Type: application/pkcs7-signature\r\nContent-Transfer-Encoding: printable-encoded\r\n\r\n=30=00\r\n'
hand seven-bit.eml 'Content-Type: application/pkcs7-mime; smime-type=signed-data\r\nContent-Transfer-Encoding: 7bit\r\n\r\n0\x00\r\n'
hand lf-only.eml 'Content-Type: application/pkcs7-mime; smime-type=enveloped-data\nContent-Transfer-Encoding: base64\n\nMAA=\n'
hand untyped.eml 'Subject: no MIME here\r\n\r\nJust text.\r\n'
hand no-header.eml '\r\nbody right away\r\n'
hand unterminated-quote.eml 'Content-Type: multipart/signed; boundary="abc; protocol=application/pkcs7-signature\r\n\r\n--abc\r\n'
# 128 KiB of quoted strings in one header line: a scanner whose time grows
# faster than the line runs into the fuzzers' per-input timeout on it.
{ printf 'Content-Type: multipart/signed;'; printf ' "a"%.0s' $(seq 32768)
  printf ' protocol="application/pkcs7-signature"; boundary=b\r\n\r\n--b\r\n'; } >"$messages/many-quotes.eml"

for message in "$messages"/*; do
    name=$(basename "$message")
    cp "$message" "$corpus/scanner/$name"
    cp "$message" "$corpus/parser/$name"
done
for name in smime-signed-rsa smime-clear-signed-rsa smime-enveloped openssl-signed openssl-clear-signed \
            openssl-enveloped quoted-boundary untyped; do
    { printf '\x00'; cat "$messages/$name.eml"; } >"$corpus/unprotect/rsa-$name"
done
for name in smime-signed-ec smime-clear-signed-ec smime-enveloped openssl-enveloped-aes128; do
    { printf '\x10'; cat "$messages/$name.eml"; } >"$corpus/unprotect/ec-$name"
done
# The target's own messages, unedited: signed, clear-signed and enveloped,
# for each identity, one verified without the chain and one in place.
for identity in rsa:01 ec:11; do
    for kind in signed:00 clear-signed:01 enveloped:02; do
        printf "\x${identity#*:}\x${kind#*:}" >"$corpus/unprotect/own-${identity%:*}-${kind%:*}"
    done
done
printf '\x03\x00' >"$corpus/unprotect/own-rsa-signed-no-chain"
printf '\x15\x02' >"$corpus/unprotect/own-ec-enveloped-in-place"
printf '\x01\x01\x00\x10\x30' >"$corpus/unprotect/own-rsa-clear-signed-one-edit"
printf '\x11\x02\x01\x00' >"$corpus/unprotect/own-ec-enveloped-cut-short"

# --- Base64 bodies in the layouts that appear in mail.
der=$work/signed.der
openssl cms -sign -nodetach -binary -signer "$pki/alice.pem" -inkey "$work/alice.key" -in "$letter" \
    -outform DER -out "$der"
base64 -w 64 "$der" >"$corpus/base64/der-64-lf"
base64 -w 76 "$der" | sed 's/$/\r/' >"$corpus/base64/der-76-crlf"
base64 -w 72 "$der" | head -c -1 >"$corpus/base64/der-72-lf-no-final-break"
base64 -w 0 "$der" >"$corpus/base64/der-one-line"
head -c 100 "$der" | base64 -w 0 >"$corpus/base64/two-padding"
head -c 101 "$der" | base64 -w 0 >"$corpus/base64/one-padding"
printf 'QU\r\nJD\r\nQUI=\r\n' >"$corpus/base64/break-inside-group"
printf 'QUJDRA' >"$corpus/base64/cut-short"
printf 'QQ==QUJD' >"$corpus/base64/data-after-padding"
printf 'QR==\r\n\r\n' >"$corpus/base64/non-canonical-padding"
printf 'QUJD\r\nQU JD\r\n' >"$corpus/base64/space-inside"
: >"$corpus/base64/empty"

# --- Quoted-printable text.
qp() { printf "$2" >"$corpus/printable/$1"; }
qp plain 'Plain text, nothing encoded.\r\n'
qp escapes 'caf=C3=A9 costs 3 =3D three=0D=0A, =e2=82=ac in lower case\r\n'
qp soft-breaks 'A line that goes on and on =\r\nand is joined=\r\n here.\r\n'
qp trailing-blanks 'blanks before the break   \t\r\nkept  between words\r\nat the end   '
qp bad-escape 'x=G1\r\n'
qp bad-soft-break 'x=\rX'
qp equals-at-end 'ends in ='
qp bare-lf 'line\nfeed\r\n'
qp control-byte 'tab\tand\x01control\r\n'
qp high-byte 'caf\xc3\xa9\r\n'
: >"$corpus/printable/empty"

# --- Whole mail, as users and mail clients write it: with bare LF, 8-bit,
# nested, protected, and the DER of a signature and an envelope.
mail() { printf "$2" >"$corpus/mail/$1"; }
mail plain.eml 'From: Alice <alice@example.com>\nTo: Bob <bob@example.com>\nSubject: Lunch\nComments: none\n\nAt noon?\n'
mail eight-bit.eml 'From: a@example.com\r\nSubject: Caf\xc3\xa9\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\nCaf\xc3\xa9 \r\n'
mail mixed.eml 'From: a@example.com\nTo: b@example.com,\n c@example.com\nContent-Type: multipart/mixed; boundary="xy z"\n\n--xy z\nContent-Type: text/html\n\n<p>caf\xc3\xa9</p>\n--xy z\nContent-Type: application/octet-stream\n\n\x00\x01\xff\n--xy z--'
mail protected.eml 'From: a@example.com\r\nSubject: [...]\r\nContent-Type: text/plain; hp="cipher"\r\nSubject: Real\r\nHP-Outer: Subject: [...]\r\nHP-Outer: From: a@example.com\r\n\r\nbody\r\n'
"$smime" sign --mail --detached --protect-header "${alice[@]}" -i "$corpus/mail/plain.eml" -o "$corpus/mail/signed-protected.eml"
"$smime" encrypt --mail --protect-header -r "$pki/bob.pem" -i "$corpus/mail/eight-bit.eml" -o "$corpus/mail/encrypted-protected.eml"
cp "$der" "$corpus/mail/signed.der"
openssl cms -encrypt -aes128 -binary -in "$letter" -outform DER -out "$corpus/mail/enveloped.der" "$pki/alice.pem" "$pki/bob.pem"

echo "seeds written to $corpus:"
for target in scanner parser unprotect base64 printable mail; do
    printf '  %-10s %3d files, %6d bytes\n' "$target" "$(find "$corpus/$target" -type f | wc -l)" \
        "$(cat "$corpus/$target"/* | wc -c)"
done
