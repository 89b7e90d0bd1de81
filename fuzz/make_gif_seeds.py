#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_recompress_gif: small GIFs of our own
making (still, transparent, interlaced, animated, damaged, a giant screen),
each behind the target's prefix. Run once; the seeds are committed.

  fuzz/make_gif_seeds.py fuzz/corpus/recompress_gif
"""
import struct
import sys
from pathlib import Path


def lzw_literals(pixels, bits):
    """Pixels as LZW codes without compression: a clear code often enough
    that the code width never grows."""
    m = max(2, bits)
    clear, end, width = 1 << m, (1 << m) + 1, m + 1
    run = (1 << m) - 3
    codes = []
    for i, p in enumerate(pixels):
        if i % run == 0:
            codes.append(clear)
        codes.append(p)
    codes.append(end)
    out, acc, n = bytearray(), 0, 0
    for c in codes:
        acc |= c << n
        n += width
        while n >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            n -= 8
    if n:
        out.append(acc & 0xFF)
    blocks = bytearray([m])
    for i in range(0, len(out), 255):
        part = out[i:i + 255]
        blocks += bytes([len(part)]) + part
    return bytes(blocks + b"\x00")


def palette(bits):
    n = 1 << bits
    return b"".join(bytes([(i * 97) % 256, (i * 53 + 40) % 256, (255 - i * 31) % 256]) for i in range(n))


def gif(width, height, frames, bits=3, screen=None, transparent=None, interlaced=False, loop=False):
    sw, sh = screen or (width, height)
    out = bytearray(b"GIF89a" + struct.pack("<HHBBB", sw, sh, 0x80 | (bits - 1), 0, 0) + palette(bits))
    if loop:
        out += b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"
    for pixels in frames:
        if transparent is not None or len(frames) > 1:
            flags = (1 if transparent is not None else 0) | (2 << 2 if len(frames) > 1 else 0)
            out += b"\x21\xf9\x04" + bytes([flags]) + struct.pack("<H", 10) + bytes([transparent or 0]) + b"\x00"
        out += b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0x40 if interlaced else 0)
        out += lzw_literals(pixels, bits)
    return bytes(out + b"\x3b")


def pattern(width, height, colours, shift=0):
    return [((x + shift) * 3 + y * 5 + (x * y) // 7) % colours for y in range(height) for x in range(width)]


def framed(target_w, target_h, framing, body):
    """The even-first-byte form: width, height, framing, then the body."""
    return bytes([0]) + struct.pack("<HH", target_w, target_h) + bytes([framing]) + body


def whole(target_w, target_h, response):
    """The odd-first-byte form: the complete payload."""
    return bytes([1, 20]) + struct.pack("<HH", target_w, target_h) + response


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    still = gif(40, 30, [pattern(40, 30, 8)])
    seeds = {
        "shrink-content-length": framed(20, 15, 0, still),
        "enlarge-one-chunk": framed(80, 30, 1, still),
        "transparent-small-chunks": framed(30, 22, 2, gif(40, 30, [pattern(40, 30, 8)], transparent=3)),
        "interlaced-no-length": framed(16, 40, 3, gif(24, 20, [pattern(24, 20, 16)], bits=4, interlaced=True)),
        "animated": framed(12, 9, 0, gif(24, 18, [pattern(24, 18, 4, s) for s in range(3)], bits=2, loop=True)),
        "giant-screen": framed(50, 50, 0, gif(4, 4, [pattern(4, 4, 4)], bits=2, screen=(65535, 65535))),
        "truncated": framed(20, 15, 1, still[: len(still) // 2]),
        "zero-target": framed(0, 15, 0, still),
        "whole-response": whole(
            32, 24, b"HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Length: %d\r\n\r\n" % len(still) + still),
        "whole-no-blank-line": whole(32, 24, b"HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n" + still),
    }
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
