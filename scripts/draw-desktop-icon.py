#!/usr/bin/python3
"""Draws the launcher's desktop icon into desktop/icons/hicolor/.

One picture in the look of the page (night sky, gold frame with cut
corners, the game's initial in the page's font), drawn once at 1024 px with
the page pictures' helpers (scripts/draw-page-images.py) and scaled to
48, 128 and 256 px as hicolor/SIZExSIZE/apps/vantrel.png. Deterministic.
Needs python3-pil.

    scripts/draw-desktop-icon.py [output folder]
"""

import importlib.util
import os
import random
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "desktop", "icons", "hicolor")
SIZES = (48, 128, 256)

_spec = importlib.util.spec_from_file_location(
    "page_images", os.path.join(ROOT, "scripts", "draw-page-images.py"))
page = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(page)

N = 1024  # drawing size


def draw_icon():
    img = Image.new("RGBA", (N, N))
    inset, cut = 40, 150
    shape = page.chamfer_mask((N, N), inset, cut)

    art = page.vertical_gradient((N, N), [(0, (12, 15, 20)), (0.6, (22, 27, 34)),
                                          (1, (8, 9, 11))])
    page.glow(art, (N / 2, N * 0.46), 380, (140, 100, 44), 0.5)
    rnd = random.Random(4)
    stars = ImageDraw.Draw(art, "RGBA")
    for _ in range(60):
        x, y = rnd.uniform(0, N), rnd.uniform(0, N * 0.55)
        r = rnd.choice([2, 3, 4])
        stars.ellipse([x - r, y - r, x + r, y + r], fill=(210, 220, 235, rnd.randint(60, 170)))
    page.mountains(art, N * 0.84, 50, (26, 31, 37, 255), 13, 0.5)
    page.mountains(art, N * 0.92, 30, (10, 11, 13, 255), 17, 0.45)

    # The initial, gold on a dark halo.
    font = ImageFont.truetype(page.BOLD, 600)
    mask = Image.new("L", (N, N), 0)
    md = ImageDraw.Draw(mask)
    box = md.textbbox((0, 0), "M", font=font)
    x = N / 2 - (box[0] + box[2]) / 2
    y = N * 0.47 - (box[1] + box[3]) / 2
    md.text((x, y), "M", font=font, fill=255)
    page.paint(art, mask.filter(ImageFilter.GaussianBlur(24)), (0, 0, 0))
    page.paint(art, mask.filter(ImageFilter.GaussianBlur(40)).point(lambda v: v // 2),
               (170, 110, 30))
    top, bottom = mask.getbbox()[1], mask.getbbox()[3]
    metal = page.vertical_gradient((N, N), [
        (0, (255, 236, 170)), (top / N, (255, 240, 180)),
        (((top + bottom) / 2) / N, (222, 178, 88)), (bottom / N, (128, 90, 36)),
        (1, (128, 90, 36))])
    art.paste(metal, (0, 0), mask)
    marks = ImageDraw.Draw(art, "RGBA")
    page.diamond(marks, N / 2, N * 0.8, 34, page.GOLD_LIGHT + (255,))
    page.diamond(marks, N / 2, N * 0.8, 16, (20, 18, 12, 255))

    img.paste(art, (0, 0), shape)
    page.paint(img, page.outline_of(shape, 28), (196, 162, 86))
    inner = shape.filter(ImageFilter.MinFilter(28 * 2 + 1))
    page.paint(img, page.outline_of(inner, 10), (40, 30, 14, 220))
    return img


def main():
    icon = draw_icon()
    for size in SIZES:
        folder = os.path.join(OUT, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "vantrel.png")
        icon.resize((size, size), Image.LANCZOS).save(path, optimize=True)
        print("%-60s %6d bytes" % (os.path.relpath(path, ROOT), os.path.getsize(path)))


if __name__ == "__main__":
    main()
