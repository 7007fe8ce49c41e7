#!/usr/bin/env python3
"""Draws the driver's four icons and writes them as .ico files into res/.

    make_icons.py [OUTDIR]      write active.ico, idle.ico, no_device.ico, locked_active.ico
    make_icons.py --check [DIR] only read back the .ico files in DIR and check them

Pure standard library, no randomness and no timestamps: the same script always writes the same
bytes, so the committed icons can be regenerated and compared.

Artwork: a handwheel (a rim with a crank knob on its face) in white on a tile with rounded corners.
Red tile: active; grey tile: idle; red tile with a yellow "no entry" disc at the lower right:
no device / locked.
"""

import math
import os
import struct
import sys

SIZES = (16, 20, 24, 32, 48)
SUPERSAMPLE = 8  # 8 x 8 samples per pixel: smooth edges even on the 16-pixel tray image

RED_TOP = (0xE0, 0x3A, 0x3A)
RED_BOTTOM = (0xB0, 0x16, 0x1E)
GREY_TOP = (0x9A, 0x9A, 0x9A)
GREY_BOTTOM = (0x6A, 0x6A, 0x6A)
WHITE = (0xFF, 0xFF, 0xFF)
YELLOW = (0xFF, 0xD2, 0x1F)
BADGE_RIM = (0x5A, 0x0A, 0x0A)
BADGE_BAR = (0xD0, 0x10, 0x10)

# Geometry in unit coordinates (0..1 across the icon), so every size is the same drawing.
TILE_INSET = 1.0 / 32.0
TILE_RADIUS = 0.22
WHEEL_C = (0.5, 0.5)
RIM_OUTER = 0.33
RIM_INNER = 0.22
KNOB_ANGLE = math.radians(-135.0)  # upper left, clear of the badge
KNOB_DIST = 0.085
KNOB_R = 0.085
BADGE_C = (0.75, 0.75)
BADGE_R = 0.22
BADGE_RIM_W = 0.03
BAR_HALF_W = 0.14
BAR_HALF_H = 0.05

ICONS = {
    # file name: (resource id, tile colours, badge)
    "active.ico": (128, (RED_TOP, RED_BOTTOM), False),
    "idle.ico": (136, (GREY_TOP, GREY_BOTTOM), False),
    "no_device.ico": (137, (RED_TOP, RED_BOTTOM), True),
    "locked_active.ico": (138, (RED_TOP, RED_BOTTOM), True),
}


def in_rounded_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_disc(x, y, c, r):
    return (x - c[0]) ** 2 + (y - c[1]) ** 2 <= r * r


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def sample(x, y, tile, badge):
    """Colour (r, g, b) of the topmost layer at one sample point, or None where transparent."""
    hi = 1.0 - TILE_INSET
    if badge and in_disc(x, y, BADGE_C, BADGE_R + BADGE_RIM_W):
        # The badge sits on top of everything; its dark rim keeps it apart from the red tile.
        if not in_disc(x, y, BADGE_C, BADGE_R):
            return BADGE_RIM
        if abs(x - BADGE_C[0]) <= BAR_HALF_W and abs(y - BADGE_C[1]) <= BAR_HALF_H:
            return BADGE_BAR
        return YELLOW
    if not in_rounded_rect(x, y, TILE_INSET, TILE_INSET, hi, hi, TILE_RADIUS):
        return None
    d2 = (x - WHEEL_C[0]) ** 2 + (y - WHEEL_C[1]) ** 2
    # The knob is the finger crank on the wheel's face, off the centre like on a real pendant.
    knob = (WHEEL_C[0] + math.cos(KNOB_ANGLE) * KNOB_DIST, WHEEL_C[1] + math.sin(KNOB_ANGLE) * KNOB_DIST)
    if RIM_INNER ** 2 <= d2 <= RIM_OUTER ** 2 or in_disc(x, y, knob, KNOB_R):
        return WHITE
    # A gentle top-to-bottom shade gives the flat tile some depth.
    return lerp(tile[0], tile[1], (y - TILE_INSET) / (hi - 2 * TILE_INSET))


def render(size, tile, badge):
    """Returns size rows, top first, of size (r, g, b, a) pixels with straight (unpremultiplied) alpha."""
    n = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(n):
                y = (py + (sy + 0.5) / n) / size
                for sx in range(n):
                    c = sample((px + (sx + 0.5) / n) / size, y, tile, badge)
                    if c is not None:
                        hits += 1
                        acc[0] += c[0]
                        acc[1] += c[1]
                        acc[2] += c[2]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                # Averaging only the covered samples is the straight colour; coverage is alpha.
                row.append(tuple(int(round(v / hits)) for v in acc)
                           + (int(round(255.0 * hits / (n * n))),))
        rows.append(row)
    return rows


