#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into fuzz/corpus/<name>/ (run from the repository root)."""
import os
import struct
import zlib


def be16(v): return struct.pack(">H", v)
def be32(v): return struct.pack(">I", v)


def flattened(reason, text=b"", detail=b""):
    """A flattened error-log entry with one SRC, as the platform stores it."""
    src = be16(0xAB00) + bytes([0xD1, 0x10]) + be32(0) + be16(0x4399) + be16(reason)
    src += be32(1) + be32(2) + be32(3) + be32(4) + bytes([0x75, 2 if text else 0]) + be16(len(text)) + text
    total = 24 + len(src) + len(detail) + 4
    head = be32(0x4745524C) + be16(1) + be16(1) + be32(total) + bytes([0, 0, 0, 0]) + be32(0) + be32(len(detail))
    body = head + src + detail
    return body + be32(zlib.crc32(body))


def table(entries):
    """A unit gard table image: (unit, group, state, errorType) per entry."""
    img = bytearray(14504)
    img[0:4] = be32(0xCAFE0001)
    for i, (unit, group, state, etype) in enumerate(entries):
        img[4 + 12 * i:16 + 12 * i] = b"SN%010d" % i
        img[3004 + 4 * i:3008 + 4 * i] = be32(group)
        img[4004 + 2 * i:4006 + 2 * i] = be16(unit)
        img[4504 + 4 * i:4508 + 4 * i] = be32(state)
        img[5504 + 4 * i:5508 + 4 * i] = be32(etype)
    return bytes(img)


def record(state):
    return bytes([0x0C, 0x05, state]) + b"\xff" * 29


def write(name, seeds):
    os.makedirs(f"fuzz/corpus/{name}", exist_ok=True)
    for i, seed in enumerate(seeds):
        with open(f"fuzz/corpus/{name}/seed{i:02d}", "wb") as f:
            f.write(seed)


entries = [(0x10 + i, 1, s, 0) for i, s in enumerate([0x5C, 0x5D, 0xED, 0xCC, 0xEC])]
head = lambda op, unit, group, value: bytes([op]) + be16(unit) + be32(group) + be32(value) + b"SN%010d" % 1
write("unit_table", [head(0, 0x11, 1, 0), head(2, 0x11, 1, 0) + b"\x01" + table(entries),
                     head(3, 0x12, 1, 0x00ED0103) + b"\x01" + table(entries), head(1, 0, 0, 0) + b"\x01",
                     head(4, 0, 0, 0) + b"\x01", head(5, 0, 0, 0) + b"\x00" + b"\x00" * 100])

slot = be32(0x2E71) + be32(5) + flattened(0xAB01, b"B1AB0001 stored")
write("stored_errl", [bytes([op]) + be32(0x2E71) + be32(5) + be16(64) + b"\x02" + be16(2056) + slot
                      for op in range(5)] + [b"\x00" + be32(0x2E92) + be32(6) + be16(3000) + b"\x01"])

kw = lambda op, flags, k0, k1, pos=0, role=1, sib=1, unit=0, state=0x5D: (
    bytes([op, flags, len(k0)]) + k0 + bytes([len(k1)]) + k1 + bytes([pos, role, sib, unit, state]) +
    be32(0x010000B7) + record(0xEC))
write("keyword", [kw(op, 0, record(0x5C), record(0x5D)) for op in range(11)] +
      [kw(0, 0, b"\xff" * 32, b"\x0c\x05"), kw(2, 0x10, record(0x5D), b"", state=0xEC),
       kw(9, 0, record(0xED), record(0x5C), pos=1, role=1, unit=1), kw(7, 0x08, b"\x0c\x05\x5c", b"", role=0)])

write("unflatten", [flattened(0xCA01), flattened(0xAB01, b"B1AB0001 with text", b"\x5a" * 40), b"GERL"])
