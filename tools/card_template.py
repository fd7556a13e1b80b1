#!/usr/bin/python3
"""Draws the blank cartridge card (rom/misc/q64_cart.png): 512 x 384, a body
with a grip, a frame around the label window at (16, 38) 480 x 270 and a dark
strip where the title and subtitle are printed.  Run it after changing the
design; the PNG is committed."""
import sys
from PIL import Image, ImageDraw

W, H = 512, 384
BODY, EDGE, SHADE = (58, 64, 82, 255), (92, 100, 124, 255), (38, 42, 54, 255)
STRIP, ACCENT = (30, 33, 42, 255), (226, 132, 56, 255)

img = Image.new("RGBA", (W, H), (0, 0, 0, 0))
d = ImageDraw.Draw(img)
d.rounded_rectangle((0, 0, W - 1, H - 1), radius=18, fill=SHADE)
d.rounded_rectangle((2, 2, W - 3, H - 5), radius=16, fill=BODY)
# Grip ridges along the top edge.
for x in range(40, W - 40, 12):
    d.rectangle((x, 8, x + 5, 24), fill=EDGE)
    d.rectangle((x, 22, x + 5, 24), fill=SHADE)
# Frame around the label window; the label itself covers the inside.
d.rectangle((12, 34, 12 + 480 + 7, 34 + 270 + 7), fill=SHADE)
d.rectangle((16, 38, 16 + 479, 38 + 269), fill=(18, 20, 26, 255))
# Title and subtitle strip with a marker on the left.
d.rounded_rectangle((70, 320, W - 30, 372), radius=6, fill=STRIP)
d.polygon([(40, 330), (58, 346), (40, 362)], fill=ACCENT)
img.save(sys.argv[1] if len(sys.argv) > 1 else "rom/misc/q64_cart.png", optimize=True)
