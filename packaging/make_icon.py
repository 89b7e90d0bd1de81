#!/usr/bin/env python3
"""Draws the KORVAN icon: two arrows pressing on a bar (compression), white
on a blue tile. One list of shapes gives both the scalable SVG and a PNG of
a fixed size, rasterised here with 4 x 4 samples a pixel, so the two always
agree and the build needs nothing beyond Python.

    make_icon.py --svg korvan.svg --png korvan.png [--size 48]
"""
import argparse
import struct
import sys
import zlib

VIEW = 48  # the shapes' own coordinate system, 0..48 on both axes

# (kind, fill "#rrggbb", geometry), painted in this order.
SHAPES = [
    ("rounded", "#1d5f9e", (2.0, 2.0, 44.0, 44.0, 9.0)),  # x, y, width, height, radius
    ("polygon", "#ffffff", ((12.0, 8.0), (36.0, 8.0), (24.0, 20.0))),
    ("polygon", "#ffffff", ((12.0, 40.0), (36.0, 40.0), (24.0, 28.0))),
    ("rounded", "#f5c518", (9.0, 22.5, 30.0, 3.0, 1.5)),
]
SAMPLES = 4


def inside_rounded(x, y, geometry):
    left, top, width, height, radius = geometry
    right, bottom = left + width, top + height
    if x < left or x > right or y < top or y > bottom:
        return False
    # Only the corner squares need the distance test.
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius * radius


def inside_polygon(x, y, points):
    # Even-odd rule over the edges.
    result = False
    j = len(points) - 1
    for i, (xi, yi) in enumerate(points):
        xj, yj = points[j]
        if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
            result = not result
        j = i
    return result


def colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (1, 3, 5))


def render(size):
    """Rows of straight (not premultiplied) RGBA pixels."""
    scale = VIEW / size
    tests = [(inside_rounded if kind == "rounded" else inside_polygon, colour(fill), geometry)
             for kind, fill, geometry in SHAPES]
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            # Premultiplied accumulation of source-over painting per sample.
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    sample = (0.0, 0.0, 0.0, 0.0)
                    for test, rgb, geometry in tests:
                        if test(x, y, geometry):
                            sample = (rgb[0], rgb[1], rgb[2], 1.0)  # opaque fills cover what lies below
                    r += sample[0] * sample[3]
                    g += sample[1] * sample[3]
                    b += sample[2] * sample[3]
                    a += sample[3]
            count = SAMPLES * SAMPLES
            if a == 0:
                row += b"\0\0\0\0"
            else:
                row += bytes((round(r / a), round(g / a), round(b / a), round(255 * a / count)))
        rows.append(bytes(row))
    return rows


def png_bytes(rows, size):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def svg_text():
    def number(value):
        return ("%.2f" % value).rstrip("0").rstrip(".")

    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<svg xmlns="http://www.w3.org/2000/svg" width="{VIEW}" height="{VIEW}" viewBox="0 0 {VIEW} {VIEW}">',
             "  <title>KORVAN</title>"]
    for kind, fill, geometry in SHAPES:
        if kind == "rounded":
            x, y, w, h, radius = (number(v) for v in geometry)
            lines.append(f'  <rect x="{x}" y="{y}" width="{w}" height="{h}" rx="{radius}" fill="{fill}"/>')
        else:
            points = " ".join(f"{number(px)},{number(py)}" for px, py in geometry)
            lines.append(f'  <polygon points="{points}" fill="{fill}"/>')
    lines.append("</svg>")
    return "\n".join(lines) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description="Draws the KORVAN icon as SVG and PNG.")
    parser.add_argument("--svg", required=True)
    parser.add_argument("--png", required=True)
    parser.add_argument("--size", type=int, default=48)
    args = parser.parse_args(argv)
    if not 8 <= args.size <= 512:
        parser.error("--size must be 8 to 512")
    with open(args.svg, "w", encoding="utf-8", newline="\n") as out:
        out.write(svg_text())
    with open(args.png, "wb") as out:
        out.write(png_bytes(render(args.size), args.size))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
