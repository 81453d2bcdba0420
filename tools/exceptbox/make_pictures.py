#!/usr/bin/env python3
"""Draws the exception box's pictures (our own drawings) into a folder: the
eight 16 x 16 button pictures as 32-bit BMP files (their RT_BITMAP resource is
the 40-byte header and 1024 bytes of blue, green, red, alpha) and the big icon
as a 32 x 32 icon file. Shapes are sampled 4 x 4 per pixel for soft edges.

usage: make_pictures.py OUTPUT_FOLDER"""
import math
import struct
import sys
from pathlib import Path

SUB = 4  # samples per pixel and axis


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[(0, 0, 0, 0.0) for _ in range(size)] for _ in range(size)]

    def fill(self, inside, colour, opacity=1.0):
        """Paints colour over every pixel by the share of samples inside."""
        for y in range(self.size):
            for x in range(self.size):
                hits = sum(inside(x + (i + 0.5) / SUB, y + (j + 0.5) / SUB) for i in range(SUB) for j in range(SUB))
                if hits:
                    self.over(x, y, colour, opacity * hits / (SUB * SUB))

    def over(self, x, y, colour, a):
        r0, g0, b0, a0 = self.px[y][x]
        out = a + a0 * (1 - a)
        mix = [(c * a + c0 * a0 * (1 - a)) / out for c, c0 in zip(colour, (r0, g0, b0))]
        self.px[y][x] = (mix[0], mix[1], mix[2], out)

    def bgra_rows_bottom_up(self):
        data = bytearray()
        for row in reversed(self.px):
            for r, g, b, a in row:
                data += bytes((round(b), round(g), round(r), round(a * 255)))
        return bytes(data)


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r0, r1):
    return lambda x, y: r0 * r0 <= (x - cx) ** 2 + (y - cy) ** 2 <= r1 * r1


def line(x0, y0, x1, y1, width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
        px, py = x0 + t * dx - x, y0 + t * dy - y
        return px * px + py * py <= (width / 2) ** 2
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                hit = not hit
        return hit
    return inside


def outline(c, shape, colour, fill_colour, inset):
    c.fill(shape(0), colour)
    c.fill(shape(inset), fill_colour)


DARK = (60, 60, 70)
ARROW = [(1.5, 6), (8, 6), (8, 2), (14.5, 8), (8, 14), (8, 10), (1.5, 10)]


def mail():
    c = Canvas(16)
    outline(c, lambda d: rect(1 + d, 3 + d, 15 - d, 13 - d), DARK, (250, 244, 214), 1)
    c.fill(line(2, 4, 8, 9, 1.2), DARK)
    c.fill(line(14, 4, 8, 9, 1.2), DARK)
    return c


def save():
    c = Canvas(16)
    c.fill(polygon([(1, 1), (13, 1), (15, 3), (15, 15), (1, 15)]), (36, 72, 150))
    c.fill(rect(4, 1, 11.5, 6), (205, 210, 220))
    c.fill(rect(8.5, 2, 10.5, 5), (36, 72, 150))
    c.fill(rect(3, 9, 13, 15), (250, 250, 250))
    for y in (11, 13):
        c.fill(rect(4.5, y - 0.4, 11.5, y + 0.4), (150, 150, 160))
    return c


def printer():
    c = Canvas(16)
    c.fill(rect(4, 1, 12, 7), (250, 250, 250))
    outline(c, lambda d: rect(1 + d, 6 + d, 15 - d, 12 - d), DARK, (160, 160, 172), 1)
    c.fill(rect(4, 10, 12, 15), (250, 250, 250))
    for y in (12, 13.8):
        c.fill(rect(5, y - 0.35, 11, y + 0.35), (120, 120, 130))
    c.fill(circle(13, 8, 0.8), (40, 180, 60))
    return c


def show():
    c = Canvas(16)
    c.fill(rect(2, 1, 11, 14), (250, 250, 250))
    for y in (3.5, 5.5, 7.5):
        c.fill(rect(3.5, y - 0.4, 9.5, y + 0.4), (140, 140, 150))
    c.fill(circle(9, 9, 3.6), (170, 210, 250), 0.7)
    c.fill(ring(9, 9, 3.0, 4.4), DARK)
    c.fill(line(12, 12, 15, 15, 2.4), (130, 80, 30))
    return c


def cont():
    c = Canvas(16)
    c.fill(polygon(ARROW), (30, 150, 50))
    c.fill(polygon([(2.5, 7), (9, 7), (9, 4.5), (12.5, 8), (9, 8.5), (2.5, 8.5)]), (140, 220, 140), 0.6)
    return c


def restart():
    c = Canvas(16)
    blue = (30, 110, 200)

    def arc(x, y):
        angle = math.degrees(math.atan2(8 - y, x - 8)) % 360
        return ring(8, 8, 3.5, 6.3)(x, y) and not 20 <= angle <= 100
    c.fill(arc, blue)
    c.fill(polygon([(6.8, -0.2), (12, 3.2), (6.8, 6.6)]), blue)
    return c


def close():
    c = Canvas(16)
    red = (200, 30, 30)
    c.fill(line(3, 3, 13, 13, 3.2), red)
    c.fill(line(13, 3, 3, 13, 3.2), red)
    return c


def cant_continue():
    c = Canvas(16)
    c.fill(polygon(ARROW), (150, 150, 155))
    c.fill(ring(8, 8, 5, 7), (210, 30, 30))
    c.fill(line(3.5, 12.5, 12.5, 3.5, 2), (210, 30, 30))
    return c


def big_icon():
    c = Canvas(32)
    c.fill(circle(16, 16, 15), (150, 20, 20))
    c.fill(circle(16, 16, 13.5), (215, 45, 40))
    c.fill(polygon([(13.5, 6), (18.5, 6), (17.3, 20), (14.7, 20)]), (255, 255, 255))
    c.fill(circle(16, 24.5, 2.3), (255, 255, 255))
    return c


def bmp_bytes(canvas):
    pixels = canvas.bgra_rows_bottom_up()
    header = struct.pack("<IiiHHIIiiII", 40, 16, 16, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
    filehead = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0, 14 + len(header))
    return filehead + header + pixels


def ico_bytes(canvas):
    n = canvas.size
    pixels = canvas.bgra_rows_bottom_up()
    mask = bytearray()
    for row in reversed(canvas.px):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (n - 1 - x)
        mask += bits.to_bytes(n // 8, "big")
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = header + pixels + bytes(mask)
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(image), 22) + image


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    pictures = {"mail": mail, "save": save, "print": printer, "show": show, "continue": cont,
                "restart": restart, "close": close, "cantContinue": cant_continue}
    for key, draw in pictures.items():
        (out / f"qei{key}.bmp").write_bytes(bmp_bytes(draw()))
    (out / "qeiBigIcon.ico").write_bytes(ico_bytes(big_icon()))


if __name__ == "__main__":
    main()
