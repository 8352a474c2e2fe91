#!/usr/bin/env python3
"""Draws the launcher's pictures into the folder given as the only argument:
the icon MorvIndex.ico, the button images avvia.png, installa.png and
chiudi.png, the list placeholder placeholder.png, and the list's standard
images sw_con.png, sw_win.png, up_001.png, up_002.png and up_003.png (which
ship as files beside the program)."""
import math
import struct
import sys
import zlib
from pathlib import Path


def blend(dst, src):
    sa = src[3] / 255.0
    da = dst[3] / 255.0
    oa = sa + da * (1 - sa)
    if oa == 0:
        return (0, 0, 0, 0)
    rgb = [round((src[i] * sa + dst[i] * da * (1 - sa)) / oa) for i in range(3)]
    return (*rgb, round(oa * 255))


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[(0, 0, 0, 0)] * size for _ in range(size)]

    def fill(self, inside, colour, samples=4):
        """Paints colour where inside(x, y) holds, anti-aliased by supersampling."""
        n = self.size
        for y in range(n):
            for x in range(n):
                hits = 0
                for sy in range(samples):
                    for sx in range(samples):
                        u = (x + (sx + 0.5) / samples) / n
                        v = (y + (sy + 0.5) / samples) / n
                        hits += inside(u, v)
                if hits:
                    a = colour[3] * hits / (samples * samples)
                    self.px[y][x] = blend(self.px[y][x], (*colour[:3], round(a)))

    def png(self):
        raw = b"".join(b"\0" + b"".join(struct.pack("4B", *p) for p in row) for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        header = struct.pack(">IIBBBBB", self.size, self.size, 8, 6, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))

    def dib(self):
        """32-bit bottom-up DIB with an all-zero AND mask, as icon files hold it."""
        n = self.size
        header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, 0, 0, 0, 0, 0)
        rows = b"".join(b"".join(struct.pack("4B", p[2], p[1], p[0], p[3]) for p in self.px[y])
                        for y in range(n - 1, -1, -1))
        mask_row = ((n + 31) // 32) * 4
        return header + rows + b"\0" * (mask_row * n)


def rounded_square(margin, radius):
    def inside(u, v):
        lo, hi = margin, 1 - margin
        if not (lo <= u <= hi and lo <= v <= hi):
            return False
        cx = min(max(u, lo + radius), hi - radius)
        cy = min(max(v, lo + radius), hi - radius)
        return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2
    return inside


def bar(x0, x1, y0, y1):
    return lambda u, v: x0 <= u <= x1 and y0 <= v <= y1


def circle(cx, cy, r):
    return lambda u, v: (u - cx) ** 2 + (v - cy) ** 2 <= r * r


def triangle(a, b, c):
    def side(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])

    def inside(u, v):
        p = (u, v)
        d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
        neg = d1 < 0 or d2 < 0 or d3 < 0
        pos = d1 > 0 or d2 > 0 or d3 > 0
        return not (neg and pos)
    return inside


def stroke(x0, y0, x1, y1, width):
    def inside(u, v):
        dx, dy = x1 - x0, y1 - y0
        t = max(0.0, min(1.0, ((u - x0) * dx + (v - y0) * dy) / (dx * dx + dy * dy)))
        return math.hypot(u - (x0 + t * dx), v - (y0 + t * dy)) <= width / 2
    return inside


def icon(size):
    c = Canvas(size)
    c.fill(rounded_square(0.04, 0.18), (32, 92, 168, 255))
    c.fill(rounded_square(0.08, 0.14), (48, 122, 204, 255))
    for i, y in enumerate((0.28, 0.46, 0.64)):
        c.fill(circle(0.27, y + 0.04, 0.055), (255, 214, 64, 255))
        c.fill(bar(0.38, 0.78 - 0.08 * i, y, y + 0.08), (255, 255, 255, 255))
    return c


