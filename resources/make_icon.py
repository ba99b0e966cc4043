#!/usr/bin/env python3
"""Draws the application icon IDI_ICON1 and writes it as ifdiag.ico (32x32, 16 colours,
the form the resource compiler and the Qt layer both read) and as PNGs in the freedesktop
sizes under hicolor/ (desktop menus do not take .ico), scaled by nearest neighbour so the
pixel art stays sharp. Only the standard library is used, so any machine can regenerate
them:  python3 resources/make_icon.py resources
"""
import math
import os
import struct
import sys
import zlib

# The 16-colour VGA palette: a 4-bit icon looks the same on every display depth.
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DKRED, DKGREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8, 16)
N = 32
CLEAR = None


def draw():
    px = [[CLEAR] * N for _ in range(N)]

    def put(x, y, c):
        if 0 <= x < N and 0 <= y < N:
            px[y][x] = c

    def rect(x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                put(x, y, c)

    # The box: a silver housing with a dark outline and a lit top-left edge.
    rect(1, 6, 24, 29, SILVER)
    for x in range(1, 25):
        put(x, 6, BLACK)
        put(x, 29, BLACK)
    for y in range(6, 30):
        put(1, y, BLACK)
        put(24, y, BLACK)
    for x in range(2, 24):
        put(x, 7, WHITE)
    for y in range(7, 29):
        put(2, y, WHITE)
    for x in range(3, 24):
        put(x, 28, GREY)
    for y in range(8, 29):
        put(23, y, GREY)

    # The motor wheel: a navy disc with a white hub and four spokes.
    cx, cy, r = 11.5, 17.5, 7.6
    for y in range(N):
        for x in range(N):
            d = math.hypot(x - cx, y - cy)
            if d <= r:
                put(x, y, NAVY if d > r - 1.6 else BLUE)
    for k in range(4):
        a = k * math.pi / 2 + math.pi / 4
        for t in range(2, 7):
            put(int(round(cx + t * math.cos(a))), int(round(cy + t * math.sin(a))), CYAN)
    rect(10, 16, 13, 19, WHITE)
    rect(11, 17, 12, 18, BLACK)

    # Two status lamps on the housing.
    rect(19, 10, 21, 11, GREEN)
    rect(19, 13, 21, 14, RED)

    # Signal lines leaving the box: a pulse train (digital) and a ramp (analog).
    pulse = [0, 0, 1, 1, 0, 0, 1, 1]
    for i, hi in enumerate(pulse):
        x = 24 + i
        put(x, 17 if hi else 20, YELLOW)
        if i and pulse[i - 1] != hi:
            for y in range(17, 21):
                put(x, y, YELLOW)
    for i in range(8):
        put(24 + i, 27 - i // 2, GREEN)
    # The serial cable at the top.
    for y in range(0, 6):
        put(6, y, BLACK)
        put(7, y, GREY)
    return px


def ico(px):
    bits = bytearray()
    for y in reversed(range(N)):  # bitmaps are stored bottom-up
        for x in range(0, N, 2):
            hi = px[y][x] or 0
            lo = px[y][x + 1] or 0
            bits.append(hi << 4 | lo)
    mask = bytearray()
    for y in reversed(range(N)):
        row = 0
        for x in range(N):
            row = row << 1 | (1 if px[y][x] is CLEAR else 0)
        mask += struct.pack(">I", row)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, N, 2 * N, 1, 4, 0, len(bits) + len(mask), 0, 0,
                         16, 0)
    image = header + palette + bytes(bits) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", N, N, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def png(px, n):
    # Nearest neighbour: each output pixel takes the source pixel under its centre.
    pick = [(2 * i + 1) * N // (2 * n) for i in range(n)]
    raw = bytearray()
    for y in pick:
        raw.append(0)
        for c in (px[y][x] for x in pick):
            raw += bytes(PALETTE[c]) + b"\xff" if c is not CLEAR else b"\0\0\0\0"

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", n, n, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    px = draw()
    with open(os.path.join(out, "ifdiag.ico"), "wb") as f:
        f.write(ico(px))
    for n in (16, 22, 24, 32, 48, 64, 128, 256):
        folder = os.path.join(out, "hicolor", "%dx%d" % (n, n), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "ifdiag.png"), "wb") as f:
            f.write(png(px, n))


if __name__ == "__main__":
    main()
