#!/usr/bin/env python3
"""Draws the program's icon (a rounded tile with a download arrow into a tray)
and writes it as a Windows .ico with the usual sizes up to 256 px.

Usage: make-icon.py OUTPUT.ico [PREVIEW.png]
Standard library only. Every size is stored as PNG, which Windows reads in
icons since Vista: a fraction of the 32-bit DIBs' size (the executable has a
size budget).
"""
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 256]
TOP = (0x2B, 0x6C, 0xB0)     # tile gradient, top
BOTTOM = (0x17, 0x3F, 0x75)  # tile gradient, bottom
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, inset, radius):
    lo, hi = inset, 1.0 - inset
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y):
    # Shaft, head and tray, in unit coordinates (y grows downward).
    if 0.43 <= x <= 0.57 and 0.18 <= y <= 0.52:
        return True
    if 0.46 <= y <= 0.70:
        half = (0.70 - y) * 0.95
        if abs(x - 0.5) <= half:
            return True
    if 0.74 <= y <= 0.82 and 0.24 <= x <= 0.76:
        return True
    if 0.62 <= y <= 0.82 and (0.24 <= x <= 0.32 or 0.68 <= x <= 0.76):
        return True
    return False


def render(size):
    samples = 4 if size <= 64 else 3
    inset = 0.04 if size >= 32 else 0.0
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            tile = arrow = 0
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) / size
                    y = (py + (sy + 0.5) / samples) / size
                    if inside_rounded_square(x, y, inset, 0.18):
                        tile += 1
                        if inside_arrow(x, y):
                            arrow += 1
            n = samples * samples
            t = py / max(size - 1, 1)
            base = tuple(round(TOP[i] * (1 - t) + BOTTOM[i] * t) for i in range(3))
            a = arrow / max(tile, 1)
            color = tuple(round(base[i] * (1 - a) + WHITE[i] * a) for i in range(3))
            row.append(color + (round(255 * tile / n),))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(rows)))
        if size == 256 and len(sys.argv) == 3:
            with open(sys.argv[2], "wb") as preview:
                preview.write(png(rows))
    offset = 6 + 16 * len(images)
    directory = struct.pack("<HHH", 0, 1, len(images))
    data = b""
    for size, image in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    with open(sys.argv[1], "wb") as out:
        out.write(directory + data)


if __name__ == "__main__":
    main()
