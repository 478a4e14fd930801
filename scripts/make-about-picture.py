#!/usr/bin/env python3
"""Draws the about box's picture, monitor/AboutPicture.jpg: a globe with the
program's white T on it, 130 x 114 pixels. Python draws the pixels (four
samples a pixel each way); ImageMagick's convert writes the JPEG.

    scripts/make-about-picture.py [output.jpg]
"""
import math
import os
import subprocess
import sys
import tempfile

W, H, S = 130, 114, 4


def colour_at(x, y):
    """The colour of one sample; x and y in picture pixels."""
    # A pale sky, darker towards the bottom.
    t = y / H
    bg = (int(236 - 40 * t), int(244 - 30 * t), 255)
    cx, cy, r = W / 2, H / 2, 52
    dx, dy = x - cx, y - cy
    d = math.hypot(dx, dy)
    if d > r:
        # A soft shadow below and right of the globe.
        sd = math.hypot(dx - 3, dy - 4)
        if sd <= r:
            return tuple(int(c * 0.82) for c in bg)
        return bg
    # The T: a bar and a stem, white with a dark blue edge.
    bar = abs(dy + 22) <= 8 and abs(dx) <= 30
    stem = abs(dx) <= 8 and -30 <= dy <= 34
    edge_bar = abs(dy + 22) <= 10 and abs(dx) <= 32
    edge_stem = abs(dx) <= 10 and -32 <= dy <= 36
    if bar or stem:
        return (255, 255, 255)
    if edge_bar or edge_stem:
        return (14, 40, 100)
    # The globe: lit from the upper left, with parallels and meridians.
    light = max(0.0, 1.0 - math.hypot(dx + 18, dy + 18) / (2.2 * r))
    base = (int(31 + 90 * light), int(95 + 100 * light), int(191 + 60 * light))
    lat = math.asin(max(-1.0, min(1.0, dy / r)))
    half = math.sqrt(max(r * r - dy * dy, 1e-9))
    lon = math.asin(max(-1.0, min(1.0, dx / half)))
    on_line = (abs((lat / (math.pi / 8)) - round(lat / (math.pi / 8))) < 0.09 or
               abs((lon / (math.pi / 8)) - round(lon / (math.pi / 8))) < 0.09)
    if on_line:
        return tuple(min(255, c + 45) for c in base)
    if d > r - 1.5:
        return (14, 40, 100)
    return base


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "monitor", "AboutPicture.jpg")
    pixels = bytearray()
    for py in range(H):
        for px in range(W):
            acc = [0, 0, 0]
            for sy in range(S):
                for sx in range(S):
                    c = colour_at(px + (sx + 0.5) / S, py + (sy + 0.5) / S)
                    for i in range(3):
                        acc[i] += c[i]
            pixels += bytes(v // (S * S) for v in acc)
    with tempfile.TemporaryDirectory() as tmp:
        ppm = os.path.join(tmp, "about.ppm")
        with open(ppm, "wb") as f:
            f.write(b"P6\n%d %d\n255\n" % (W, H))
            f.write(pixels)
        convert = "convert-im6.q16" if subprocess.call(["which", "convert-im6.q16"],
                                                       stdout=subprocess.DEVNULL) == 0 else "convert"
        subprocess.check_call([convert, ppm, "-strip", "-quality", "80", out])
    print("wrote", out, os.path.getsize(out), "bytes")


if __name__ == "__main__":
    main()
