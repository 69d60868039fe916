#!/usr/bin/env python3
"""Draws Trelvan's icon and writes res/trelvan.ico and the desktop's PNGs.

The motif is a radar screen: a dark round scope with range rings, a green
sweep and three echoes, the hosts found on the network. Each size is drawn
from the same geometry with supersampling, with strokes kept at least about
a pixel wide so the 16 px image still reads.

The file holds four 32-bit images (16, 32, 48 and 64 px), each an
uncompressed bottom-up DIB with a BITMAPINFOHEADER whose height is twice the
image height, followed by a 1-bit AND mask with rows padded to 4 bytes. Only
the standard library is used and nothing is random, so the same script
always writes the same bytes.

The same drawing, at the usual sizes of the hicolor icon theme from 16 to
256 px, goes to res/linux/icons/hicolor/NxN/apps/ICON_NAME.png: the icon of
the desktop entry. Those at the sizes of the .ico hold the same pixels.

Usage: tools/make-icon.py [OUTPUT] [--preview DIR] [--no-png]
  OUTPUT defaults to res/trelvan.ico beside this script's folder; --preview
  also writes enlarged PNG copies of each image into DIR; --no-png writes
  only the .ico.
"""

import math
import os
import struct
import sys
import zlib

SIZES = (16, 32, 48, 64)
PNG_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
# The desktop entry's and the metainfo's id, reversed from the home page's
# domain (dantrix.example).
ICON_NAME = "example.dantrix.trelvan"

# Colours, straight (not premultiplied) RGB.
SCOPE_CENTRE = (20, 66, 72)
SCOPE_EDGE = (8, 26, 40)
RIM = (126, 214, 176)
RING = (88, 190, 140)
SWEEP = (70, 232, 140)
BEAM = (190, 255, 210)
ECHO = (226, 255, 130)

RADIUS = 0.97  # of the half-size; leaves room for the rim's antialiasing
BEAM_ANGLE = math.radians(-50.0)  # screen angle, y grows downwards
SWEEP_SPAN = math.radians(110.0)
# Echoes as (distance from the centre in scope radii, angle in degrees).
ECHOES = ((0.62, -75.0), (0.34, -135.0), (0.74, -170.0))


def over(dst, colour, alpha):
    """Composites colour at alpha over dst, both premultiplied RGBA floats."""
    if alpha <= 0.0:
        return dst
    r, g, b = colour
    k = 1.0 - alpha
    return (r * alpha + dst[0] * k, g * alpha + dst[1] * k, b * alpha + dst[2] * k, alpha + dst[3] * k)


def band(distance, half_width):
    """Coverage of a stroke of the given half width at distance from its middle."""
    return 1.0 if abs(distance) <= half_width else 0.0


def shade(x, y, px):
    """Colour of one sample at (x, y), the scope's centre at 0 and its edge at
    RADIUS; px is the length of one pixel in these units."""
    d = math.hypot(x, y)
    if d > RADIUS:
        return (0.0, 0.0, 0.0, 0.0)
    small = px > 0.1  # the 16 px image drops the finer detail

    t = d / RADIUS
    scope = tuple(SCOPE_CENTRE[i] + (SCOPE_EDGE[i] - SCOPE_CENTRE[i]) * t * t for i in range(3))
    c = (scope[0], scope[1], scope[2], 1.0)

    # Range rings and, on the larger images, a faint cross.
    line = max(0.55 * px, 0.022)
    rings = (0.5,) if small else (0.34, 0.67)
    for r in rings:
        if band(d - r * RADIUS, line):
            c = over(c, RING, 0.7 if small else 0.55)
    if not small and (band(x, line * 0.8) or band(y, line * 0.8)):
        c = over(c, RING, 0.28)

    # The sweep: brightest at the beam, fading over SWEEP_SPAN behind it.
    if d > 0.0:
        behind = (BEAM_ANGLE - math.atan2(y, x)) % (2.0 * math.pi)
        if behind < SWEEP_SPAN:
            fade = 1.0 - behind / SWEEP_SPAN
            c = over(c, SWEEP, 0.7 * fade * fade)

    # The beam itself.
    bx, by = math.cos(BEAM_ANGLE), math.sin(BEAM_ANGLE)
    along = x * bx + y * by
    across = -x * by + y * bx
    if along > 0.0 and band(across, max(0.6 * px, 0.03)):
        c = over(c, BEAM, 0.95)

    # Echoes: a bright core with a soft halo.
    core = max(1.15 * px, 0.085)
    for dist, angle in ECHOES:
        a = math.radians(angle)
        e = math.hypot(x - dist * RADIUS * math.cos(a), y - dist * RADIUS * math.sin(a))
        if e < core * 2.2 and not small:
            c = over(c, ECHO, 0.35 * (1.0 - e / (core * 2.2)))
        if e < core:
            c = over(c, ECHO, 1.0)

    # Rim.
    rim = max(0.5 * px, 0.035)
    if band(d - (RADIUS - rim), rim):
        c = over(c, RIM, 0.9)
    return c


