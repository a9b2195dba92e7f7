#!/usr/bin/env python3
"""Writes the two faces of the test stem MIXED into the folder given: MIXEDU with per-pixel alpha
(an opaque orange plate with a half-transparent rim) and MIXEDD colour-keyed (a blue plate on
magenta), both 24 x 16, so one button holds a face of each kind."""
import os
import struct
import sys

W, H = 24, 16


def bmp(pixels, bits):
    stride = (W * bits // 8 + 3) & ~3
    rows = []
    for y in range(H - 1, -1, -1):
        row = bytearray()
        for x in range(W):
            r, g, b, a = pixels(x, y)
            row += bytes((b, g, r, a)) if bits == 32 else bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    data = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, bits, 0, len(data), 2835, 2835, 0, 0)
    return struct.pack("<2sIHHI", b"BM", 14 + 40 + len(data), 0, 0, 14 + 40) + info + data


def rim(x, y):
    return x in (0, W - 1) or y in (0, H - 1)


def alpha_face(x, y):
    return (230, 140, 40, 96 if rim(x, y) else 255)


def keyed_face(x, y):
    return (255, 0, 255, 0) if rim(x, y) or rim(x - 1, y - 1) else (40, 90, 220, 0)


out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for name, face, bits in (("MIXEDU", alpha_face, 32), ("MIXEDD", keyed_face, 24)):
    with open(os.path.join(out, name + ".bmp"), "wb") as f:
        f.write(bmp(face, bits))
