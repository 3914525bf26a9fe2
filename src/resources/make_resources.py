#!/usr/bin/env python3
"""Writes the compiled-in resources: the empty tile database template and the two
16 x 16 arrow icons. The output depends only on this script and the SQLite library,
so running it again reproduces the committed files."""

import math
import os
import sqlite3
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

TILES_TABLE = ("CREATE TABLE tiles ( x INTEGER , y INTEGER , z INTEGER , "
               "image BYTE , PRIMARY KEY ( x , y , z ) )")


def make_template(path):
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("PRAGMA page_size=1024")
    db.execute("PRAGMA encoding='UTF-8'")
    db.execute("PRAGMA auto_vacuum=NONE")
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute(TILES_TABLE)
    db.execute("PRAGMA user_version=0")
    db.close()
    size = os.path.getsize(path)
    if size != 3072:
        sys.exit("template has %d bytes, expected 3072" % size)


def png(width, height, rgba_rows):
    raw = b"".join(b"\x00" + bytes(row) for row in rgba_rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def arrow_coverage(px, py):
    """Coverage of a clockwise circular arrow at sample point (px, py) in a 16 x 16 cell."""
    cx, cy, radius, half_width = 8.0, 8.0, 5.0, 1.25
    dx, dy = px - cx, py - cy
    angle = math.degrees(math.atan2(-dy, dx)) % 360.0  # counter-clockwise from east
    dist = math.hypot(dx, dy)
    # The ring runs from 60 to 330 degrees; the head sits at the 60 degree end and
    # points clockwise into the gap.
    if 60.0 <= angle <= 330.0 and abs(dist - radius) <= half_width:
        return True
    a = math.radians(60.0)
    tip = (cx + radius * math.cos(a) + 3.2 * math.sin(a),
           cy - radius * math.sin(a) + 3.2 * math.cos(a))
    base_in = (cx + (radius - 3.0) * math.cos(a), cy - (radius - 3.0) * math.sin(a))
    base_out = (cx + (radius + 3.0) * math.cos(a), cy - (radius + 3.0) * math.sin(a))
    return point_in_triangle((px, py), tip, base_in, base_out)


def point_in_triangle(p, a, b, c):
    def side(p1, p2, p3):
        return (p1[0] - p3[0]) * (p2[1] - p3[1]) - (p2[0] - p3[0]) * (p1[1] - p3[1])
    d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


def make_arrow(path, clockwise):
    samples = 4
    rows = []
    for y in range(16):
        row = []
        for x in range(16):
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    px = x + (sx + 0.5) / samples
                    if not clockwise:
                        px = 16.0 - px
                    if arrow_coverage(px, y + (sy + 0.5) / samples):
                        hits += 1
            alpha = round(255 * hits / (samples * samples))
            row += [0x2e, 0x9e, 0x32, alpha]
        rows.append(row)
    with open(path, "wb") as f:
        f.write(png(16, 16, rows))


def main():
    make_template(os.path.join(HERE, "db", "dbtemplate.sqlitedb"))
    make_arrow(os.path.join(HERE, "images", "right-16.png"), clockwise=True)
    make_arrow(os.path.join(HERE, "images", "left-16.png"), clockwise=False)


if __name__ == "__main__":
    main()
