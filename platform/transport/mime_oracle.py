#!/usr/bin/python3
"""Reads one Internet mail with Python's own email package, as an independent
reader for the tests, and prints what it found, one fact per line, texts and
bytes as hex ("-" when empty): defects, subject, message class, the From,
Sender, To, Cc and Bcc mailboxes, the plain and HTML bodies, and each
attachment's file name, type and bytes (embedded messages: name and subject)."""
import email
import sys
from email import policy
from email.utils import getaddresses


def h(text):
    return (text if isinstance(text, bytes) else text.encode("utf-8")).hex() or "-"


def addresses(m, name):
    values = m.get_all(name) or []
    return getaddresses([str(v) for v in values])


def main():
    with open(sys.argv[1], "rb") as f:
        m = email.message_from_binary_file(f, policy=policy.default)
    lines = []
    for d in m.defects:
        lines.append("defect %s" % type(d).__name__)
    lines.append("subject %s" % h(str(m["subject"] or "")))
    lines.append("message_class %s" % h(str(m["x-message-class"] or "")))
    for field in ("from", "sender", "to", "cc", "bcc"):
        for n, a in addresses(m, field):
            lines.append("%s %s %s" % (field, h(n), h(a)))
    plain = m.get_body(preferencelist=("plain",))
    if plain is not None:
        lines.append("body %s" % h(plain.get_content()))
    html = m.get_body(preferencelist=("html",))
    if html is not None:
        lines.append("html %s" % h(html.get_payload(decode=True) or b""))
    for part in m.iter_attachments():
        name = part.get_filename() or ""
        if part.get_content_type() == "message/rfc822":
            inner = part.get_payload()[0]
            lines.append("embedded %s %s" % (h(name), h(str(inner["subject"] or ""))))
            continue
        data = part.get_payload(decode=True) or b""
        lines.append("attachment %s %s %s" % (h(name), part.get_content_type(), h(data)))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
