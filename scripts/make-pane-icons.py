#!/usr/bin/env python3
"""Draws the settings pane's icon, the one Settings shows beside "Quelline"
in its list and the pane's title: a rounded square in the toggle's selected
colour with the toggle's white crescent, at 29, 58 and 87 px (1x, 2x, 3x of
Settings' 29-point icons), into pane/icon.png, icon@2x.png and icon@3x.png.

Python's standard library only (zlib), so the files come out the same byte
for byte on every machine:

  scripts/make-pane-icons.py [FOLDER]      # FOLDER defaults to pane/
"""

import os
import struct
import sys
import zlib

# The toggle's selected colour (module/toggle_module.cpp: 0.01, 0.53, 0.53).
BACKGROUND = (3, 135, 135)
FOREGROUND = (255, 255, 255)
SIZES = {"icon.png": 29, "icon@2x.png": 58, "icon@3x.png": 87}
SAMPLES = 8  # per pixel and axis: the edges are anti-aliased


def inside_square(x, y):
    """Within the rounded square of side 1 (corner radius as Settings' own
    icons, about 0.225 of the side)."""
    radius = 0.225
    cx = min(max(x, radius), 1 - radius)
    cy = min(max(y, radius), 1 - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_crescent(x, y):
    """A crescent: a disc with a smaller disc cut out towards its upper right."""
    in_moon = (x - 0.5) ** 2 + (y - 0.5) ** 2 <= 0.30 ** 2
    in_shadow = (x - 0.63) ** 2 + (y - 0.38) ** 2 <= 0.25 ** 2
    return in_moon and not in_shadow


def pixel(size, px, py):
    square = crescent = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_square(x, y):
                square += 1
                if inside_crescent(x, y):
                    crescent += 1
    total = SAMPLES * SAMPLES
    if square == 0:
        return (0, 0, 0, 0)
    # The crescent's share of the covered part, over the background.
    share = crescent / square
    rgb = tuple(round(b + (f - b) * share) for b, f in zip(BACKGROUND, FOREGROUND))
    return (*rgb, round(255 * square / total))


def png(size):
    rows = bytearray()
    for py in range(size):
        rows.append(0)  # filter: none
        for px in range(size):
            rows.extend(pixel(size, px, py))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">2I5B", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b""))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "pane")
    os.makedirs(folder, exist_ok=True)
    for name, size in SIZES.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(png(size))


if __name__ == "__main__":
    main()
