#!/usr/bin/env python3
"""Draws the two windows' icons as 16-colour .ico files (32x32 and 16x16),
and the program's icon for the desktop's menu as PNG files of 16 and 32
pixels (ackmereprobe-16.png, ackmereprobe-32.png; installed into the hicolor
icon theme).

Run it again after changing the drawings; the files it writes are committed.
Python's standard library only.
"""
import struct
import sys
import zlib
from pathlib import Path

# The classic 16-colour palette.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, GREEN, GREY, DARKGREY, WHITE, YELLOW, RED, LIME = 0, 4, 2, 7, 8, 15, 11, 9, 10
CLEAR = None


def canvas(size):
    return [[CLEAR] * size for _ in range(size)]


def rect(img, x0, y0, x1, y1, colour, scale):
    for y in range(int(y0 * scale), int(y1 * scale)):
        for x in range(int(x0 * scale), int(x1 * scale)):
            img[y][x] = colour


def line(img, points, colour, scale, width=2):
    for (ax, ay), (bx, by) in zip(points, points[1:]):
        steps = 64
        for i in range(steps + 1):
            x = (ax + (bx - ax) * i / steps) * scale
            y = (ay + (by - ay) * i / steps) * scale
            for dy in range(max(1, int(width * scale))):
                for dx in range(max(1, int(width * scale))):
                    xx, yy = int(x) + dx, int(y) + dy
                    if 0 <= xx < len(img) and 0 <= yy < len(img):
                        img[yy][xx] = colour


def interface_icon(size):
    """A message arriving in a tray, answered with a green tick."""
    s = size / 32
    img = canvas(size)
    rect(img, 2, 6, 30, 28, BLACK, s)
    rect(img, 3, 7, 29, 27, GREY, s)
    rect(img, 5, 9, 27, 20, NAVY, s)
    for y in (11, 14, 17):
        rect(img, 7, y, 20, y + 1.5, WHITE, s)
    rect(img, 5, 22, 27, 25, DARKGREY, s)
    line(img, [(14, 18), (19, 24), (29, 8)], LIME, s, width=3)
    return img


def setup_icon(size):
    """A settings sheet with three sliders."""
    s = size / 32
    img = canvas(size)
    rect(img, 4, 2, 28, 30, BLACK, s)
    rect(img, 5, 3, 27, 29, YELLOW, s)
    for y, knob in ((8, 18), (15, 10), (22, 21)):
        rect(img, 8, y, 24, y + 2, DARKGREY, s)
        rect(img, knob - 2, y - 2, knob + 2, y + 4, RED, s)
    return img


def bmp_entry(img):
    size = len(img)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    xor_rows, and_rows = [], []
    for row in reversed(img):
        packed = bytearray()
        for x in range(0, size, 2):
            hi = row[x] if row[x] is not None else 0
            lo = row[x + 1] if row[x + 1] is not None else 0
            packed.append((hi << 4) | lo)
        packed += b'\0' * (-len(packed) % 4)
        xor_rows.append(bytes(packed))
        mask = bytearray((size + 7) // 8)
        for x, colour in enumerate(row):
            if colour is None:
                mask[x // 8] |= 0x80 >> (x % 8)
        mask += b'\0' * (-len(mask) % 4)
        and_rows.append(bytes(mask))
    return header + palette + b''.join(xor_rows) + b''.join(and_rows)


def write_ico(path, images):
    entries, blobs = [], []
    offset = 6 + 16 * len(images)
    for img in images:
        blob = bmp_entry(img)
        size = len(img)
        entries.append(struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(blob), offset))
        blobs.append(blob)
        offset += len(blob)
    Path(path).write_bytes(struct.pack('<HHH', 0, 1, len(images)) + b''.join(entries) + b''.join(blobs))


def png_chunk(kind, data):
    body = kind + data
    return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xffffffff)


def write_png(path, img):
    """An 8-bit RGBA PNG; the clear pixels are fully transparent."""
    size = len(img)
    rows = bytearray()
    for row in img:
        rows.append(0)  # filter type None
        for colour in row:
            if colour is None:
                rows += bytes((0, 0, 0, 0))
            else:
                rows += bytes(PALETTE[colour]) + b'\xff'
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    Path(path).write_bytes(b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', header)
                           + png_chunk(b'IDAT', zlib.compress(bytes(rows), 9))
                           + png_chunk(b'IEND', b''))


if __name__ == '__main__':
    here = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent)
    write_ico(here / 'frminterface.ico', [interface_icon(32), interface_icon(16)])
    write_ico(here / 'frmsetup.ico', [setup_icon(32), setup_icon(16)])
    for size in (16, 32):
        write_png(here / f'ackmereprobe-{size}.png', interface_icon(size))
