#!/usr/bin/python3
"""Draws the banners of the demo's launcher data into demo/launcherdata/.

Three pictures of 369 x 149 px, the size of the page's banner slot, without
words of any one language (the same pictures serve every language). Drawn
with the page pictures' helpers (scripts/draw-page-images.py) at four times
their size, deterministic, and stored as palette PNG files to keep the
launcher data small (the data carries them inline). Needs python3-pil.

    scripts/draw-demo-banners.py [output folder]
"""

import importlib.util
import os
import random
import sys

from PIL import Image, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "demo", "launcherdata")

_spec = importlib.util.spec_from_file_location(
    "page_images", os.path.join(ROOT, "scripts", "draw-page-images.py"))
page = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(page)

S = page.S
W, H = 369 * S, 149 * S


def spaced_text(d, mask, text, font, cy, spacing, fill=255):
    """Draws text centred horizontally on mask with extra letter spacing."""
    widths = [d.textlength(ch, font=font) for ch in text]
    total = sum(widths) + spacing * (len(text) - 1)
    x = W / 2 - total / 2
    box = font.getbbox(text)
    y = cy - (box[1] + box[3]) / 2
    md = ImageDraw.Draw(mask)
    for ch, cw in zip(text, widths):
        md.text((x, y), ch, font=font, fill=fill)
        x += cw + spacing


