#!/usr/bin/env python3
"""Builds FLASH_1, the movie that stands in for a blocked Flash object.

An uncompressed SWF of version 5, 1416 bytes, stage 250 x 250 pixels, one
frame at 12 frames per second: a light grey panel with a thin border and a
red "no entry" ring with a bar. The protocol fixes the movie's size, so the
border is drawn from short straight segments (exactly two bytes each) and
their number is chosen to make the file come out at 1416 bytes.

  make_flash_movie.py --swf OUT.swf      the movie itself
  make_flash_movie.py --cpp OUT.cpp      a C++ source that embeds it
"""
import argparse
import math
import struct
import sys

VERSION = 5
FILE_SIZE = 1416
STAGE_PX = 250
TWIPS = 20
FRAME_RATE = 12


class Bits:
    def __init__(self):
        self.bits = []

    def ub(self, value, n):
        assert 0 <= value < (1 << n) or n == 0 and value == 0, (value, n)
        self.bits += [(value >> (n - 1 - i)) & 1 for i in range(n)]

    def sb(self, value, n):
        assert -(1 << (n - 1)) <= value < (1 << (n - 1)), (value, n)
        self.ub(value & ((1 << n) - 1), n)

    def bytes(self):
        padded = self.bits + [0] * (-len(self.bits) % 8)
        return bytes(int("".join(map(str, padded[i:i + 8])), 2) for i in range(0, len(padded), 8))


def signed_bits(*values):
    """Bits needed to hold every value as a signed field."""
    return max(max(v.bit_length() for v in values) + 1, 2)


def rect(xmin, xmax, ymin, ymax):
    b = Bits()
    n = signed_bits(xmin, xmax, ymin, ymax)
    b.ub(n, 5)
    for v in (xmin, xmax, ymin, ymax):
        b.sb(v, n)
    return b.bytes()


def tag(code, body):
    if len(body) < 0x3F:
        return struct.pack("<H", (code << 6) | len(body)) + body
    return struct.pack("<HI", (code << 6) | 0x3F, len(body)) + body


def move_to(b, x, y, fill_bits, line_bits, fill0=None, fill1=None, line=None):
    b.ub(0, 1)  # style change record
    b.ub(0, 1)  # no new styles
    b.ub(line is not None, 1)
    b.ub(fill1 is not None, 1)
    b.ub(fill0 is not None, 1)
    b.ub(1, 1)  # move to
    n = signed_bits(x, y)
    b.ub(n, 5)
    b.sb(x, n)
    b.sb(y, n)
    if fill0 is not None:
        b.ub(fill0, fill_bits)
    if fill1 is not None:
        b.ub(fill1, fill_bits)
    if line is not None:
        b.ub(line, line_bits)


def straight(b, dx, dy):
    b.ub(1, 1)
    b.ub(1, 1)
    if dx == 0 or dy == 0:
        # Horizontal or vertical: with 8-bit deltas the record is 16 bits.
        n = max(signed_bits(dx or dy), 8)
        b.ub(n - 2, 4)
        b.ub(0, 1)
        b.ub(dx == 0, 1)
        b.sb(dx or dy, n)
    else:
        n = signed_bits(dx, dy)
        b.ub(n - 2, 4)
        b.ub(1, 1)
        b.sb(dx, n)
        b.sb(dy, n)


def curve(b, cx, cy, ax, ay):
    n = signed_bits(cx, cy, ax, ay)
    b.ub(1, 1)
    b.ub(0, 1)
    b.ub(n - 2, 4)
    for v in (cx, cy, ax, ay):
        b.sb(v, n)


def end_shape(b):
    b.ub(0, 6)


def side(b, length, segments, horizontal):
    """One border side of `length` twips in `segments` steps of -128..127."""
    sign = -1 if length < 0 else 1
    base, extra = divmod(abs(length), segments)
    for i in range(segments):
        step = sign * (base + (1 if i < extra else 0))
        straight(b, step if horizontal else 0, 0 if horizontal else step)


