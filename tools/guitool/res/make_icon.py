#!/usr/bin/env python3
"""Draws the control panel's program icon (Tolvane.ico): a blue disc sliding into a drive.

The icon is committed; run this script again after changing the drawing.
  make_icon.py           write Tolvane.ico beside this script
  make_icon.py --check   exit 1 if the committed icon differs from what the script draws
"""
import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[2] / "cmake"))  # the shared icon writer
from icon_file import ico_file  # noqa: E402


def sample(u, v):
    """Colour at (u, v) in the unit square, or None where the icon is transparent."""
    # The drive: a dark box across the lower part, with a light slot and a green lamp.
    if 0.04 <= u <= 0.96 and 0.62 <= v <= 0.94:
        if 0.14 <= u <= 0.86 and 0.70 <= v <= 0.75:
            return (30, 30, 34)
        if 0.78 <= u <= 0.86 and 0.82 <= v <= 0.87:
            return (60, 200, 80)
        shade = int(110 - 40 * (v - 0.62) / 0.32)
        return (shade, shade, shade + 10)
    # The disc, half inside the slot.
    r = math.hypot(u - 0.5, v - 0.42) / 0.36
    if r <= 1.0 and v <= 0.72:
        if r < 0.18:
            return None
        if r < 0.32:
            return (225, 230, 240)
        if r > 0.93:
            return (20, 60, 140)
        t = 0.5 + 0.5 * math.cos(6 * math.atan2(v - 0.42, u - 0.5))
        return (int(40 + 60 * t), int(110 + 70 * t), int(210 + 40 * t))
    return None


def draw(size):
    n = 4
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            hits = [sample((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    for sy in range(n) for sx in range(n)]
            hits = [h for h in hits if h]
            if not hits:
                row.append((0, 0, 0, 0))
                continue
            colour = tuple(sum(h[i] for h in hits) // len(hits) for i in range(3))
            row.append(colour + (255 * len(hits) // (n * n),))
        rows.append(row)
    return rows


def main():
    data = ico_file([(32, draw(32)), (16, draw(16))])
    path = HERE / "Tolvane.ico"
    if "--check" in sys.argv[1:]:
        if not path.exists() or path.read_bytes() != data:
            print("out of date (run make_icon.py): Tolvane.ico")
            return 1
        return 0
    path.write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
