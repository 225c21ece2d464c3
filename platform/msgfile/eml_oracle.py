#!/usr/bin/python3
"""Reads a MIME message (as msgconvert writes it) for the tests: subject,
plain body (line ends as LF, trailing white space cut) and each attachment's
file name, size and FNV-1a 64, one fact per line, texts as UTF-8 hex."""
import email
import sys
from email import policy


def fnv(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


def main():
    with open(sys.argv[1], "rb") as f:
        m = email.message_from_binary_file(f, policy=policy.default)
    print("subject %s" % str(m["subject"]).encode("utf-8").hex())
    body = m.get_body(preferencelist=("plain",))
    if body is not None:
        text = body.get_content().replace("\r\n", "\n").rstrip()
        print("body %s" % text.encode("utf-8").hex())
    for part in m.iter_attachments():
        data = part.get_payload(decode=True) or b""
        name = part.get_filename() or ""
        print("attachment %s %d %s" % (name.encode("utf-8").hex(), len(data), fnv(data)))


if __name__ == "__main__":
    main()
