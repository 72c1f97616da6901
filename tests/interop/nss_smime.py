#!/usr/bin/env python3
"""S/MIME with NSS's command-line tools (cmsutil, certutil, pk12util), for the interop tests.

Input comes on standard input, output goes to standard output, as bytes. Messages
are bare CMS ContentInfos, no MIME and no base64; what cmsutil writes is BER with
indefinite lengths, passed on as it is. Each call works in a database of its own
(a temporary folder, empty password, removed at the end); a key enters it through
a PKCS#12 made with `openssl pkcs12 -export`.

Exit status: 0 done; 1 failed, with the reason on standard error; 3 the tools are
missing; 4 NSS cannot do what was asked (the reason says what), so there is
nothing to compare.

  nss_smime.py check
      Print the NSS version; exit 3 when cmsutil, certutil, pk12util, openssl
      or the NSS library is missing.
  nss_smime.py sign CERT KEY HASH FORM PADDING
      SignedData over the content, by the PEM certificate (which may go on with
      the certificates of intermediate CAs: they go into the signature too) and
      the unencrypted PEM PKCS#8 key, RSA or EC. HASH: sha1, sha256, sha384 or
      sha512. FORM: opaque (the content inside) or detached. The signed
      attributes are contentType, signingTime, messageDigest and
      SMIMECapabilities. PADDING: pkcs1 (cmsutil makes no RSASSA-PSS: pss
      exits 4). Exit 4 for empty content, which cmsutil never digests.
  nss_smime.py verify CA [CONTENT]
      Check SignedData: there is a signer, every signature verifies and every
      signer's certificate chains, for email signing, to the PEM root CA
      (intermediates come from the message). CONTENT: the file with the
      detached content; without it the message must hold its content, which
      goes to standard output. Exit 4 for opaque empty content, which NSS
      never digests.
  nss_smime.py encrypt CIPHER PADDING CERT...
      EnvelopedData for the PEM certificates. PADDING: pkcs1 (cmsutil makes no
      RSAES-OAEP: oaep exits 4). CIPHER: aes-128-cbc,
      aes-192-cbc, aes-256-cbc or des-ede3-cbc. cmsutil has no cipher option:
      it takes the cipher all recipients' stored S/MIME capabilities allow
      (without any, AES-128 for RSA-2048 keys), so each recipient is given
      capabilities naming CIPHER alone. Exit 4 for a cipher NSS does not offer
      (it falls back to 40-bit RC2, which is never passed on) and for a
      recipient key it cannot encrypt to (NSS 3.87: EC keys).
  nss_smime.py decrypt CERT KEY
      The content of EnvelopedData, with the PEM certificate and key. Exit 4
      when it fails on what NSS does not read (NSS 3.87: AuthEnvelopedData,
      RSAES-OAEP, and any message with a key-agreement recipient, even for
      an RSA one).
"""
import base64
import contextlib
import ctypes
import ctypes.util
import os
import re
import shutil
import subprocess
import sys
import tempfile

TOOLS = ("cmsutil", "certutil", "pk12util", "openssl")
HASHES = {"sha1": "SHA1", "sha256": "SHA256", "sha384": "SHA384", "sha512": "SHA512"}
OFFERED = ("aes-128-cbc", "aes-192-cbc", "aes-256-cbc", "des-ede3-cbc")
# Content-encryption algorithms by the contents of their OIDs: those a caller may ask for, then those
# NSS falls back to, for naming what it chose.
CIPHERS = {
    "aes-128-cbc": bytes.fromhex("608648016503040102"),
    "aes-192-cbc": bytes.fromhex("608648016503040116"),
    "aes-256-cbc": bytes.fromhex("60864801650304012a"),
    "des-ede3-cbc": bytes.fromhex("2a864886f70d0307"),
    "rc2-cbc": bytes.fromhex("2a864886f70d0302"),
    "des-cbc": bytes.fromhex("2b0e030207"),
}
SIGNED_DATA = bytes.fromhex("2a864886f70d010702")
ENVELOPED_DATA = bytes.fromhex("2a864886f70d010703")
AUTH_ENVELOPED_DATA = bytes.fromhex("2a864886f70d0109100117")
RSAES_OAEP = bytes.fromhex("2a864886f70d010107")
P12_PASSWORD = "interop"
NICKNAME = "me"
UNSUPPORTED = 4


