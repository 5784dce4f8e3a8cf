#!/usr/bin/env python3
"""Turns an icon drawn as text into a Windows .ico file of 16-colour images.

    scripts/make_icon.py updater/res/kestrel_icon.txt updater/res/kestrel.ico

The source holds one block per image: a line "image WxH", then H rows of W
characters, top row first. Each character names one colour of the standard
4-bit palette (see PALETTE); '.' is transparent. Lines starting with '#' are
comments. Every image is written as a 4-bit DIB with its AND mask, the form
the resource compiler puts into an icon group.
"""
import struct
import sys

# The standard 16-colour palette, in palette order, with the character that
# stands for each colour in the source.
PALETTE = [
    ("k", (0x00, 0x00, 0x00)),  # black
    ("r", (0x80, 0x00, 0x00)),  # maroon
    ("g", (0x00, 0x80, 0x00)),  # green
    ("y", (0x80, 0x80, 0x00)),  # olive
    ("b", (0x00, 0x00, 0x80)),  # navy
    ("m", (0x80, 0x00, 0x80)),  # purple
    ("c", (0x00, 0x80, 0x80)),  # teal
    ("s", (0xC0, 0xC0, 0xC0)),  # silver
    ("d", (0x80, 0x80, 0x80)),  # grey
    ("R", (0xFF, 0x00, 0x00)),  # red
    ("G", (0x00, 0xFF, 0x00)),  # lime
    ("Y", (0xFF, 0xFF, 0x00)),  # yellow
    ("B", (0x00, 0x00, 0xFF)),  # blue
    ("M", (0xFF, 0x00, 0xFF)),  # fuchsia
    ("C", (0x00, 0xFF, 0xFF)),  # aqua
    ("W", (0xFF, 0xFF, 0xFF)),  # white
]
INDEX = {ch: i for i, (ch, _) in enumerate(PALETTE)}
TRANSPARENT = "."


def parse(text, name):
    images = []
    current = None
    for lineno, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("image "):
            w, h = (int(v) for v in line[6:].lower().split("x"))
            current = {"w": w, "h": h, "rows": []}
            images.append(current)
            continue
        if current is None:
            sys.exit(f"{name}:{lineno}: pixels before the first 'image' line")
        if len(line) != current["w"]:
            sys.exit(f"{name}:{lineno}: row of {len(line)} pixels in a {current['w']}-pixel image")
        bad = [c for c in line if c != TRANSPARENT and c not in INDEX]
        if bad:
            sys.exit(f"{name}:{lineno}: unknown colour '{bad[0]}'")
        current["rows"].append(line)
        if len(current["rows"]) > current["h"]:
            sys.exit(f"{name}:{lineno}: more than {current['h']} rows")
    for img in images:
        if len(img["rows"]) != img["h"]:
            sys.exit(f"{name}: image {img['w']}x{img['h']} has {len(img['rows'])} rows")
    if not images:
        sys.exit(f"{name}: no image")
    return images


def padded(row_bytes):
    return row_bytes + (-len(row_bytes) % 4) * b"\0"


def dib(img):
    """BITMAPINFOHEADER, palette, 4-bit colour rows and 1-bit mask rows,
    both bottom-up, each row padded to 32 bits."""
    w, h = img["w"], img["h"]
    xor = b""
    mask = b""
    for row in reversed(img["rows"]):
        nibbles = [INDEX.get(c, 0) for c in row]
        if len(nibbles) % 2:
            nibbles.append(0)
        xor += padded(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, len(nibbles), 2)))
        bits = [1 if c == TRANSPARENT else 0 for c in row]
        bits += [0] * (-len(bits) % 8)
        mask += padded(bytes(sum(b << (7 - j) for j, b in enumerate(bits[i:i + 8])) for i in range(0, len(bits), 8)))
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 4, 0, len(xor) + len(mask), 0, 0, 0, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)
    return header + palette + xor + mask


def ico(images):
    blobs = [dib(img) for img in images]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for img, blob in zip(images, blobs):
        out += struct.pack("<BBBBHHII", img["w"] & 0xFF, img["h"] & 0xFF, 16, 0, 1, 4, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], encoding="ascii") as f:
        images = parse(f.read(), argv[1])
    with open(argv[2], "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main(sys.argv)
