#!/usr/bin/env python3
"""Whole mails read with Python's email package, for the interop tests.

  mail_check.py --hidden-subject|-- ORIGINAL SENT OPENED [CONTENT]...
      ORIGINAL is the mail as its user wrote it. SENT, what went out, must carry
      ORIGINAL's From, To, Subject, Date and Message-ID outside (the Subject as
      "[...]" with --hidden-subject), MIME-Version 1.0 and an S/MIME Content-Type.
      OPENED, the mail a reader got back, must carry those fields as ORIGINAL
      does, and the same content. Each CONTENT is an entity another tool
      unwrapped: the same content, and those fields equal where it carries them
      (a protected header). "The same content": the same tree of parts, each
      leaf of the same type and file name, decoded to the same text (line ends
      aside) or bytes.

Exit status 0 when all of it holds; otherwise 1, with each difference on
standard error.
"""
import email
import email.policy
import sys

FIELDS = ("From", "To", "Subject", "Date", "Message-ID")
SMIME_TYPES = {"application/pkcs7-mime": ("smime-type", ("signed-data", "enveloped-data")),
               "multipart/signed": ("protocol", ("application/pkcs7-signature",))}


def read(path):
    with open(path, "rb") as f:
        return email.message_from_bytes(f.read(), policy=email.policy.default)


def parts(message):
    """The entity's parts depth first, each as (type, file name, decoded content); a multipart has no content."""
    if message.is_multipart():
        return [(message.get_content_type(), None, None)] + [p for part in message.iter_parts() for p in parts(part)]
    content = message.get_content()
    if isinstance(content, str):
        content = content.replace("\r\n", "\n")
    return [(message.get_content_type(), message.get_filename(), content)]


def compare_fields(label, original, got, whole, hidden_subject=False):
    problems = []
    for name in FIELDS:
        want = "[...]" if hidden_subject and name == "Subject" else original[name]
        if (whole or got[name] is not None) and str(got[name]) != str(want):
            problems.append(f"{label}: {name} is {got[name]!r}, not {want!r}")
    return problems


def compare(label, original, got, whole):
    problems = compare_fields(label, original, got, whole)
    if parts(got) != parts(original):
        problems.append(f"{label}: the content differs: {parts(got)!r:.300} is not {parts(original)!r:.300}")
    return problems


def main(argv):
    if len(argv) < 5 or argv[1] not in ("--hidden-subject", "--"):
        raise SystemExit(__doc__)
    hidden_subject, paths = argv[1] == "--hidden-subject", argv[2:]
    original, sent = read(paths[0]), read(paths[1])
    problems = compare_fields("sent", original, sent, True, hidden_subject)
    param, allowed = SMIME_TYPES.get(sent.get_content_type(), ("", ()))
    if sent["MIME-Version"] != "1.0" or sent.get_param(param) not in allowed:
        problems.append(f"sent: MIME-Version {sent['MIME-Version']!r}, Content-Type {sent['Content-Type']!r}")
    problems += compare("opened", original, read(paths[2]), True)
    for path in paths[3:]:
        problems += compare(path, original, read(path), False)
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