def button(kind, size=48):
    c = Canvas(size)
    if kind == "avvia":
        c.fill(circle(0.5, 0.5, 0.46), (46, 150, 70, 255))
        c.fill(triangle((0.38, 0.26), (0.38, 0.74), (0.76, 0.5)), (255, 255, 255, 255))
    elif kind == "installa":
        c.fill(circle(0.5, 0.5, 0.46), (40, 110, 196, 255))
        c.fill(bar(0.42, 0.58, 0.2, 0.52), (255, 255, 255, 255))
        c.fill(triangle((0.26, 0.48), (0.74, 0.48), (0.5, 0.78)), (255, 255, 255, 255))
    else:
        c.fill(circle(0.5, 0.5, 0.46), (196, 52, 48, 255))
        c.fill(stroke(0.32, 0.32, 0.68, 0.68, 0.13), (255, 255, 255, 255))
        c.fill(stroke(0.68, 0.32, 0.32, 0.68, 0.13), (255, 255, 255, 255))
    return c


def list_image(kind, size=96):
    """The report list's standard pictures, drawn at twice the list's 48 x 48
    cell so that they stay sharp up to 200 % scaling."""
    c = Canvas(size)
    if kind == "placeholder":
        c.fill(rounded_square(0.1, 0.12), (200, 204, 210, 255))
        c.fill(circle(0.38, 0.4, 0.09), (255, 255, 255, 255))
        c.fill(triangle((0.2, 0.78), (0.5, 0.45), (0.8, 0.78)), (150, 156, 166, 255))
    elif kind == "sw_con":
        c.fill(rounded_square(0.1, 0.1), (40, 44, 52, 255))
        c.fill(stroke(0.25, 0.35, 0.42, 0.5, 0.07), (120, 220, 120, 255))
        c.fill(stroke(0.42, 0.5, 0.25, 0.65, 0.07), (120, 220, 120, 255))
        c.fill(bar(0.48, 0.72, 0.62, 0.68), (120, 220, 120, 255))
    elif kind == "sw_win":
        c.fill(rounded_square(0.1, 0.08), (60, 110, 180, 255))
        c.fill(bar(0.16, 0.84, 0.28, 0.84), (245, 247, 250, 255))
        c.fill(circle(0.78, 0.19, 0.04), (240, 90, 80, 255))
    elif kind == "up_001":
        c.fill(circle(0.5, 0.5, 0.4), (245, 150, 30, 255))
        c.fill(bar(0.44, 0.56, 0.42, 0.74), (255, 255, 255, 255))
        c.fill(triangle((0.3, 0.46), (0.7, 0.46), (0.5, 0.24)), (255, 255, 255, 255))
    elif kind == "up_002":
        c.fill(circle(0.5, 0.5, 0.4), (60, 160, 80, 255))
        c.fill(stroke(0.32, 0.52, 0.45, 0.65, 0.09), (255, 255, 255, 255))
        c.fill(stroke(0.45, 0.65, 0.7, 0.36, 0.09), (255, 255, 255, 255))
    else:  # up_003: not installed
        c.fill(circle(0.5, 0.5, 0.4), (150, 156, 166, 255))
        c.fill(bar(0.44, 0.56, 0.26, 0.56), (255, 255, 255, 255))
        c.fill(triangle((0.3, 0.52), (0.7, 0.52), (0.5, 0.74)), (255, 255, 255, 255))
    return c


def write_ico(path, canvases):
    images = [c.dib() for c in canvases]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for c, data in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.size % 256, c.size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    path.write_bytes(out + b"".join(images))


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    write_ico(out / "MorvIndex.ico", [icon(s) for s in (16, 24, 32, 48, 64, 96)])
    for kind in ("avvia", "installa", "chiudi"):
        (out / f"{kind}.png").write_bytes(button(kind).png())
    for kind in ("placeholder", "sw_con", "sw_win", "up_001", "up_002", "up_003"):
        (out / f"{kind}.png").write_bytes(list_image(kind).png())


if __name__ == "__main__":
    main()
