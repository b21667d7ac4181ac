#!/usr/bin/env python3
"""Draws shimlist's icon, a sheet holding an indented tag listing, and writes it as a .ico file.

Usage: DrawIcon.py OUT.ico   (three images: 48, 32 and 16 pixels, 32-bit with alpha)
The drawing is laid out on a 16-unit grid and scaled; outlines stay one pixel wide.
"""
import struct
import sys

SIZES = (48, 32, 16)

CLEAR = None
OUTLINE = (0x2B, 0x3A, 0x55)
PAPER = (0xF7, 0xF9, 0xFC)
FLAP = (0xC9, 0xD3, 0xE0)
TEXT = (0x8A, 0x97, 0xA8)
# One colour per nesting level of the listing's lines.
LEVEL_COLOURS = ((0xC0, 0x39, 0x2B), (0x29, 0x80, 0xB9), (0x27, 0xAE, 0x60))
# The listing on the sheet: the nesting level of each line, depth first.
LINES = (0, 1, 2, 2, 1)


def Draw(size):
    """Returns size rows of size pixels, each an (r, g, b) tuple or CLEAR."""
    unit = size / 16
    pixels = [[CLEAR] * size for _ in range(size)]

    def Fill(x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                pixels[y][x] = colour

    left, top = round(2 * unit), round(1 * unit)
    right, bottom = round(14 * unit) - 1, round(15 * unit) - 1
    fold = round(3 * unit)
    for y in range(top, bottom + 1):
        for x in range(left, right + 1):
            across = x - (right - fold)
            down = y - top
            if across > down:
                continue  # the corner that is folded over
            edge = x in (left, right) or y in (top, bottom) or across == down
            pixels[y][x] = OUTLINE if edge else PAPER
    # The flap: a triangle under the fold, outlined on its two straight sides.
    for y in range(top, top + fold + 1):
        for x in range(right - fold, right + 1):
            across, down = x - (right - fold), y - top
            if across < down:
                flapEdge = x == right - fold or y == top + fold
                pixels[y][x] = OUTLINE if flapEdge else FLAP

    thickness = max(1, round(unit))
    for row, level in enumerate(LINES):
        y = top + round((3 + 2 * row) * unit)
        x = left + round((2 + 2 * level) * unit)
        Fill(x, y, x + thickness - 1, y + thickness - 1, LEVEL_COLOURS[level])
        Fill(x + 2 * thickness, y, right - round(2 * unit), y + thickness - 1, TEXT)
    return pixels


def IconImage(size):
    """A DIB as icons hold it: header of double height, bottom-up BGRA rows, then the AND mask."""
    pixels = Draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    for row in reversed(pixels):
        for pixel in row:
            colour += bytes((0, 0, 0, 0)) if pixel is CLEAR else bytes(
                (pixel[2], pixel[1], pixel[0], 0xFF))
    maskStride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(maskStride)
        for x, pixel in enumerate(row):
            if pixel is CLEAR:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def IconFile(sizes):
    images = [IconImage(size) for size in sizes]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        data += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return data + b''.join(images)


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: DrawIcon.py OUT.ico')
    with open(sys.argv[1], 'wb') as out:
        out.write(IconFile(SIZES))


if __name__ == '__main__':
    main()
