#!/usr/bin/python3
"""Independent reading of a message file through olefile, for the tests.

Prints one line per fact, in the same form the test prints from our reader:
every stream (path, size, FNV-1a 64 of its bytes), then subject, body,
recipients and attachments (recursively for embedded messages).
Texts are "U:<hex of UTF-8>" for Unicode streams, "A:<hex of bytes>" for
8-bit ones, both cut at the first NUL.

With --named before the path it prints, after those lines, the top-level
message's named properties as the file's name storage maps them, one line
each, sorted: "named <GUID> S:<name>|I:<id as 4 hex digits> <type as 4 hex
digits> <value>", the value as decimal (integers, booleans), "U:<hex of
UTF-8>" (Unicode text) or hex (binary, times as their 64-bit integer).
"""
import struct
import sys
import uuid

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


# GUID indexes 1 and 2 of the name storage stand for these two sets.
FIXED_SETS = {1: "00020328-0000-0000-C000-000000000046",   # PS_MAPI
              2: "00020329-0000-0000-C000-000000000046"}   # PS_PUBLIC_STRINGS


def named(msg, out):
    ps = msg.read("__properties_version1.0") or b""
    base = "__nameid_version1.0/__substg1.0_000%d0102"
    guids = msg.read(base % 2) or b""
    entries = msg.read(base % 3) or b""
    strings = msg.read(base % 4) or b""
    by_index = {}
    for off in range(0, len(entries) - 7, 8):
        key, kind, index = struct.unpack_from("<IHH", entries, off)
        by_index[index] = (key, kind)
    lines = []
    for off in range(32, len(ps) - 15, 16):
        tag, = struct.unpack_from("<I", ps, off)
        pid, ptype = tag >> 16, tag & 0xFFFF
        if pid < 0x8000:
            continue
        if pid - 0x8000 not in by_index:
            lines.append("named unmapped %04X %04X" % (pid, ptype))
            continue
        key, kind = by_index[pid - 0x8000]
        gi = kind >> 1
        if gi in FIXED_SETS:
            guid = FIXED_SETS[gi]
        else:
            guid = str(uuid.UUID(bytes_le=guids[(gi - 3) * 16:(gi - 2) * 16])).upper()
        if kind & 1:
            length, = struct.unpack_from("<I", strings, key)
            name = "S:" + strings[key + 4:key + 4 + length].decode("utf-16-le")
        else:
            name = "I:%04X" % key
        fixed = ps[off + 8:off + 16]
        if ptype == 0x0002:
            value = str(struct.unpack_from("<h", fixed)[0])
        elif ptype == 0x0003:
            value = str(struct.unpack_from("<i", fixed)[0])
        elif ptype == 0x000B:
            value = str(struct.unpack_from("<H", fixed)[0])
        elif ptype in (0x0014, 0x0040):
            value = "%x" % struct.unpack_from("<Q", fixed)[0]
        else:
            data = msg.read("__substg1.0_%04X%04X" % (pid, ptype)) or b""
            if ptype == 0x001F:
                value = "U:" + data.decode("utf-16-le").split("\0")[0].encode("utf-8").hex()
            else:
                value = data.hex()
        lines.append("named {%s} %s %04X %s" % (guid, name, ptype, value))
    out.extend(sorted(lines))


def main():
    args = sys.argv[1:]
    with_named = args[0] == "--named"
    if with_named:
        args = args[1:]
    ole = olefile.OleFileIO(args[0])
    msg = Msg(ole)
    out = []
    for path in sorted(msg.streams):
        data = msg.read(path)
        out.append("stream %s %d %s" % (path, len(data), fnv(data)))
    out.append("rootclsid %s" % ole.root.clsid.upper())
    msg.dump("", "", 32, out)
    if with_named:
        named(msg, out)
    print("\n".join(out))


if __name__ == "__main__":
    main()
