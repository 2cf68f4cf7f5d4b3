#!/usr/bin/env python3
"""Draws the updater's application icon and writes it as an icon file.

The icon group holds eight images: 16, 24, 32 and 48 pixels square, each in 256 colours
(8-bit palette) and in 32-bit colour with alpha. The picture: a rounded dark-blue tile with a
white arrow pointing down onto a green chip, the updater writing into the device's flash.

Usage: generate_icon.py OUTPUT.ico   (the result is committed; orvanta_update.rc names it)
"""
import struct
import sys

SIZES = (16, 24, 32, 48)


def pixel(u, v):
    """Colour (r, g, b, a) at the centre of a pixel, u and v in 0..1 from the top left."""
    # Rounded tile with a margin of 1/16.
    margin, radius = 1 / 16, 0.2
    cx = min(max(u, margin + radius), 1 - margin - radius)
    cy = min(max(v, margin + radius), 1 - margin - radius)
    if (u - cx) ** 2 + (v - cy) ** 2 > radius ** 2:
        return (0, 0, 0, 0)
    # Chip at the bottom: a green bar with darker pins.
    if 0.66 <= v <= 0.82 and 0.22 <= u <= 0.78:
        return (40, 170, 80, 255)
    if 0.82 < v <= 0.88 and 0.22 <= u <= 0.78 and int(u * 16) % 2 == 0:
        return (200, 200, 200, 255)
    # Arrow: a shaft and a head pointing down at the chip.
    if 0.42 <= u <= 0.58 and 0.16 <= v <= 0.42:
        return (255, 255, 255, 255)
    if 0.40 <= v <= 0.62 and abs(u - 0.5) <= (0.62 - v) * 1.1:
        return (255, 255, 255, 255)
    # Tile: vertical gradient.
    shade = int(60 * v)
    return (20 + shade // 2, 50 + shade, 140 + shade, 255)


def palette():
    """256 colours: a 6x6x6 cube, then 40 greys."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(int(i * 255 / 39),) * 3 for i in range(40)]
    return colours


def nearest(colours, rgb):
    return min(range(len(colours)),
               key=lambda i: sum((colours[i][k] - rgb[k]) ** 2 for k in range(3)))


def image(size, bits):
    pixels = [[pixel((x + 0.5) / size, (y + 0.5) / size) for x in range(size)]
              for y in range(size)]
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         256 if bits == 8 else 0, 0)
    body = b''
    colours = palette()
    if bits == 8:
        body += b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in colours)
    # Colour bits, bottom row first, rows padded to 4 bytes.
    stride = (size * bits // 8 + 3) & ~3
    for y in reversed(range(size)):
        row = b''
        for (r, g, b, a) in pixels[y]:
            if bits == 8:
                row += bytes([nearest(colours, (r, g, b)) if a else 0])
            else:
                row += struct.pack('<BBBB', b, g, r, a)
        body += row + b'\0' * (stride - len(row))
    # Transparency mask, 1 bit a pixel (1: transparent), rows padded to 4 bytes.
    mask_stride = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        bits_row = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(pixels[y]):
            if a == 0:
                bits_row[x // 8] |= 0x80 >> (x % 8)
        body += bytes(bits_row)
    return header + body


def main():
    images = [(size, bits, image(size, bits)) for size in SIZES for bits in (8, 32)]
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b'', b''
    for size, bits, blob in images:
        entries += struct.pack('<BBBBHHII', size, size, 0, 0, 1, bits, len(blob), offset)
        offset += len(blob)
        data += blob
    with open(sys.argv[1], 'wb') as out:
        out.write(directory + entries + data)


if __name__ == '__main__':
    main()
