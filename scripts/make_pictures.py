#!/usr/bin/env python3
"""Writes the result pictures that a device slot shows when its run ends:

  support/misc/success.bmp  a white check mark on a green disc
  support/misc/fail.bmp     a white cross on a red disc

Run from anywhere; the output is committed. Each is 28 x 28 pixels, 32 bits
per pixel with an alpha channel (a BITMAPV4HEADER with bit fields, stored
bottom-up), so the disc sits on whatever the window draws behind it. The
marks are drawn thick and in strong colours, to be told apart from across a
room by colour and by shape alike; the edges are smoothed by drawing every
pixel as 8 x 8 samples.
"""
import math
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "misc")

SIZE = 28
SAMPLES = 8  # per pixel and axis
RADIUS = SIZE / 2 - 0.35
STROKE = 3.7  # width of the mark's strokes
WHITE = (255, 255, 255)

# name, disc colour, the mark's strokes as (x0, y0, x1, y1) in pixels, y down
PICTURES = [
    ("success.bmp", (0x1B, 0x9E, 0x3E), [(7.0, 14.5, 11.8, 19.3), (11.8, 19.3, 21.0, 9.2)]),
    ("fail.bmp", (0xD3, 0x22, 0x22), [(9.2, 9.2, 18.8, 18.8), (18.8, 9.2, 9.2, 18.8)]),
]


def distance_to_segment(px, py, x0, y0, x1, y1):
    dx, dy = x1 - x0, y1 - y0
    t = max(0.0, min(1.0, ((px - x0) * dx + (py - y0) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (x0 + t * dx), py - (y0 + t * dy))


def pixel(x, y, disc, strokes):
    """The pixel's colour and alpha, averaged over its samples."""
    centre = SIZE / 2
    red = green = blue = covered = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            px = x + (sx + 0.5) / SAMPLES
            py = y + (sy + 0.5) / SAMPLES
            if math.hypot(px - centre, py - centre) > RADIUS:
                continue
            on_mark = any(distance_to_segment(px, py, *s) <= STROKE / 2 for s in strokes)
            colour = WHITE if on_mark else disc
            red += colour[0]
            green += colour[1]
            blue += colour[2]
            covered += 1
    if covered == 0:
        return 0, 0, 0, 0
    alpha = round(255 * covered / (SAMPLES * SAMPLES))
    return round(red / covered), round(green / covered), round(blue / covered), alpha


def bitmap(disc, strokes):
    rows = []
    for y in reversed(range(SIZE)):  # bottom-up
        row = bytearray()
        for x in range(SIZE):
            r, g, b, a = pixel(x, y, disc, strokes)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    header_size = 108  # BITMAPV4HEADER
    info = struct.pack("<IiiHHIIiiII", header_size, SIZE, SIZE, 1, 32, 3, len(pixels), 2835, 2835, 0, 0)
    info += struct.pack("<IIII", 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000)  # R, G, B, A masks
    info += b"BGRs" + bytes(36) + struct.pack("<III", 0, 0, 0)  # sRGB; no end points or gamma
    offset = 14 + len(info)
    return b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) + info + pixels


def main():
    os.makedirs(ROOT, exist_ok=True)
    for name, disc, strokes in PICTURES:
        with open(os.path.join(ROOT, name), "wb") as f:
            f.write(bitmap(disc, strokes))


if __name__ == "__main__":
    main()
