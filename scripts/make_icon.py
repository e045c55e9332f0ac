#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

    scripts/make_icon.py OUT.ico

The picture is drawn here from shapes (a parcel on a blue tile), so the icon
needs no image file or library: seven images, 16, 24 and 48 pixels with a
256-colour palette and 16, 24, 48 and 64 pixels in 32-bit colour with alpha.
The output is the same byte for byte on every run.
"""
import struct
import sys

SUPERSAMPLE = 4


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_rect(x, y, x0, y0, x1, y1):
    return x0 <= x <= x1 and y0 <= y <= y1


def sample(x, y):
    """Colour (r, g, b) of the picture at (x, y) in [0, 1]², or None outside it."""
    # The parcel: lid, body and a strap across both, over a blue tile.
    if in_rect(x, y, 0.44, 0.25, 0.56, 0.83):
        return (178, 58, 40) if y > 0.41 else (205, 75, 52)
    if in_rect(x, y, 0.17, 0.25, 0.83, 0.41):
        return (252, 205, 90)
    if in_rect(x, y, 0.22, 0.41, 0.78, 0.83):
        return (230, 165, 48) if y > 0.44 else (196, 132, 30)  # the lid's shadow
    if in_rounded_rect(x, y, 0.02, 0.02, 0.98, 0.98, 0.2):
        if not in_rounded_rect(x, y, 0.07, 0.07, 0.93, 0.93, 0.16):
            return (18, 48, 98)  # the tile's rim
        return lerp((70, 140, 215), (26, 70, 140), y)
    return None


def render(size):
    """Rows of (r, g, b, a) pixels, top row first."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(round(v / hits) for v in acc) + (round(255 * hits / (n * n)),))
        rows.append(row)
    return rows


def palette():
    """256 colours: the 6x6x6 cube and 40 greys."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(round(i * 255 / 41),) * 3 for i in range(1, 41)]
    return colours


def nearest(colours, c):
    return min(range(len(colours)),
               key=lambda i: sum((colours[i][k] - c[k]) ** 2 for k in range(3)))


def row_bytes(bits, width):
    return ((bits * width + 31) // 32) * 4


def and_mask(rows, size):
    out = bytearray()
    stride = row_bytes(1, size)
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def dib_header(size, bits, image_bytes):
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, image_bytes, 0, 0,
                       256 if bits == 8 else 0, 0)


def image_8bit(size):
    rows = render(size)
    colours = palette()
    cache = {}
    stride = row_bytes(8, size)
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, p in enumerate(row):
            if p[3] >= 128:
                if p[:3] not in cache:
                    cache[p[:3]] = nearest(colours, p[:3])
                line[x] = cache[p[:3]]
        pixels += line
    mask = and_mask(rows, size)
    pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in colours)
    return dib_header(size, 8, len(pixels) + len(mask)) + pal + bytes(pixels) + mask


def image_32bit(size):
    rows = render(size)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += struct.pack('<BBBB', b, g, r, a)
    mask = and_mask(rows, size)
    return dib_header(size, 32, len(pixels) + len(mask)) + bytes(pixels) + mask


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: make_icon.py OUT.ico')
    images = [(16, 8), (24, 8), (48, 8), (16, 32), (24, 32), (48, 32), (64, 32)]
    blobs = [(s, bits, image_8bit(s) if bits == 8 else image_32bit(s)) for s, bits in images]
    out = struct.pack('<HHH', 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    for s, bits, blob in blobs:
        out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    out += b''.join(blob for _, _, blob in blobs)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