def render(size):
    """Returns size rows, top first, of (r, g, b, a) byte tuples, straight alpha."""
    samples = 8
    px = 2.0 / size
    rows = []
    for j in range(size):
        row = []
        for i in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sj in range(samples):
                for si in range(samples):
                    x = -1.0 + (i + (si + 0.5) / samples) * px
                    y = -1.0 + (j + (sj + 0.5) / samples) * px
                    s = shade(x, y, px)
                    for k in range(4):
                        acc[k] += s[k]
            n = samples * samples
            a = acc[3] / n
            alpha = int(round(a * 255.0))
            if alpha == 0:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(min(255, int(round(acc[k] / n / a))) for k in range(3))
            row.append(rgb + (alpha,))
        rows.append(row)
    return rows


def dib(rows):
    """One icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, AND mask."""
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = bytearray()
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for i, (r, g, b, a) in enumerate(row):
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[i // 8] |= 0x80 >> (i % 8)
        mask += bits
    header = struct.pack(
        "<IiiHHIIiiII",
        40,  # biSize
        size,  # biWidth
        2 * size,  # biHeight: colour image and mask
        1,  # biPlanes
        32,  # biBitCount
        0,  # biCompression: BI_RGB
        len(pixels) + len(mask),  # biSizeImage
        0,
        0,
        0,
        0,
    )
    return header + bytes(pixels) + bytes(mask)


def ico(images):
    """ICONDIR, one 16-byte entry per image, then the images in order."""
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    return bytes(out)


def png(rows, scale=1):
    """PNG of one image, straight alpha, each pixel drawn scale times as wide."""

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    size = len(rows) * scale
    raw = bytearray()
    for row in rows:
        line = bytearray(b"\0")
        for p in row:
            line += bytes(p) * scale
        raw += bytes(line) * scale
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
        + chunk(b"IEND", b"")
    )


def main(argv):
    args = argv[1:]
    preview = None
    if "--preview" in args:
        k = args.index("--preview")
        if k + 1 >= len(args):
            print(__doc__.strip(), file=sys.stderr)
            return 2
        preview = args[k + 1]
        del args[k : k + 2]
    with_png = "--no-png" not in args
    args = [a for a in args if a != "--no-png"]
    if len(args) > 1 or (args and args[0] in ("-h", "--help")):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    here = os.path.dirname(os.path.abspath(__file__))
    res = os.path.normpath(os.path.join(here, os.pardir, "res"))
    output = args[0] if args else os.path.join(res, "trelvan.ico")

    images = []
    for size in sorted(set(SIZES + (PNG_SIZES if with_png else ()))):
        rows = render(size)
        if size in SIZES:
            images.append((size, dib(rows)))
        if with_png and size in PNG_SIZES:
            folder = os.path.join(res, "linux", "icons", "hicolor", f"{size}x{size}", "apps")
            os.makedirs(folder, exist_ok=True)
            name = os.path.join(folder, ICON_NAME + ".png")
            with open(name, "wb") as f:
                f.write(png(rows))
            print(f"{name}: {os.path.getsize(name)} bytes")
        if preview and size in SIZES:
            os.makedirs(preview, exist_ok=True)
            with open(os.path.join(preview, f"trelvan-{size}.png"), "wb") as f:
                f.write(png(rows, 256 // size))
    data = ico(images)
    with open(output, "wb") as f:
        f.write(data)
    print(f"{output}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
