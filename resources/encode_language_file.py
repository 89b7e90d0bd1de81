#!/usr/bin/env python3
"""Turns a language file kept as UTF-8 in the repository into the shipped
form: code page 1250 bytes with CR LF line ends, as the program and the
translators' Windows editors expect.

  encode_language_file.py SOURCE.kvl.utf8 OUT.kvl

Fails, naming the line, on a character that code page 1250 cannot hold.
"""
import sys


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        lines = f.read().splitlines()
    out = bytearray()
    for number, line in enumerate(lines, 1):
        try:
            out += line.encode("cp1250") + b"\r\n"
        except UnicodeEncodeError as e:
            sys.exit("%s:%d: %r is not in code page 1250" % (source, number, line[e.start:e.end]))
    with open(target, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
