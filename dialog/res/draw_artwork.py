#!/usr/bin/env python3
"""Draws the dialog's artwork and writes it as Windows bitmap and icon files.

    python3 dialog/res/draw_artwork.py          (rewrites the files next to this script)
    python3 dialog/res/draw_artwork.py --check  (fails if a file differs from the drawing)

Outputs (readable by Windows 98 and later):
  app.ico      icon 128: 32x32 and 16x16, 4 bits per pixel, standard 16-colour palette
  picture.bmp  bitmap 129: 48x48, 8 bits per pixel, the 52 colours it uses (fills the 33x31
               dialog-unit frame)
  logo.bmp     bitmap 131: 88x24, 4 bits per pixel, the 3 colours it uses (centred in the 61x17
               dialog-unit frame)
The bitmaps carry a palette of exactly the colours drawn (biClrUsed), the
smallest depth that holds it: the same pixels as 24 bits per pixel, a third
of the bytes in the exe.

The Windows build links run-length encoded copies of the same pixels instead
(BI_RLE8 / BI_RLE4, part of the bitmap format since Windows 3.0):
  picture_rle.bmp, logo_rle.bmp
The host's window system reads the uncompressed files.

Standard library only; the output is deterministic, so re-running it leaves git clean.
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# The 16 colours of the standard VGA palette, as (r, g, b).
PALETTE16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_RED, GREY, SILVER, RED, BLUE, WHITE, NAVY = 0, 1, 8, 7, 9, 12, 15, 4


class Canvas:
    """A picture as rows of palette indices or RGB tuples, row 0 at the top."""

    def __init__(self, width, height, fill):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]
        self.opaque = [[True] * width for _ in range(height)]

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.pixels[y][x] = colour
                self.opaque[y][x] = True

    def clear(self, x0, y0, x1, y1):
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                self.opaque[y][x] = False

    def line(self, x0, y0, x1, y1, colour, thickness=1):
        steps = max(abs(x1 - x0), abs(y1 - y0), 1)
        for i in range(steps + 1):
            x = x0 + (x1 - x0) * i / steps
            y = y0 + (y1 - y0) * i / steps
            self.rect(int(round(x)), int(round(y)), int(round(x)) + thickness,
                      int(round(y)) + thickness, colour)


def draw_plug(c, scale, body, metal, cross):
    """A USB plug seen from the side, struck through by a cross."""
    s = scale
    c.rect(2 * s, 6 * s, 10 * s, 10 * s, body)      # plug body
    c.rect(10 * s, 7 * s, 14 * s, 9 * s, metal)     # metal tip
    c.rect(0, 7 * s + s // 2, 2 * s, 8 * s + s // 2, body)  # cable
    c.line(3 * s, 2 * s, 13 * s, 14 * s, cross, max(1, s))
    c.line(13 * s, 2 * s, 3 * s, 14 * s, cross, max(1, s))


def icon_image(size):
    c = Canvas(size, size, SILVER)
    c.clear(0, 0, size, size)
    s = size // 16
    c.rect(0, 0, size, size, SILVER)
    c.rect(0, 0, size, s, WHITE)
    c.rect(0, 0, s, size, WHITE)
    c.rect(0, size - s, size, size, GREY)
    c.rect(size - s, 0, size, size, GREY)
    draw_plug(c, s, NAVY, BLUE, RED)
    return c


def dib_4bpp(c):
    """BITMAPINFOHEADER (height doubled for the AND mask), palette, XOR and AND bitmaps."""
    w, h = c.width, c.height
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE16)
    xor_stride = ((w * 4 + 31) // 32) * 4
    and_stride = ((w + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(h)):
        row = bytearray(xor_stride)
        for x in range(w):
            index = c.pixels[y][x] if c.opaque[y][x] else 0
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += row
        mrow = bytearray(and_stride)
        for x in range(w):
            if not c.opaque[y][x]:
                mrow[x // 8] |= 0x80 >> (x % 8)
        mask += mrow
    return header + palette + bytes(xor) + bytes(mask)


def ico_file(images):
    entries = [dib_4bpp(img) for img in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for img, data in zip(images, entries):
        out += struct.pack("<BBBBHHII", img.width, img.height, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in entries:
        out += data
    return bytes(out)


def rle_run(row, i, bpp):
    """How many pixels from `i` one encoded pair holds: one index repeated (8 bits per
    pixel) or two indices alternating (4 bits per pixel); at most 255."""
    n = 1
    while i + n < len(row) and n < 255:
        if row[i + n] != (row[i] if bpp == 8 or n % 2 == 0 else row[i + 1]):
            break
        n += 1
    return n


def rle_pair(row, i, n, bpp):
    """The encoded pair for `n` pixels from `i`."""
    if bpp == 8:
        return bytes([n, row[i]])
    return bytes([n, (row[i] << 4) | (row[i + 1] if n > 1 else 0)])


def rle_absolute(lit, bpp):
    """An absolute-mode stretch of three or more pixels, padded to a whole word."""
    if bpp == 8:
        data = bytes(lit)
    else:
        data = bytes((lit[k] << 4) | (lit[k + 1] if k + 1 < len(lit) else 0)
                     for k in range(0, len(lit), 2))
    return bytes([0, len(lit)]) + data + (b"\0" if len(data) % 2 else b"")


def rle_encode(rows, bpp):
    """BI_RLE8 or BI_RLE4 data of `rows` (bottom row first, palette indices), the fewest
    bytes for each row: every way of cutting the row into encoded pairs and absolute
    stretches (three to 255 pixels) is weighed, shortest first on ties; an end of line
    after every row and an end of bitmap after the last."""
    out = bytearray()
    for row in rows:
        width = len(row)
        best = [None] * (width + 1)  # best[i]: (bytes, pieces) encoding the first i pixels
        best[0] = (0, [])
        for i in range(width):
            if best[i] is None:
                continue
            cost, pieces = best[i]
            candidates = [(2, ("pair", n)) for n in range(1, rle_run(row, i, bpp) + 1)]
            for n in range(3, min(255, width - i) + 1):
                size = n if bpp == 8 else (n + 1) // 2
                candidates.append((2 + size + size % 2, ("abs", n)))
            for extra, piece in candidates:
                j = i + piece[1]
                if best[j] is None or cost + extra < best[j][0]:
                    best[j] = (cost + extra, pieces + [(i, piece)])
        for i, (kind, n) in best[width][1]:
            out += rle_pair(row, i, n, bpp) if kind == "pair" else rle_absolute(row[i:i + n], bpp)
        out += b"\0\0"
    out[-2:] = b"\0\1"
    return bytes(out)


def rle_decode(data, width, height, bpp):
    """The rows (bottom row first) of BI_RLE8 or BI_RLE4 data; checks the encoder."""
    rows = [[0] * width for _ in range(height)]
    x = y = k = 0
    while True:
        count, second = data[k], data[k + 1]
        k += 2
        if count:
            for t in range(count):
                rows[y][x + t] = second if bpp == 8 else (second >> 4 if t % 2 == 0 else second & 15)
            x += count
        elif second == 0:
            x, y = 0, y + 1
        elif second == 1:
            return rows
        else:
            size = second if bpp == 8 else (second + 1) // 2
            lit = data[k:k + size]
            k += size + size % 2
            for t in range(second):
                rows[y][x + t] = lit[t] if bpp == 8 else (lit[t // 2] >> 4 if t % 2 == 0 else lit[t // 2] & 15)
            x += second


def bmp_file(c, rle=False):
    """A bitmap with a palette of the colours `c` uses, in order of first use from the top
    row down, at 1, 4 or 8 bits per pixel; with `rle`, run-length encoded (4 or 8 bits)."""
    palette = []
    for row in c.pixels:
        for colour in row:
            if colour not in palette:
                palette.append(colour)
    if len(palette) > 256:
        raise ValueError("more than 256 colours")
    bpp = next(b for b in (1, 4, 8) if len(palette) <= (1 << b))
    index = {colour: i for i, colour in enumerate(palette)}
    compression = 0
    if rle:
        bpp = max(bpp, 4)  # RLE exists for 4 and 8 bits per pixel
        rows = [[index[colour] for colour in c.pixels[y]] for y in reversed(range(c.height))]
        pixels = rle_encode(rows, bpp)
        if rle_decode(pixels, c.width, c.height, bpp) != rows:
            raise AssertionError("run-length encoding does not round-trip")
        compression = 1 if bpp == 8 else 2  # BI_RLE8, BI_RLE4
    else:
        stride = ((c.width * bpp + 31) // 32) * 4
        pixels = bytearray()
        for y in reversed(range(c.height)):
            row = bytearray(stride)
            for x in range(c.width):
                bit = x * bpp
                row[bit // 8] |= index[c.pixels[y][x]] << (8 - bpp - bit % 8)
            pixels += row
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette)
    info = struct.pack("<IiiHHIIiiII", 40, c.width, c.height, 1, bpp, compression, len(pixels),
                       2835, 2835, len(palette), 0)
    bits_at = 14 + len(info) + len(table)
    header = struct.pack("<2sIHHI", b"BM", bits_at + len(pixels), 0, 0, bits_at)
    return header + info + table + bytes(pixels)


def rgb(index):
    return PALETTE16[index]


def picture():
    """Bitmap 129: the plug with its cross on a light panel, drawn at three times the icon grid."""
    c = Canvas(48, 48, (212, 208, 200))
    for y in range(48):  # soft vertical shade
        shade = 232 - y
        c.rect(0, y, 48, y + 1, (shade, shade, min(255, shade + 12)))
    s = 3
    c.rect(2 * s, 6 * s, 10 * s, 10 * s, rgb(NAVY))
    c.rect(10 * s, 7 * s, 14 * s, 9 * s, (160, 160, 170))
    c.rect(11 * s, 7 * s + 2, 12 * s, 7 * s + 4, rgb(BLACK))
    c.rect(0, 7 * s + 1, 2 * s, 8 * s + 2, rgb(NAVY))
    c.line(6, 6, 40, 42, rgb(RED), 3)
    c.line(40, 6, 6, 42, rgb(RED), 3)
    return c


# 3x5 block letters for the logo.
GLYPHS = {
    "Q": ["###", "#.#", "#.#", "##.", ".##"],
    "U": ["#.#", "#.#", "#.#", "#.#", "###"],
    "O": ["###", "#.#", "#.#", "#.#", "###"],
    "R": ["##.", "#.#", "##.", "#.#", "#.#"],
    "V": ["#.#", "#.#", "#.#", "#.#", ".#."],
    "A": [".#.", "#.#", "###", "#.#", "#.#"],
    "N": ["#.#", "###", "###", "#.#", "#.#"],
    "E": ["###", "#..", "##.", "#..", "###"],
}


def logo():
    """Bitmap 131: the maker's word in block letters over a navy band."""
    c = Canvas(88, 24, rgb(WHITE))
    c.rect(0, 0, 88, 24, (0, 0, 96))
    c.rect(0, 20, 88, 24, rgb(RED))
    word = "QUORVANE"
    x = 5
    for ch in word:
        for gy, row in enumerate(GLYPHS[ch]):
            for gx, cell in enumerate(row):
                if cell == "#":
                    c.rect(x + gx * 3, 3 + gy * 3, x + gx * 3 + 3, 3 + gy * 3 + 3, rgb(WHITE))
        x += 10
    return c


def main(argv):
    files = {
        "app.ico": ico_file([icon_image(32), icon_image(16)]),
        "picture.bmp": bmp_file(picture()),
        "logo.bmp": bmp_file(logo()),
        "picture_rle.bmp": bmp_file(picture(), rle=True),
        "logo_rle.bmp": bmp_file(logo(), rle=True),
    }
    if argv[1:] == ["--check"]:
        # The committed files are what this script draws: the compressed
        # copies cannot drift from the pictures the host shows.
        stale = []
        for name, data in files.items():
            path = os.path.join(HERE, name)
            if not os.path.isfile(path) or open(path, "rb").read() != data:
                stale.append(name)
        for name in stale:
            print("%s differs from what draw_artwork.py draws; re-run it" % name)
        return 1 if stale else 0
    for name, data in files.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