class Failure(Exception):
    """Ends the call with the message on standard error and the exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def run(args):
    """Runs a tool with nothing to read, so that a password prompt fails at once."""
    return subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)


def tool_errors(done):
    # cmsutil adds an NSS_Shutdown complaint to every failure; it says nothing about the cause.
    lines = [line.strip() for line in done.stderr.decode(errors="replace").splitlines()]
    return " / ".join(line for line in lines if line and "NSS_Shutdown failed" not in line) or "no message"


def require(done, what):
    if done.returncode != 0:
        raise Failure(f"{what} failed ({done.args[0]} exit {done.returncode}): {tool_errors(done)}")
    return done


# --- BER, as far as telling what a message is needs (cmsutil writes indefinite lengths) ---

def ber_header(data, at):
    """The tag of the element at `at`, where its contents start, and where they end (None: indefinite)."""
    tag = data[at]
    at += 1
    if tag & 0x1F == 0x1F:
        while data[at] & 0x80:
            at += 1
        at += 1
    first = data[at]
    at += 1
    if first == 0x80:
        return tag, at, None
    if first < 0x80:
        end = at + first
    else:
        count = first & 0x7F
        end = at + count + int.from_bytes(data[at:at + count], "big")
        at += count
    if end > len(data):
        raise IndexError("an element runs past the end")
    return tag, at, end


def ber_end(data, at):
    _, start, end = ber_header(data, at)
    if end is not None:
        return end
    while data[start:start + 2] != b"\0\0":
        start = ber_end(data, start)
    return start + 2


def ber_children(data, at):
    """Where each element inside the constructed element at `at` starts."""
    _, at, end = ber_header(data, at)
    children = []
    while (at < end) if end is not None else data[at:at + 2] != b"\0\0":
        children.append(at)
        at = ber_end(data, at)
    return children


def ber_value(data, at):
    _, start, end = ber_header(data, at)
    return data[start:end]


def ber_octets(data, at):
    """An OCTET STRING's octets, whether in one piece or in many."""
    if data[at] & 0x20:
        return b"".join(ber_octets(data, child) for child in ber_children(data, at))
    return ber_value(data, at)


def content_info(message):
    """The content type of a ContentInfo and where its content starts."""
    try:
        outer = ber_children(message, 0)
        return ber_value(message, outer[0]), ber_children(message, outer[1])[0]
    except IndexError as error:
        raise Failure("the input is not a CMS ContentInfo") from error


def encapsulated_content(message, signed_data):
    """A SignedData's content, or None when it is detached."""
    encapsulated = next(at for at in ber_children(message, signed_data) if message[at] == 0x30)
    parts = ber_children(message, encapsulated)
    if len(parts) == 1:
        return None
    inside = ber_children(message, parts[1])
    return ber_octets(message, inside[0]) if inside else b""


def recipient_infos(message, enveloped):
    parts = ber_children(message, enveloped)
    return parts, next(at for at in parts if message[at] == 0x31)


def cipher_of(envelope, enveloped):
    """The name (or the OID in hex) of an EnvelopedData's content-encryption algorithm."""
    parts, recipients = recipient_infos(envelope, enveloped)
    algorithm = ber_children(envelope, parts[parts.index(recipients) + 1])[1]
    oid = ber_value(envelope, ber_children(envelope, algorithm)[0])
    return next((name for name, value in CIPHERS.items() if value == oid), oid.hex())


def unreadable_parts(message):
    """What of an envelope NSS 3.87 does not read."""
    kind, enveloped = content_info(message)
    found = ["AuthEnvelopedData"] if kind == AUTH_ENVELOPED_DATA else []
    try:
        _, recipients = recipient_infos(message, enveloped)
        for recipient in ber_children(message, recipients):
            if message[recipient] == 0xA1:
                found.append("a key-agreement recipient")
            elif message[recipient] == 0x30:
                algorithm = ber_children(message, recipient)[2]
                if ber_value(message, ber_children(message, algorithm)[0]) == RSAES_OAEP:
                    found.append("RSAES-OAEP")
    except (IndexError, StopIteration):
        pass
    return sorted(set(found))