def dib_entry(rows):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA pixels, then the 1-bit AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:  # only fully clear pixels are masked; Windows blends the rest by alpha
                bits[x >> 3] |= 0x80 >> (x & 7)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def ico_file(images):
    """images: list of (size, dib bytes). Returns the whole .ico file."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, dib in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(dib), offset)
        offset += len(dib)
    for _, dib in images:
        out += dib
    return bytes(out)


def build(name):
    _, tile, badge = ICONS[name]
    return ico_file([(s, dib_entry(render(s, tile, badge))) for s in SIZES])


def read_ico(data):
    """Parses an .ico written by ico_file; returns {size: rows of (r, g, b, a), top first}."""
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1:
        raise ValueError("not an icon file")
    images = {}
    for i in range(count):
        w, h, colors, _, planes, bpp, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w = w or 256
        if w != (h or 256) or colors != 0 or planes != 1 or bpp != 32:
            raise ValueError("entry %d: unexpected format" % i)
        hsize, bw, bh, bplanes, bbpp, comp, isize = struct.unpack_from("<IiiHHII", data, offset)
        stride = ((w + 31) // 32) * 4
        if (hsize, bw, bh, bplanes, bbpp, comp) != (40, w, 2 * w, 1, 32, 0):
            raise ValueError("entry %d: bad bitmap header" % i)
        if length != 40 + w * w * 4 + stride * w or isize != length - 40:
            raise ValueError("entry %d: bad length" % i)
        pix = offset + 40
        rows = []
        for y in range(w):
            row = []
            for x in range(w):
                b, g, r, a = data[pix + (y * w + x) * 4: pix + (y * w + x) * 4 + 4]
                row.append((r, g, b, a))
            rows.append(row)
        rows.reverse()
        mask_base = pix + w * w * 4
        for y in range(w):
            for x in range(w):
                bit = data[mask_base + (w - 1 - y) * stride + (x >> 3)] >> (7 - (x & 7)) & 1
                if bit != (rows[y][x][3] == 0):
                    raise ValueError("entry %d: AND mask disagrees with alpha at %d,%d" % (i, x, y))
        images[w] = rows
    return images


def check(directory):
    """Reads back the written icons and checks what the driver relies on. Returns a list of problems."""
    problems = []
    decoded = {}
    for name in ICONS:
        path = os.path.join(directory, name)
        with open(path, "rb") as f:
            data = f.read()
        try:
            decoded[name] = read_ico(data)
        except ValueError as e:
            problems.append("%s: %s" % (name, e))
            continue
        if data != build(name):
            problems.append("%s: differs from a fresh drawing (not deterministic, or stale)" % name)
        if sorted(decoded[name]) != list(SIZES):
            problems.append("%s: sizes %s" % (name, sorted(decoded[name])))
    if problems:
        return problems
    with open(os.path.join(directory, "no_device.ico"), "rb") as f1, \
            open(os.path.join(directory, "locked_active.ico"), "rb") as f2:
        if f1.read() != f2.read():
            problems.append("no_device.ico and locked_active.ico differ")
    for name, images in decoded.items():
        _, _, badge = ICONS[name]
        for size, rows in images.items():
            where = "%s@%d" % (name, size)
            if rows[0][0][3] != 0 or rows[size - 1][0][3] != 0 or rows[0][size - 1][3] != 0:
                problems.append(where + ": corner not transparent")
            alphas = {p[3] for row in rows for p in row}
            if not any(0 < a < 255 for a in alphas):
                problems.append(where + ": no anti-aliased edge")
            if rows[size // 2][int(size * 0.225)] != (255, 255, 255, 255):
                problems.append(where + ": rim not white")
            side = rows[size // 2][max(1, size // 10)]  # the tile between its left edge and the rim
            if side[3] != 255 or side[:3] == (255, 255, 255):
                problems.append(where + ": no tile colour beside the wheel")
            corner = rows[int(size * 0.6)][int(size * 0.75)]  # inside the badge, above its bar
            if badge and not (corner[0] > 200 and corner[1] > 150 and corner[2] < 100):
                problems.append(where + ": no yellow badge")
            if not badge and corner[:3] == YELLOW:
                problems.append(where + ": unexpected badge")
    return problems


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    args = argv[1:]
    only_check = bool(args) and args[0] == "--check"
    if only_check:
        args = args[1:]
    out = args[0] if args else os.path.join(here, "..", "res")
    if not only_check:
        os.makedirs(out, exist_ok=True)
        for name in ICONS:
            with open(os.path.join(out, name), "wb") as f:
                f.write(build(name))
    problems = check(out)
    for p in problems:
        print("make_icons: " + p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