def gold_text(img, text, size, cy, spacing, bold=True):
    """Gold lettering with a dark shadow and a warm halo."""
    font = ImageFont.truetype(page.BOLD if bold else page.REGULAR, size)
    mask = Image.new("L", img.size, 0)
    spaced_text(ImageDraw.Draw(mask), mask, text, font, cy, spacing)
    page.paint(img, mask.filter(ImageFilter.GaussianBlur(4 * S)), (0, 0, 0))
    page.paint(img, mask.filter(ImageFilter.GaussianBlur(9 * S)).point(lambda v: v // 2),
               (150, 100, 30))
    box = mask.getbbox() or (0, 0, W, H)
    metal = page.vertical_gradient(img.size, [
        (0, (255, 236, 170)), (box[1] / H, (255, 236, 170)),
        (((box[1] + box[3]) / 2) / H, (214, 170, 84)), (box[3] / H, (130, 92, 38)),
        (1, (130, 92, 38))])
    img.paste(metal, (0, 0), mask)


def frame(img):
    """A thin gold line inside the edge."""
    d = ImageDraw.Draw(img, "RGBA")
    d.rectangle([3 * S, 3 * S, W - 3 * S, H - 3 * S], outline=page.GOLD_DARK + (255,), width=S)


def stars(img, seed, count, top):
    rnd = random.Random(seed)
    layer = Image.new("RGBA", img.size)
    d = ImageDraw.Draw(layer)
    for _ in range(count):
        x, y = rnd.uniform(0, W), rnd.uniform(0, H * top)
        r = rnd.choice([0.5, 0.7, 1.0]) * S
        d.ellipse([x - r, y - r, x + r, y + r], fill=(215, 222, 235, rnd.randint(50, 180)))
    img.alpha_composite(layer)


def new_chapter():
    """Dawn over the ranges, a large "II" and the game's name."""
    img = page.vertical_gradient((W, H), [(0, (18, 22, 34)), (0.55, (74, 58, 52)),
                                          (0.8, (168, 108, 58)), (1, (60, 40, 28))])
    page.glow(img, (W / 2, H * 0.82), 190 * S, (255, 170, 80), 0.55)
    stars(img, 3, 40, 0.4)
    page.mountains(img, H * 0.78, 18 * S, (52, 44, 48, 255), 31, 0.55)
    page.mountains(img, H * 0.9, 12 * S, (24, 20, 22, 255), 37, 0.5)
    gold_text(img, "II", 64 * S, H * 0.34, 4 * S)
    marks = Image.new("RGBA", img.size)
    d = ImageDraw.Draw(marks)
    page.ornament_line(d, 110 * S, 259 * S, H * 0.6, page.GOLD, S)
    img.alpha_composite(marks)
    gold_text(img, "MYREFALL", 11 * S, H * 0.7, 7 * S, bold=False)
    frame(img)
    return img


def double_weekend():
    """Embers on a deep red ground and a large "x2"."""
    img = page.vertical_gradient((W, H), [(0, (38, 10, 8)), (0.6, (86, 24, 14)), (1, (30, 8, 6))])
    page.glow(img, (W / 2, H / 2), 150 * S, (255, 120, 40), 0.45)
    rnd = random.Random(5)
    embers = Image.new("RGBA", img.size)
    d = ImageDraw.Draw(embers)
    for _ in range(90):
        x, y = rnd.uniform(0, W), rnd.uniform(0, H)
        r = rnd.uniform(0.6, 2.2) * S
        d.ellipse([x - r, y - r, x + r, y + r], fill=(255, rnd.randint(140, 210), 80,
                                                       rnd.randint(60, 200)))
    img.alpha_composite(embers.filter(ImageFilter.GaussianBlur(0.6 * S)))
    gold_text(img, "\u00d72", 84 * S, H * 0.47, 2 * S)
    marks = Image.new("RGBA", img.size)
    md = ImageDraw.Draw(marks)
    for x in (70 * S, W - 70 * S):
        page.diamond(md, x, H * 0.47, 6 * S, page.GOLD + (255,))
        page.diamond(md, x, H * 0.47, 3 * S, (40, 10, 6, 255))
    img.alpha_composite(marks)
    frame(img)
    return img


def realm():
    """A moonlit keep on a ridge and the realm's name."""
    img = page.vertical_gradient((W, H), [(0, (8, 12, 20)), (0.7, (22, 34, 48)),
                                          (1, (10, 14, 18))])
    page.glow(img, (W * 0.86, H * 0.27), 90 * S, (120, 150, 190), 0.35)
    stars(img, 9, 70, 0.7)
    d = ImageDraw.Draw(img, "RGBA")
    mx, my, mr = W * 0.86, H * 0.27, 15 * S
    d.ellipse([mx - mr, my - mr, mx + mr, my + mr], fill=(230, 232, 220, 255))
    d.ellipse([mx - mr + 7 * S, my - mr - 3 * S, mx + mr + 7 * S, my + mr - 3 * S],
              fill=(18, 26, 38, 235))
    page.mountains(img, H * 0.8, 14 * S, (14, 18, 24, 255), 41, 0.5)
    keep = Image.new("L", img.size, 0)
    kd = ImageDraw.Draw(keep)
    base = H * 0.8
    x0 = W * 0.05
    for i, (w, h) in enumerate([(14, 38), (22, 26), (12, 52), (22, 30), (14, 40)]):
        left = x0 + sum(ww for ww, _ in [(14, 38), (22, 26), (12, 52), (22, 30)][:i]) * S
        kd.rectangle([left, base - h * S, left + w * S, base + 4 * S], fill=255)
        for t in range(0, w, 4):
            kd.rectangle([left + t * S, base - (h + 3) * S, left + (t + 2) * S, base - h * S],
                         fill=255)
    page.paint(img, keep, (8, 10, 14))
    lights = ImageDraw.Draw(img, "RGBA")
    for lx, ly in [(x0 + 30 * S, base - 14 * S), (x0 + 44 * S, base - 34 * S),
                   (x0 + 66 * S, base - 12 * S)]:
        lights.rectangle([lx, ly, lx + 2 * S, ly + 3 * S], fill=(255, 200, 110, 255))
    gold_text(img, "KESTRUNE", 26 * S, H * 0.5, 6 * S)
    frame(img)
    return img


def save(img, name):
    out = img.resize((369, 149), Image.LANCZOS).convert("RGB")
    out = out.quantize(colors=128, method=Image.MEDIANCUT, dither=Image.FLOYDSTEINBERG)
    out.save(os.path.join(OUT, name), optimize=True)


def main():
    os.makedirs(OUT, exist_ok=True)
    save(new_chapter(), "banner1.png")
    save(double_weekend(), "banner2.png")
    save(realm(), "banner3.png")
    for name in ("banner1.png", "banner2.png", "banner3.png"):
        print("%-12s %6d bytes" % (name, os.path.getsize(os.path.join(OUT, name))))


if __name__ == "__main__":
    main()