def pem_certificate(path):
    """The DER of the first certificate in a PEM file."""
    with open(path, "rb") as f:
        found = re.search(rb"-----BEGIN CERTIFICATE-----(.*?)-----END CERTIFICATE-----", f.read(), re.S)
    if not found:
        raise Failure(f"{path} holds no PEM certificate")
    return base64.b64decode(b"".join(found.group(1).split()))


def subject_of(certificate):
    """The DER of a certificate's subject name, which NSS files the certificate's objects under."""
    tbs = ber_children(certificate, ber_children(certificate, 0)[0])
    if certificate[tbs[0]] == 0xA0:  # [0] version
        tbs = tbs[1:]
    return certificate[tbs[4]:ber_end(certificate, tbs[4])]  # after serial, signature, issuer, validity


def der(tag, contents):
    length = len(contents)
    if length < 0x80:
        return bytes([tag, length]) + contents
    size = (length.bit_length() + 7) // 8
    return bytes([tag, 0x80 | size]) + length.to_bytes(size, "big") + contents


# --- the NSS library, for what its tools cannot do ---

def nss_library():
    try:
        return ctypes.CDLL(ctypes.util.find_library("nss3") or "libnss3.so")
    except OSError as error:
        raise Failure(f"the NSS library cannot be loaded: {error}", 3) from error


class CK_ATTRIBUTE(ctypes.Structure):
    _fields_ = [("type", ctypes.c_ulong), ("pValue", ctypes.c_void_p), ("ulValueLen", ctypes.c_ulong)]


CKA_CLASS, CKA_TOKEN, CKA_VALUE, CKA_SUBJECT = 0x0, 0x1, 0x11, 0x101
CKA_NSS_EMAIL = 0xCE534352
CKO_NSS_SMIME = 0xCE534352


def store_capabilities(db, recipients, capabilities):
    """Files S/MIME capabilities for each (nickname, subject) as a mail client does from a signed message.

    The objects are made directly: NSS 3.87's CERT_SaveSMimeProfile stores the e-mail address with
    its terminating NUL, but PK11_FindSMimeProfile searches for it without, so in an SQL database
    what NSS saves is never found again. These carry what the search asks for.
    """
    nss = nss_library()
    nss.NSS_InitReadWrite.argtypes = [ctypes.c_char_p]
    nss.CERT_GetDefaultCertDB.restype = ctypes.c_void_p
    nss.CERT_FindCertByNickname.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    nss.CERT_FindCertByNickname.restype = ctypes.c_void_p
    nss.CERT_GetFirstEmailAddress.argtypes = [ctypes.c_void_p]
    nss.CERT_GetFirstEmailAddress.restype = ctypes.c_char_p
    nss.CERT_DestroyCertificate.argtypes = [ctypes.c_void_p]
    nss.PK11_GetInternalKeySlot.restype = ctypes.c_void_p
    nss.PK11_FreeSlot.argtypes = [ctypes.c_void_p]
    nss.PK11_CreateGenericObject.argtypes = [ctypes.c_void_p, ctypes.POINTER(CK_ATTRIBUTE), ctypes.c_int, ctypes.c_int]
    nss.PK11_CreateGenericObject.restype = ctypes.c_void_p
    nss.PK11_DestroyGenericObject.argtypes = [ctypes.c_void_p]
    if nss.NSS_InitReadWrite(f"sql:{db}".encode()) != 0:
        raise Failure(f"NSS cannot open the database (error {nss.PORT_GetError()})")
    slot = nss.PK11_GetInternalKeySlot()
    try:
        for nickname, subject in recipients:
            cert = nss.CERT_FindCertByNickname(nss.CERT_GetDefaultCertDB(), nickname.encode())
            email = nss.CERT_GetFirstEmailAddress(cert) if cert else None
            if cert:
                nss.CERT_DestroyCertificate(cert)
            if not email:
                raise Failure(f"{nickname} has no e-mail address, which NSS files S/MIME capabilities under")
            values = [
                (CKA_CLASS, ctypes.c_ulong(CKO_NSS_SMIME)),
                (CKA_TOKEN, ctypes.c_ubyte(1)),
                (CKA_SUBJECT, ctypes.create_string_buffer(subject, len(subject))),
                (CKA_NSS_EMAIL, ctypes.create_string_buffer(email, len(email))),
                (CKA_VALUE, ctypes.create_string_buffer(capabilities, len(capabilities))),
            ]
            template = (CK_ATTRIBUTE * len(values))(
                *[CK_ATTRIBUTE(kind, ctypes.cast(ctypes.pointer(value), ctypes.c_void_p), ctypes.sizeof(value))
                  for kind, value in values])
            made = nss.PK11_CreateGenericObject(slot, template, len(values), 1)
            if not made:
                raise Failure(f"NSS cannot store S/MIME capabilities for {nickname} (error {nss.PORT_GetError()})")
            nss.PK11_DestroyGenericObject(made)
    finally:
        nss.PK11_FreeSlot(slot)
        nss.NSS_Shutdown()


