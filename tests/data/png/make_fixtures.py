#!/usr/bin/env python3
"""Writes the PNG fixtures of png_test: one small picture in every colour type
and bit depth, plain and Adam7-interlaced, each row with another of the five
filters, its image data split over several IDAT chunks. Pixel values follow
sample() below, which the test computes too; ImageMagick checks the files
where it is installed. Run from this folder: python3 make_fixtures.py"""
import struct
import zlib

WIDTH, HEIGHT = 19, 11
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
SAMPLES = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def sample(x, y, c, bits):
    return ((x * 73856093) ^ (y * 19349663) ^ (c * 83492791)) & 0xFFFFFFFF & ((1 << bits) - 1)


def palette_entry(k):
    return bytes(((k * 37 + 11) & 255, (k * 91 + 7) & 255, (k * 143 + 3) & 255))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def stored_row(xs, y, colour, depth):
    """The row's samples packed at the bit depth, big-endian, MSB first."""
    values = [sample(x, y, c, depth) for x in xs for c in range(SAMPLES[colour])]
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in values)
    if depth == 8:
        return bytes(values)
    per_byte, out = 8 // depth, bytearray()
    for i in range(0, len(values), per_byte):
        byte = 0
        for j, v in enumerate(values[i:i + per_byte]):
            byte |= v << (8 - depth * (j + 1))
        out.append(byte)
    return bytes(out)


def filtered(rows, bpp):
    out, previous = bytearray(), None
    for index, row in enumerate(rows):
        kind = index % 5
        up = previous or bytes(len(row))
        line = bytearray([kind])
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = up[i]
            c = up[i - bpp] if i >= bpp else 0
            predicted = [0, a, b, (a + b) // 2, paeth(a, b, c)][kind]
            line.append((x - predicted) & 255)
        out += line
        previous = row
    return bytes(out)


def picture(colour, depth, interlaced, chunks_before_data=b""):
    bpp = max(1, SAMPLES[colour] * depth // 8)
    passes = ADAM7 if interlaced else [(0, 0, 1, 1)]
    raw = b""
    for x0, y0, dx, dy in passes:
        xs = list(range(x0, WIDTH, dx))
        if not xs:
            continue
        raw += filtered([stored_row(xs, y, colour, depth) for y in range(y0, HEIGHT, dy)], bpp)
    data = zlib.compress(raw, 9)
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, depth, colour, 0, 0, 1 if interlaced else 0)
    out = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"tEXt", b"Comment\0fixture")
    out += chunks_before_data
    for i in range(0, len(data), 97):
        out += chunk(b"IDAT", data[i:i + 97])
    return out + chunk(b"IEND", b"")


def extra_chunks(colour, depth):
    """A palette where there is one; tRNS on some; colour space on RGB."""
    extra = b""
    if colour == 3:
        extra += chunk(b"PLTE", b"".join(palette_entry(k) for k in range(1 << depth)))
        if depth == 4:
            extra += chunk(b"tRNS", bytes((k * 25) & 255 for k in range(10)))
    if colour == 0 and depth == 2:
        extra += chunk(b"tRNS", struct.pack(">H", sample(3, 2, 0, 2)))
    if colour == 2 and depth == 16:
        extra += chunk(b"tRNS", b"".join(struct.pack(">H", sample(3, 2, c, 16)) for c in range(3)))
    if colour == 2 and depth == 8:
        extra = chunk(b"sRGB", b"\0") + chunk(b"gAMA", struct.pack(">I", 45455)) + extra
    return extra


NAMES = {0: "grey", 2: "rgb", 3: "palette", 4: "greyalpha", 6: "rgba"}
DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
for colour, depths in DEPTHS.items():
    for depth in depths:
        for interlaced in (False, True):
            name = f"{NAMES[colour]}{depth}{'-adam7' if interlaced else ''}.png"
            with open(name, "wb") as out:
                out.write(picture(colour, depth, interlaced, extra_chunks(colour, depth)))
# A palette shorter than the indices that the image data holds.
with open("palette-index-out-of-range.png", "wb") as out:
    out.write(picture(3, 4, False, chunk(b"PLTE", palette_entry(0) * 3)))
