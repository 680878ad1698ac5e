#!/usr/bin/env python3
"""Draw the program logo qx.bmp: two channel traces (A white, B orange) on a
dark blue rounded square. 64 x 64 pixels, 24-bit uncompressed BMP.

Pure python3, no extra modules. Run from any directory:
    python3 resources/make_logo.py [output.bmp]
"""
import math
import os
import struct
import sys

SIZE = 64
SS = 4                      # supersampling factor per axis
CORNER = (0, 128, 255)      # banner blue, so the rounded corners blend in
TILE = (12, 38, 92)         # dark blue tile
GRID = (38, 74, 140)        # faint grid lines on the tile
RIM = (90, 150, 230)        # thin light rim of the tile
TRACE_A = (255, 255, 255)   # channel A: white
TRACE_B = (255, 150, 20)    # channel B: orange
RADIUS = 12.0
HALF_WIDTH = 1.6            # half thickness of a trace, in pixels


def rounded_square_distance(x, y):
    """Signed distance to the tile outline (negative inside)."""
    c = SIZE / 2.0
    h = SIZE / 2.0 - 1.0 - RADIUS
    qx = abs(x - c) - h
    qy = abs(y - c) - h
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    inside = min(max(qx, qy), 0.0)
    return outside + inside - RADIUS


def trace_a(x):
    return 24.0 - 10.0 * math.sin(2.0 * math.pi * (x - 8.0) / 34.0)


def trace_b(x):
    return 41.0 + 8.0 * math.sin(2.0 * math.pi * (x - 4.0) / 26.0)


def distance_to_curve(f, x, y):
    """Approximate distance from (x, y) to the graph of f near x."""
    best = 1e9
    step = 0.25
    t = x - 4.0
    while t <= x + 4.0:
        d = math.hypot(t - x, f(t) - y)
        if d < best:
            best = d
        t += step
    return best


def sample(x, y):
    d = rounded_square_distance(x, y)
    if d > 0.0:
        return CORNER
    if d > -1.5:
        return RIM
    colour = TILE
    if 8.0 <= x <= 56.0 and 8.0 <= y <= 56.0:
        if abs((x - 8.0) % 12.0) < 0.5 or abs((y - 8.0) % 12.0) < 0.5:
            colour = GRID
    if 6.0 <= x <= 58.0:
        if distance_to_curve(trace_b, x, y) <= HALF_WIDTH:
            colour = TRACE_B
        if distance_to_curve(trace_a, x, y) <= HALF_WIDTH:
            colour = TRACE_A
    return colour


def render():
    pixels = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            acc = [0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = sample(px + (sx + 0.5) / SS, py + (sy + 0.5) / SS)
                    acc[0] += c[0]
                    acc[1] += c[1]
                    acc[2] += c[2]
            n = SS * SS
            row.append(tuple(int(round(v / n)) for v in acc))
        pixels.append(row)
    return pixels


def write_bmp(path, pixels):
    height = len(pixels)
    width = len(pixels[0])
    row_bytes = (width * 3 + 3) & ~3
    image_size = row_bytes * height
    offset = 14 + 40
    header = struct.pack('<2sIHHI', b'BM', offset + image_size, 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0,
                       image_size, 2835, 2835, 0, 0)
    body = bytearray()
    for row in reversed(pixels):            # BMP rows run bottom-up
        for r, g, b in row:
            body += bytes((b, g, r))        # stored as blue, green, red
        body += b'\0' * (row_bytes - width * 3)
    with open(path, 'wb') as f:
        f.write(header + info + body)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, 'qx.bmp')
    write_bmp(out, render())


if __name__ == '__main__':
    main()