# --- databases ---

@contextlib.contextmanager
def database():
    folder = tempfile.mkdtemp(prefix="nss-smime-")
    try:
        require(run(["certutil", "-N", "-d", f"sql:{folder}", "--empty-password"]), "making a database")
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def import_key(db, cert_path, key_path):
    """Brings the key in with its certificate, named NICKNAME, and any CA certificates after it."""
    store = os.path.join(db, "key.p12")
    require(run(["openssl", "pkcs12", "-export", "-in", cert_path, "-inkey", key_path, "-name", NICKNAME,
                 "-passout", f"pass:{P12_PASSWORD}", "-out", store]), "making a PKCS#12")
    require(run(["pk12util", "-i", store, "-d", f"sql:{db}", "-W", P12_PASSWORD, "-K", ""]), "importing the PKCS#12")


def add_certificate(db, nickname, path, trust):
    require(run(["certutil", "-A", "-d", f"sql:{db}", "-n", nickname, "-t", trust, "-i", path]),
            f"adding {path}")


def write(db, name, data):
    path = os.path.join(db, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- commands ---

def sign(cert_path, key_path, hash_name, form, data):
    if hash_name not in HASHES or form not in ("opaque", "detached"):
        raise SystemExit(__doc__)
    with database() as db:
        import_key(db, cert_path, key_path)
        out = os.path.join(db, "out")
        # -Y NONE: the encryption-key-preference attributes need the signer's chain up to a trusted
        # root, which a signer need not have.
        args = ["cmsutil", "-S", "-d", f"sql:{db}", "-N", NICKNAME, "-H", HASHES[hash_name], "-G", "-P",
                "-Y", "NONE", "-i", write(db, "content", data), "-o", out]
        if form == "detached":
            args.append("-T")
        done = run(args)
        if done.returncode != 0 and not data:
            raise Failure(f"cmsutil cannot sign empty content: {tool_errors(done)}", UNSUPPORTED)
        require(done, "signing")
        return read(out)


def verify(ca_path, content_path, message):
    kind, signed_data = content_info(message)
    if kind != SIGNED_DATA:
        raise Failure("the input is not a CMS SignedData")
    try:
        inside = encapsulated_content(message, signed_data)
    except (IndexError, StopIteration) as error:
        raise Failure("the SignedData is malformed") from error
    if inside is None and content_path is None:
        raise Failure("the signature is detached and no content was given")
    if inside is not None and content_path is not None:
        raise Failure("the message holds its own content, not detached content")
    with database() as db:
        add_certificate(db, "root", ca_path, ",C,")  # a CA trusted for email
        base = ["cmsutil", "-D", "-d", f"sql:{db}", "-i", write(db, "message", message)]
        if content_path is not None:
            base += ["-c", content_path]
        # With -h cmsutil reports each signer's status but exits 0 whatever it is; without, it exits 1
        # at the first signer that fails. Both must pass; the report also shows that there is a signer.
        report = run(base + ["-h", "0", "-n"])
        text = report.stdout.decode(errors="replace")
        count = re.search(r"nsigners=(\d+);", text)
        statuses = re.findall(r"signer\d+\.status=(\w+);", text)
        if report.returncode != 0 and inside == b"":
            raise Failure(f"NSS cannot verify a signature over empty content: {tool_errors(report)}", UNSUPPORTED)
        if report.returncode != 0 or not count:
            raise Failure(f"cmsutil cannot read the signature: {tool_errors(report)}")
        if int(count.group(1)) == 0:
            raise Failure("the message has no signer")
        if len(statuses) != int(count.group(1)) or any(status != "GoodSignature" for status in statuses):
            raise Failure(f"signer status {', '.join(statuses) or 'missing'}")
        out = os.path.join(db, "out")
        require(run(base + ["-o", out]), "verifying")
        return b"" if inside is None else read(out)


def encrypt(cipher, cert_paths, data):
    if cipher not in OFFERED:
        raise SystemExit(__doc__)
    with database() as db:
        recipients = []
        for number, path in enumerate(cert_paths):
            nickname = f"recipient{number}"
            add_certificate(db, nickname, path, ",,")
            recipients.append((nickname, subject_of(pem_certificate(path))))
        store_capabilities(db, recipients, der(0x30, der(0x30, der(0x06, CIPHERS[cipher]))))
        out = os.path.join(db, "out")
        done = run(["cmsutil", "-E", "-d", f"sql:{db}", "-r", ",".join(name for name, _ in recipients),
                    "-i", write(db, "content", data), "-o", out])
        if done.returncode != 0 and b"SEC_ERROR_INVALID_ALGORITHM" in done.stderr:
            raise Failure(f"NSS cannot encrypt to a recipient's key: {tool_errors(done)}", UNSUPPORTED)
        require(done, "enveloping")
        envelope = read(out)
        kind, enveloped = content_info(envelope)
        try:
            used = cipher_of(envelope, enveloped) if kind == ENVELOPED_DATA else None
        except (IndexError, StopIteration):
            used = None
        if used is None:
            raise Failure("cmsutil wrote no readable EnvelopedData")
        if used != cipher:
            raise Failure(f"cmsutil chose {used}; it cannot be made to use {cipher}", UNSUPPORTED)
        return envelope


def decrypt(cert_path, key_path, message):
    kind, _ = content_info(message)
    if kind not in (ENVELOPED_DATA, AUTH_ENVELOPED_DATA):
        raise Failure("the input is not a CMS EnvelopedData")
    with database() as db:
        import_key(db, cert_path, key_path)
        out = os.path.join(db, "out")
        done = run(["cmsutil", "-D", "-d", f"sql:{db}", "-i", write(db, "message", message), "-o", out])
        unreadable = unreadable_parts(message) if done.returncode != 0 else []
        if unreadable:
            raise Failure(f"NSS does not read {' and '.join(unreadable)}: {tool_errors(done)}", UNSUPPORTED)
        require(done, "decrypting")
        return read(out)


def check():
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        raise Failure(f"not on PATH: {' '.join(missing)}", 3)
    nss = nss_library()
    nss.NSS_GetVersion.restype = ctypes.c_char_p
    print(f"NSS {nss.NSS_GetVersion().decode()}")


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    command, args = argv[1], argv[2:]
    try:
        if command == "check" and not args:
            check()
            return 0
        data = sys.stdin.buffer.read()
        # The padding word of sign and encrypt, which the other engines' programs take too.
        if (command == "sign" and len(args) == 5) or (command == "encrypt" and len(args) >= 3):
            padding = args.pop(4 if command == "sign" else 1)
            if padding != "pkcs1":
                raise Failure(f"cmsutil cannot make {padding} (only PKCS #1 v1.5)", 4)
        if command == "sign" and len(args) == 4:
            out = sign(*args, data)
        elif command == "verify" and len(args) in (1, 2):
            out = verify(args[0], args[1] if len(args) == 2 else None, data)
        elif command == "encrypt" and len(args) >= 2:
            out = encrypt(args[0], args[1:], data)
        elif command == "decrypt" and len(args) == 2:
            out = decrypt(*args, data)
        else:
            raise SystemExit(__doc__)
    except Failure as failure:
        print(f"nss_smime.py {command}: {failure}", file=sys.stderr)
        return failure.status
    sys.stdout.buffer.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