def panel_shape(segments):
    size = STAGE_PX * TWIPS
    inset = 1 * TWIPS
    body = struct.pack("<H", 1) + rect(0, size, 0, size)
    body += bytes([1, 0x00, 0xEE, 0xEE, 0xEE])            # fill: solid light grey
    body += bytes([1]) + struct.pack("<H", TWIPS) + bytes([0x80, 0x80, 0x80])  # line: 1 px grey
    body += bytes([(1 << 4) | 1])                        # 1 fill bit, 1 line bit
    b = Bits()
    edge = size - 2 * inset
    per_side = [segments // 4 + (1 if i < segments % 4 else 0) for i in range(4)]
    move_to(b, inset, inset, 1, 1, fill1=1, line=1)
    side(b, edge, per_side[0], True)
    side(b, edge, per_side[1], False)
    side(b, -edge, per_side[2], True)
    side(b, -edge, per_side[3], False)
    end_shape(b)
    return tag(2, body + b.bytes())


def no_entry_shape():
    size = STAGE_PX * TWIPS
    centre = size // 2
    radius = 80 * TWIPS
    width = 14 * TWIPS
    body = struct.pack("<H", 2) + rect(0, size, 0, size)
    body += bytes([0])                                   # no fills
    body += bytes([1]) + struct.pack("<H", width) + bytes([0xD0, 0x10, 0x10])  # line: red
    body += bytes([(0 << 4) | 1])                        # 0 fill bits, 1 line bit
    b = Bits()
    # Circle from eight quadratic curves.
    points = []
    for k in range(9):
        a = 2 * math.pi * k / 8
        points.append((centre + round(radius * math.cos(a)), centre + round(radius * math.sin(a))))
    control_radius = radius / math.cos(math.pi / 8)
    move_to(b, points[0][0], points[0][1], 0, 1, line=1)
    x, y = points[0]
    for k in range(8):
        a = 2 * math.pi * (k + 0.5) / 8
        cx = centre + round(control_radius * math.cos(a))
        cy = centre + round(control_radius * math.sin(a))
        ax, ay = points[k + 1]
        curve(b, cx - x, cy - y, ax - cx, ay - cy)
        x, y = ax, ay
    # The bar across, top left to bottom right.
    d = round(radius * math.cos(math.pi / 4))
    move_to(b, centre - d, centre - d, 0, 1)
    straight(b, 2 * d, 2 * d)
    end_shape(b)
    return tag(2, body + b.bytes())


def place(character, depth):
    # PlaceObject2: has character, has matrix (identity, one byte).
    return tag(26, bytes([0x06]) + struct.pack("<HH", depth, character) + bytes([0]))


def movie(segments):
    size = STAGE_PX * TWIPS
    tags = tag(9, bytes([0xFF, 0xFF, 0xFF]))             # background white
    tags += panel_shape(segments)
    tags += no_entry_shape()
    tags += place(1, 1) + place(2, 2)
    tags += tag(1, b"")                                  # show frame
    tags += tag(0, b"")                                  # end
    header_rest = rect(0, size, 0, size) + struct.pack("<HH", FRAME_RATE << 8, 1)
    length = 8 + len(header_rest) + len(tags)
    return b"FWS" + bytes([VERSION]) + struct.pack("<I", length) + header_rest + tags


def build():
    # Each side needs at least 40 steps of at most 127 twips.
    for segments in range(160, 8000):
        data = movie(segments)
        if len(data) == FILE_SIZE:
            return data
        if len(data) > FILE_SIZE:
            break
    sys.exit("make_flash_movie: no border split gives %d bytes" % FILE_SIZE)


def cpp_source(data):
    lines = ["// Generated by resources/make_flash_movie.py at build time. Do not edit.",
             '#include "resources/flash_movie.h"', "", "namespace korvan {", "namespace {",
             "", "const std::uint8_t kFlashMovie[%d] = {" % len(data)]
    for i in range(0, len(data), 16):
        lines.append("    " + ", ".join("0x%02X" % c for c in data[i:i + 16]) + ",")
    lines += ["};", "", "}  // namespace", "",
              "std::span<const std::uint8_t> FlashMovieResource() { return kFlashMovie; }", "",
              "}  // namespace korvan", ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--swf")
    parser.add_argument("--cpp")
    args = parser.parse_args()
    data = build()
    if args.swf:
        with open(args.swf, "wb") as f:
            f.write(data)
    if args.cpp:
        with open(args.cpp, "w", encoding="ascii") as f:
            f.write(cpp_source(data))


if __name__ == "__main__":
    main()
