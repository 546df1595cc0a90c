#!/usr/bin/env python3
"""Draws the ripper's program icon (Ravelin.ico) and the link's hand cursor (HandCursor.cur).

Both files are committed; run this script again after changing a drawing.
  make_art.py           write the files beside this script
  make_art.py --check   exit 1 if the committed files differ from what the script draws
"""
import math
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "cmake"))  # the shared icon writer
from icon_file import ico_file  # noqa: E402


def draw_disc_icon(size):
    """A silver disc with a rainbow sheen, its hole, and a red arrow leaving it (the rip)."""
    n = 4  # samples per pixel edge, for smooth edges
    c = size / 2.0
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    px, py = x + (sx + 0.5) / n, y + (sy + 0.5) / n
                    col = sample(px, py, c, size)
                    if col:
                        for i in range(3):
                            acc[i] += col[i]
                        acc[3] += 1
            if acc[3] == 0:
                row.append((0, 0, 0, 0))
            else:
                cov = acc[3] / (n * n)
                row.append(tuple(int(acc[i] / acc[3]) for i in range(3)) + (int(255 * cov),))
        rows.append(row)
    return rows


def sample(px, py, c, size):
    # The arrow sits in the lower right corner, over the disc.
    ax, ay = px / size, py / size
    if 0.55 <= ax <= 0.95 and 0.55 <= ay <= 0.95:
        u, v = ax - 0.55, ay - 0.55  # 0..0.4
        if 0.12 <= u <= 0.28 and v <= 0.22:
            return (200, 30, 30)
        if v >= 0.2 and abs(u - 0.2) <= 0.2 - (v - 0.2):
            return (200, 30, 30)
    r = math.hypot(px - c, py - c) / c
    if r > 0.97:
        return None
    if r < 0.16:
        return None
    if r < 0.30:
        return (235, 235, 240) if r > 0.2 else (150, 150, 160)
    if r > 0.92:
        return (120, 120, 130)
    hue = (math.atan2(py - c, px - c) / (2 * math.pi) + 0.5) * 2 % 1.0
    sheen = tuple(int(190 + 50 * math.cos(2 * math.pi * (hue + k / 3.0))) for k in range(3))
    return sheen


HAND_SHAPE = [
    # x range (inclusive) and y range (inclusive) of the white parts of the hand.
    ((5, 7), (1, 15)),    # index finger, its tip at the top
    ((9, 11), (6, 15)),   # middle finger
    ((13, 15), (7, 15)),  # ring finger
    ((17, 18), (9, 15)),  # little finger
    ((5, 18), (15, 23)),  # palm
    ((6, 17), (24, 27)),  # wrist
]


def hand_pixels():
    inside = set()
    for (x0, x1), (y0, y1) in HAND_SHAPE:
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                inside.add((x, y))
    for y in range(12, 19):  # the thumb, slanting in from the left
        for x in range(1 + max(0, (y - 15)), 5):
            inside.add((x, y))
    outline = set()
    for (x, y) in inside:
        for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            p = (x + dx, y + dy)
            if p not in inside:
                outline.add(p)
    return inside, outline


HOTSPOT = (6, 0)  # the tip of the index finger


def cursor_file():
    inside, outline = hand_pixels()
    assert HOTSPOT in outline
    xor_rows, and_rows = [], []
    for y in range(32):
        xor_bits, and_bits = 0, 0
        for x in range(32):
            bit = 1 << (31 - x)
            if (x, y) in inside:
                xor_bits |= bit        # white
            elif (x, y) not in outline:
                and_bits |= bit        # transparent; outline pixels stay black
        xor_rows.append(xor_bits.to_bytes(4, "big"))
        and_rows.append(and_bits.to_bytes(4, "big"))
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 1, 0, 256, 0, 0, 2, 0)
    palette = struct.pack("<II", 0x000000, 0xFFFFFF)
    image = header + palette + b"".join(reversed(xor_rows)) + b"".join(reversed(and_rows))
    entry = struct.pack("<BBBBHHII", 32, 32, 2, 0, HOTSPOT[0], HOTSPOT[1], len(image), 22)
    return struct.pack("<HHH", 0, 2, 1) + entry + image


def main():
    files = {
        "Ravelin.ico": ico_file([(32, draw_disc_icon(32)), (16, draw_disc_icon(16))]),
        "HandCursor.cur": cursor_file(),
    }
    check = "--check" in sys.argv[1:]
    stale = []
    for name, data in files.items():
        path = HERE / name
        if check:
            if not path.exists() or path.read_bytes() != data:
                stale.append(name)
        else:
            path.write_bytes(data)
    if stale:
        print("out of date (run make_art.py):", ", ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
