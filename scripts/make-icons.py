#!/usr/bin/env python3
"""Draws the agent's three icons (16 to 48 pixels, 32-bit with alpha) into res/:
107 the program, 110 channel connected (green, a tick), 111 channel not connected (grey, a red cross).
They must be told apart at a glance in a 16-pixel tray slot, so each is a bold shape on a solid disc."""
import math
import os
import struct
import sys

T_GLYPH = ["  #########  ", "  #########  ", "      #      ", "      #      ", "      #      ",
           "      #      ", "      #      ", "      #      ", "      #      "]


def disc(size, x, y):
    c = (size - 1) / 2.0
    r = size / 2.0 - 0.5
    d = math.hypot(x - c, y - c)
    return max(0.0, min(1.0, r - d + 0.5))


def near_segment(px, py, ax, ay, bx, by, width):
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    qx, qy = ax + t * vx, ay + t * vy
    return max(0.0, min(1.0, width / 2.0 - math.hypot(px - qx, py - qy) + 0.5))


def draw(kind, size):
    s = size / 16.0
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            a = disc(size, x, y)
            if kind == 107:
                base = (30, 100, 200)
                gx = int((x - 1.5 * s) / s * 13 / 13)
                gy = int((y - 3.5 * s) / s)
                mark = 0.0
                if 0 <= gy < len(T_GLYPH) and 0 <= gx < 13 and T_GLYPH[gy][gx] == "#":
                    mark = 1.0
                fg = (255, 255, 255)
            elif kind == 110:
                base = (20, 150, 60)
                mark = max(near_segment(x, y, 4 * s, 8.5 * s, 7 * s, 11.5 * s, 2.4 * s),
                           near_segment(x, y, 7 * s, 11.5 * s, 12 * s, 4.5 * s, 2.4 * s))
                fg = (255, 255, 255)
            else:
                base = (120, 120, 120)
                mark = max(near_segment(x, y, 4.5 * s, 4.5 * s, 11 * s, 11 * s, 2.6 * s),
                           near_segment(x, y, 11 * s, 4.5 * s, 4.5 * s, 11 * s, 2.6 * s))
                fg = (235, 30, 30)
            rgb = tuple(int(b * (1 - mark) + f * mark) for b, f in zip(base, fg))
            row.append((rgb, int(255 * a)))
        pixels.append(row)
    return pixels


def bmp_entry(pixels):
    size = len(pixels)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for (r, g, b), a in row:
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, (_, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + bytes(xor) + bytes(and_mask)


# Every size Windows asks for a small or a large icon at 100 % to 300 %: LoadIconMetric then takes an exact
# match instead of scaling a 16-pixel picture up to a blur.
SIZES = (16, 20, 24, 32, 40, 48)


def ico(kind):
    images = [bmp_entry(draw(kind, size)) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(images)


def main():
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    names = {107: "TavrelAgent.ico", 110: "connected.ico", 111: "disconnected.ico"}
    for kind, name in names.items():
        with open(os.path.join(res, name), "wb") as f:
            f.write(ico(kind))
    return 0


if __name__ == "__main__":
    sys.exit(main())
