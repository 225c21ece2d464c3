#!/usr/bin/python3
"""Independent reading of a message file through olefile, for the tests.

Prints one line per fact, in the same form the test prints from our reader:
every stream (path, size, FNV-1a 64 of its bytes), then subject, body,
recipients and attachments (recursively for embedded messages).
Texts are "U:<hex of UTF-8>" for Unicode streams, "A:<hex of bytes>" for
8-bit ones, both cut at the first NUL.
"""
import struct
import sys

import olefile


def fnv(data):
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % h


class Msg:
    def __init__(self, ole):
        self.ole = ole
        self.streams = {"/".join(p): p for p in ole.listdir(streams=True, storages=False)}
        self.storages = {"/".join(p) for p in ole.listdir(streams=False, storages=True)}

    def read(self, path):
        return self.ole.openstream(path).read() if path in self.streams else None

    def text(self, base, prop):
        u = self.read(base + "__substg1.0_%s001F" % prop)
        if u is not None:
            s = u.decode("utf-16-le", "replace").split("\0")[0]
            return "U:" + s.encode("utf-8").hex()
        a = self.read(base + "__substg1.0_%s001E" % prop)
        if a is not None:
            return "A:" + a.split(b"\0")[0].hex()
        return None

    def long_prop(self, base, tag, header):
        ps = self.read(base + "__properties_version1.0")
        if ps is None:
            return None
        for off in range(header, len(ps) - 15, 16):
            t, = struct.unpack_from("<I", ps, off)
            if t == tag:
                return struct.unpack_from("<i", ps, off + 8)[0]
        return None

    def children(self, base, prefix):
        depth = base.count("/")
        names = set()
        for s in self.storages:
            if s.startswith(base) and s.count("/") == depth:
                leaf = s[len(base):]
                if leaf.startswith(prefix):
                    names.add(leaf)
        return sorted(names)

    def dump(self, base, label, header, out):
        for name, prop in (("subject", "0037"), ("body", "1000")):
            t = self.text(base, prop)
            if t is not None:
                out.append("%s%s %s" % (label, name, t))
        recips = self.children(base, "__recip_version1.0_#")
        out.append("%srecipients %d" % (label, len(recips)))
        for i, r in enumerate(recips):
            rb = base + r + "/"
            for name, prop in (("name", "3001"), ("email", "3003"), ("smtp", "39FE")):
                t = self.text(rb, prop)
                if t is not None:
                    out.append("%srecip%d.%s %s" % (label, i, name, t))
            kind = self.long_prop(rb, 0x0C150003, 8)
            if kind is not None:
                out.append("%srecip%d.type %d" % (label, i, kind))
        atts = self.children(base, "__attach_version1.0_#")
        out.append("%sattachments %d" % (label, len(atts)))
        for i, a in enumerate(atts):
            ab = base + a + "/"
            for name, prop in (("filename", "3704"), ("longname", "3707")):
                t = self.text(ab, prop)
                if t is not None:
                    out.append("%satt%d.%s %s" % (label, i, name, t))
            data = self.read(ab + "__substg1.0_37010102")
            if data is not None:
                out.append("%satt%d.data %d %s" % (label, i, len(data), fnv(data)))
            inner = ab + "__substg1.0_3701000D"
            if inner in self.storages:
                self.dump(inner + "/", "%satt%d.msg." % (label, i), 24, out)


def main():
    ole = olefile.OleFileIO(sys.argv[1])
    msg = Msg(ole)
    out = []
    for path in sorted(msg.streams):
        data = msg.read(path)
        out.append("stream %s %d %s" % (path, len(data), fnv(data)))
    out.append("rootclsid %s" % ole.root.clsid.upper())
    msg.dump("", "", 32, out)
    print("\n".join(out))


if __name__ == "__main__":
    main()
