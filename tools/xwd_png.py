#!/usr/bin/env python3
"""Saves the screen of an Xvfb started with -fbdir DIR (DIR/Xvfb_screen0, an
XWD image the server keeps up to date) as a PNG file, whole or the rectangle
X Y WIDTH HEIGHT of it (xdotool getwindowgeometry gives a window's). Needs
only Python: a screenshot without ImageMagick.

    tools/xwd_png.py DIR/Xvfb_screen0 OUT.png [X Y WIDTH HEIGHT]

Prints the PNG's width, height and number of colours.
"""
import struct
import sys
import zlib

XWD_HEADER_FIELDS = 25  # CARD32 fields of an XWD version 7 header
XWD_COLOR_BYTES = 12  # pixel, red, green, blue, flags, pad


def read_xwd(path):
    with open(path, "rb") as file:
        data = file.read()
    header = struct.unpack(">%dI" % XWD_HEADER_FIELDS, data[: 4 * XWD_HEADER_FIELDS])
    (header_size, version, _format, _depth, width, height, _xoffset, byte_order, _unit, _bit_order, _pad,
     bits_per_pixel, bytes_per_line, _visual, red_mask, green_mask, blue_mask, _bits_per_rgb, _entries,
     colours) = header[:20]
    if version != 7 or bits_per_pixel not in (24, 32):
        sys.exit("xwd_png: %s is not a 24- or 32-bit XWD image" % path)
    start = header_size + colours * XWD_COLOR_BYTES
    pixel_bytes = bits_per_pixel // 8
    order = "<" if byte_order == 0 else ">"

    def channel(value, mask):
        shift = (mask & -mask).bit_length() - 1
        return (value & mask) >> shift

    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line: start + y * bytes_per_line + width * pixel_bytes]
        row = bytearray()
        for x in range(width):
            raw = line[x * pixel_bytes: (x + 1) * pixel_bytes] + b"\0" * (4 - pixel_bytes)
            value = struct.unpack(order + "I", raw)[0]
            row += bytes((channel(value, red_mask), channel(value, green_mask), channel(value, blue_mask)))
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every row
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n")
        file.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        file.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        file.write(chunk(b"IEND", b""))


def main():
    if len(sys.argv) not in (3, 7):
        sys.exit(__doc__)
    width, height, rows = read_xwd(sys.argv[1])
    if len(sys.argv) == 7:
        x, y, w, h = (int(value) for value in sys.argv[3:7])
        x, y = max(x, 0), max(y, 0)
        w, h = min(w, width - x), min(h, height - y)
        rows = [row[3 * x: 3 * (x + w)] for row in rows[y: y + h]]
        width, height = w, h
    write_png(sys.argv[2], width, height, rows)
    colours = {row[i: i + 3] for row in rows for i in range(0, len(row), 3)}
    print(width, height, len(colours))


if __name__ == "__main__":
    main()
