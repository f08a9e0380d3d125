#!/usr/bin/env python3
"""Draws the setup's icon and writes res/brisquel.ico.

Four images: 16, 32 and 48 px as 32-bit bitmaps with alpha, 256 px as PNG.
The picture: a rounded blue tile carrying three staggered bricks (the
builder builds), drawn with simple supersampled shapes so every size is
crisp. Run it again after changing the drawing; the output is
deterministic.
"""
import os
import struct
import zlib

BLUE_TOP = (52, 120, 246)
BLUE_BOTTOM = (24, 72, 190)
BRICK = (255, 176, 46)
BRICK_EDGE = (214, 120, 18)


def coverage(size, inside, ss=4):
    """Per-pixel alpha of a shape given as inside(x, y) on a unit square."""
    out = []
    for py in range(size):
        row = []
        for px in range(size):
            hits = 0
            for sy in range(ss):
                for sx in range(ss):
                    x = (px + (sx + 0.5) / ss) / size
                    y = (py + (sy + 0.5) / ss) / size
                    hits += inside(x, y)
            row.append(hits / (ss * ss))
        out.append(row)
    return out


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


BRICKS = [  # x0, y0, x1, y1 in unit coordinates
    (0.20, 0.58, 0.47, 0.76), (0.53, 0.58, 0.80, 0.76),
    (0.365, 0.38, 0.635, 0.56),
    (0.20, 0.18, 0.47, 0.36),
]


def draw(size):
    tile = coverage(size, rounded_rect(0.04, 0.04, 0.96, 0.96, 0.2))
    bricks = coverage(size, lambda x, y: any(
        rounded_rect(b[0], b[1], b[2], b[3], 0.03)(x, y) for b in BRICKS))
    edges = coverage(size, lambda x, y: any(
        rounded_rect(b[0], b[3] - 0.035, b[2], b[3], 0.02)(x, y) for b in BRICKS))
    pixels = []
    for y in range(size):
        t = y / max(size - 1, 1)
        base = tuple(round(a + (b - a) * t) for a, b in zip(BLUE_TOP, BLUE_BOTTOM))
        row = []
        for x in range(size):
            c = base
            kb = bricks[y][x]
            c = tuple(round(c[i] * (1 - kb) + BRICK[i] * kb) for i in range(3))
            ke = edges[y][x]
            c = tuple(round(c[i] * (1 - ke) + BRICK_EDGE[i] * ke) for i in range(3))
            row.append(c + (round(255 * tile[y][x]),))
        pixels.append(row)
    return pixels


def bmp_image(size, pixels):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(xor) + bytes(mask)


def png_image(size, pixels):
    raw = bytearray()
    for row in pixels:
        raw.append(0)
        for p in row:
            raw += bytes(p)

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xffffffff))
    ihdr = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', ihdr) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def main():
    images = []
    for size in (16, 32, 48):
        images.append((size, bmp_image(size, draw(size))))
    images.append((256, png_image(256, draw(256))))
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size == 256 else size
        out += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'brisquel.ico')
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
