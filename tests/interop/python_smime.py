#!/usr/bin/env python3
"""S/MIME with Python's cryptography package, for the interop tests.

Input comes on standard input, output goes to standard output, as bytes.

  python_smime.py check
      Print the cryptography version; exit 3 when the package is missing.
  python_smime.py sign CERT KEY HASH FORM PADDING
      Sign with the PEM certificate and unencrypted PEM key. HASH: sha256,
      sha384 or sha512. PADDING: pkcs1, or pss (RSASSA-PSS, MGF1 with HASH,
      a salt as long as the digest). FORM: detached (the SMIME encoding, multipart/signed),
      embedded (the SMIME encoding without DetachedSignature) or opaque (the
      DER token, base64 in an application/pkcs7-mime signed-data entity with
      CR LF line ends, since the SMIME encoding has no opaque form).
  python_smime.py encrypt CIPHER CERT...
      The SMIME encoding of an envelope for the certificates. CIPHER:
      aes-128-cbc or aes-256-cbc.
  python_smime.py decrypt CERT KEY
      The content of an SMIME enveloped message.
"""
import base64
import sys

try:
    from cryptography import __version__ as cryptography_version
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import padding
    from cryptography.hazmat.primitives.ciphers import algorithms
    from cryptography.hazmat.primitives.serialization import pkcs7
except ImportError as error:
    print(f"cryptography is not installed: {error}", file=sys.stderr)
    sys.exit(3)

HASHES = {"sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
CIPHERS = {"aes-128-cbc": algorithms.AES128, "aes-256-cbc": algorithms.AES256}


def load_cert(path):
    with open(path, "rb") as f:
        return x509.load_pem_x509_certificate(f.read())


def load_key(path):
    with open(path, "rb") as f:
        return serialization.load_pem_private_key(f.read(), password=None)


def sign(cert_path, key_path, hash_name, form, padding_name, data):
    pss = padding.PSS(mgf=padding.MGF1(HASHES[hash_name]()), salt_length=padding.PSS.DIGEST_LENGTH)
    builder = pkcs7.PKCS7SignatureBuilder().set_data(data).add_signer(
        load_cert(cert_path), load_key(key_path), HASHES[hash_name](),
        rsa_padding=pss if padding_name == "pss" else None,
    )
    if form == "detached":
        return builder.sign(serialization.Encoding.SMIME, [pkcs7.PKCS7Options.DetachedSignature])
    if form == "embedded":
        return builder.sign(serialization.Encoding.SMIME, [])
    if form == "opaque":
        der = builder.sign(serialization.Encoding.DER, [pkcs7.PKCS7Options.Binary])
        encoded = base64.encodebytes(der).replace(b"\n", b"\r\n")
        return (
            b"MIME-Version: 1.0\r\n"
            b"Content-Type: application/pkcs7-mime; smime-type=signed-data; name=smime.p7m\r\n"
            b"Content-Transfer-Encoding: base64\r\n"
            b"Content-Disposition: attachment; filename=smime.p7m\r\n\r\n" + encoded
        )
    raise SystemExit(f"unknown form {form}")


def encrypt(cipher_name, cert_paths, data):
    builder = pkcs7.PKCS7EnvelopeBuilder().set_data(data)
    builder = builder.set_content_encryption_algorithm(CIPHERS[cipher_name])
    for path in cert_paths:
        builder = builder.add_recipient(load_cert(path))
    return builder.encrypt(serialization.Encoding.SMIME, [pkcs7.PKCS7Options.Binary])


def decrypt(cert_path, key_path, message):
    return pkcs7.pkcs7_decrypt_smime(message, load_cert(cert_path), load_key(key_path), [])


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    command, args = argv[1], argv[2:]
    if command == "check":
        print(cryptography_version)
        return 0
    data = sys.stdin.buffer.read()
    if command == "sign" and len(args) == 5:
        out = sign(*args, data)
    elif command == "encrypt" and len(args) >= 2:
        out = encrypt(args[0], args[1:], data)
    elif command == "decrypt" and len(args) == 2:
        out = decrypt(*args, data)
    else:
        raise SystemExit(__doc__)
    sys.stdout.buffer.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
