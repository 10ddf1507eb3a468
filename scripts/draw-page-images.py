#!/usr/bin/python3
"""Draws the launcher page's pictures into src/ui/res/img/.

Every picture is drawn at four times its size and scaled down, which gives
smooth edges. The output is deterministic (a fixed random seed), so running
the script again reproduces the committed PNG files byte for byte on the
same Pillow version. Needs python3-pil; the logo uses the page's own font.

    scripts/draw-page-images.py [output folder]
"""

import math
import os
import random
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RES = os.path.join(ROOT, "src", "ui", "res")
OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.join(RES, "img")
BOLD = os.path.join(RES, "fonts", "PlayfairDisplayBold.ttf")
REGULAR = os.path.join(RES, "fonts", "PlayfairDisplayRegular.ttf")

S = 4  # supersampling factor

GOLD = (155, 136, 80)
GOLD_LIGHT = (255, 218, 110)
GOLD_DARK = (92, 78, 44)
PANEL_LINE = (36, 42, 42)
BAR_LINE = (63, 67, 66)


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(int(round(lerp(x, y, t))) for x, y in zip(c1, c2))


def save(img, name, size):
    out = img.resize(size, Image.LANCZOS) if img.size != size else img
    assert out.size == size, (name, out.size, size)
    out.save(os.path.join(OUT, name), optimize=True)


def vertical_gradient(size, stops):
    """An RGBA image filled top to bottom through (position, colour) stops."""
    w, h = size
    column = Image.new("RGBA", (1, h))
    px = column.load()
    for y in range(h):
        t = y / max(h - 1, 1)
        for (p0, c0), (p1, c1) in zip(stops, stops[1:]):
            if p0 <= t <= p1:
                c = mix(c0, c1, (t - p0) / max(p1 - p0, 1e-9))
                px[0, y] = c if len(c) == 4 else c + (255,)
                break
    return column.resize((w, h))


def chamfer_mask(size, inset, cut):
    """A rectangle with cut corners, white inside."""
    w, h = size
    mask = Image.new("L", size, 0)
    d = ImageDraw.Draw(mask)
    x0, y0, x1, y1 = inset, inset, w - 1 - inset, h - 1 - inset
    d.polygon([(x0 + cut, y0), (x1 - cut, y0), (x1, y0 + cut), (x1, y1 - cut),
               (x1 - cut, y1), (x0 + cut, y1), (x0, y1 - cut), (x0, y0 + cut)], fill=255)
    return mask


def outline_of(mask, width):
    """The band of a mask's edge, width pixels inwards."""
    inner = mask.filter(ImageFilter.MinFilter(width * 2 + 1))
    return ImageChops.subtract(mask, inner)


def paint(base, mask, colour):
    layer = Image.new("RGBA", base.size, colour if len(colour) == 4 else colour + (255,))
    base.alpha_composite(Image.composite(layer, Image.new("RGBA", base.size), mask))


def glow(base, centre, radius, colour, strength):
    w, h = base.size
    layer = Image.new("L", base.size, 0)
    d = ImageDraw.Draw(layer)
    cx, cy = centre
    d.ellipse([cx - radius, cy - radius * 0.55, cx + radius, cy + radius * 0.55],
              fill=int(255 * strength))
    layer = layer.filter(ImageFilter.GaussianBlur(radius * 0.45))
    paint(base, layer, colour)


def mountains(base, y_base, amplitude, colour, seed, roughness=0.5, top_alpha=255):
    rnd = random.Random(seed)
    w, h = base.size
    points = []
    # Midpoint displacement for a ridge line.
    n = 257
    ys = [0.0] * n
    ys[0], ys[-1] = rnd.uniform(-1, 1), rnd.uniform(-1, 1)
    step, scale = n - 1, 1.0
    while step > 1:
        half = step // 2
        for i in range(half, n - 1, step):
            ys[i] = (ys[i - half] + ys[i + half]) / 2 + rnd.uniform(-scale, scale)
        step, scale = half, scale * roughness
    for i, v in enumerate(ys):
        points.append((i * (w - 1) / (n - 1), y_base - v * amplitude))
    mask = Image.new("L", base.size, 0)
    ImageDraw.Draw(mask).polygon(points + [(w, h), (0, h)], fill=top_alpha)
    paint(base, mask, colour)


def diamond(d, cx, cy, r, fill):
    d.polygon([(cx, cy - r), (cx + r, cy), (cx, cy + r), (cx - r, cy)], fill=fill)


def ornament_line(d, x0, x1, y, colour, width):
    """A hairline that fades out at both ends, with a diamond in the middle."""
    n = 64
    for i in range(n):
        t0, t1 = i / n, (i + 1) / n
        a = math.sin(math.pi * (t0 + t1) / 2) ** 1.5
        d.line([(lerp(x0, x1, t0), y), (lerp(x0, x1, t1), y)],
               fill=colour + (int(255 * a),), width=width)
    cx = (x0 + x1) / 2
    diamond(d, cx, y, 5 * S, colour + (255,))
    diamond(d, cx, y, 2.5 * S, (20, 18, 12, 255))


def panel(base, box, alpha=200, cut=6):
    """A dark framed panel: translucent fill, a border, a light top edge."""
    x0, y0, x1, y1 = box
    w, h = x1 - x0, y1 - y0
    mask = chamfer_mask((w, h), 0, cut * S)
    fill = vertical_gradient((w, h), [(0, (14, 17, 18, alpha)), (1, (7, 9, 10, alpha))])
    layer = Image.new("RGBA", (w, h))
    layer.paste(fill, (0, 0), mask)
    edge = outline_of(mask, S)
    border = Image.new("RGBA", (w, h), PANEL_LINE + (255,))
    layer.paste(border, (0, 0), edge)
    top = Image.new("L", (w, h), 0)
    ImageDraw.Draw(top).line([(cut * S, S * 1.5), (w - cut * S, S * 1.5)], fill=90, width=S)
    paint(layer, top, GOLD)
    base.alpha_composite(layer, (x0, y0))


def draw_background():
    W, H = 989 * S, 601 * S
    img = Image.new("RGBA", (W, H))
    shape = chamfer_mask((W, H), 2 * S, 18 * S)

    # Night sky: deep blue-black, lighter towards the horizon.
    sky = vertical_gradient((W, H), [(0.0, (9, 11, 14)), (0.45, (16, 21, 27)),
                                     (0.78, (24, 28, 31)), (1.0, (8, 9, 10))])
    art = Image.new("RGBA", (W, H))
    art.alpha_composite(sky)

    # A warm light behind the logo and a cold one low on the horizon.
    glow(art, (W / 2, 238 * S), 330 * S, (120, 88, 40), 0.33)
    glow(art, (W * 0.22, 500 * S), 300 * S, (40, 70, 90), 0.22)
    glow(art, (W * 0.8, 520 * S), 280 * S, (50, 60, 80), 0.18)

    # Stars.
    rnd = random.Random(7)
    star_layer = Image.new("RGBA", (W, H))
    stars = ImageDraw.Draw(star_layer)
    for _ in range(170):
        x, y = rnd.uniform(0, W), rnd.uniform(0, H * 0.62)
        r = rnd.choice([0.5, 0.6, 0.8, 1.1]) * S
        a = rnd.randint(40, 170)
        stars.ellipse([x - r, y - r, x + r, y + r], fill=(210, 220, 235, a))
    art.alpha_composite(star_layer)

    # Three mountain ranges, the far ones hazier, with mist between them.
    mountains(art, 462 * S, 80 * S, (40, 48, 57, 255), 11, 0.55)
    mist = vertical_gradient((W, H), [(0, (0, 0, 0, 0)), (0.72, (0, 0, 0, 0)),
                                      (0.8, (90, 104, 114, 90)), (1, (0, 0, 0, 0))])
    art.alpha_composite(mist)
    mountains(art, 528 * S, 60 * S, (22, 27, 32, 255), 23, 0.5)
    mountains(art, 578 * S, 35 * S, (9, 10, 12, 255), 5, 0.45)

    # A vignette towards the edges.
    vignette = Image.new("L", (W, H), 0)
    ImageDraw.Draw(vignette).rectangle([0, 0, W, H], fill=150)
    ImageDraw.Draw(vignette).ellipse([-W * 0.1, -H * 0.25, W * 1.1, H * 1.2], fill=0)
    vignette = vignette.filter(ImageFilter.GaussianBlur(60 * S))
    paint(art, vignette, (0, 0, 0))

    # Header band with a gold hairline under it.
    header = Image.new("L", (W, H), 0)
    hd = ImageDraw.Draw(header)
    hd.rectangle([56 * S, 16 * S, 933 * S, 86 * S], fill=150)
    header = header.filter(ImageFilter.GaussianBlur(6 * S))
    paint(art, header, (5, 6, 7))
    # Lines and marks go on a layer of their own, laid over the art at the end
    # (drawing translucent ink straight onto the art would replace its alpha).
    marks = Image.new("RGBA", (W, H))
    d = ImageDraw.Draw(marks)
    ornament_line(d, 56 * S, 933 * S, 86 * S, GOLD_DARK, S)

    # Server status plate: two cells.
    panel(art, (272 * S, 100 * S, 717 * S, 125 * S), alpha=215, cut=4)
    d.line([(494.5 * S, 105 * S), (494.5 * S, 120 * S)], fill=PANEL_LINE + (255,), width=S)

    # Side panels of the content row; the middle column is open, with the logo
    # above the banner frame.
    panel(art, (40 * S, 169 * S, 284 * S, 472 * S), alpha=205)
    panel(art, (705 * S, 169 * S, 949 * S, 472 * S), alpha=205)
    # Banner frame in the middle column, at (25, 143) of it, 369 x 149.
    bx0, by0 = (40 + 244 + 25) * S, (169 + 143) * S
    bx1, by1 = bx0 + 369 * S, by0 + 149 * S
    frame = Image.new("L", (W, H), 0)
    ImageDraw.Draw(frame).rectangle([bx0 - 4 * S, by0 - 4 * S, bx1 + 4 * S, by1 + 4 * S],
                                    fill=200)
    paint(art, frame.filter(ImageFilter.GaussianBlur(5 * S)), (0, 0, 0))
    slot = Image.new("L", (W, H), 0)
    ImageDraw.Draw(slot).rectangle([bx0, by0, bx1, by1], fill=235)
    paint(art, slot, (10, 12, 13))
    d.rectangle([bx0 - 3 * S, by0 - 3 * S, bx1 + 3 * S, by1 + 3 * S], outline=GOLD_DARK + (255,),
                width=S)
    for cx, cy in [(bx0 - 3 * S, by0 - 3 * S), (bx1 + 3 * S, by0 - 3 * S),
                   (bx0 - 3 * S, by1 + 3 * S), (bx1 + 3 * S, by1 + 3 * S)]:
        diamond(d, cx, cy, 4 * S, GOLD + (255,))
    # Faint emblem inside the empty frame.
    ecx, ecy = (bx0 + bx1) / 2, (by0 + by1) / 2
    for r, a in [(30 * S, 40), (22 * S, 30)]:
        d.ellipse([ecx - r, ecy - r, ecx + r, ecy + r], outline=GOLD + (a,), width=S)
    diamond(d, ecx, ecy, 12 * S, GOLD + (45,))

    # The logo.
    font = ImageFont.truetype(BOLD, 64 * S)
    small = ImageFont.truetype(REGULAR, 13 * S)
    title = "MYREFALL"
    spacing = 6 * S
    widths = [d.textlength(ch, font=font) for ch in title]
    total = sum(widths) + spacing * (len(title) - 1)
    x = W / 2 - total / 2
    ty = 196 * S
    text_mask = Image.new("L", (W, H), 0)
    tm = ImageDraw.Draw(text_mask)
    for ch, cw in zip(title, widths):
        tm.text((x, ty), ch, font=font, fill=255)
        x += cw + spacing
    shadow = text_mask.filter(ImageFilter.GaussianBlur(7 * S))
    paint(art, shadow, (0, 0, 0))
    halo = text_mask.filter(ImageFilter.GaussianBlur(14 * S))
    paint(art, halo.point(lambda v: v // 2), (150, 100, 30))
    metal = vertical_gradient((W, H), [(0, (255, 236, 170)), (ty / H, (255, 236, 170)),
                                       ((ty + 40 * S) / H, (214, 170, 84)),
                                       ((ty + 90 * S) / H, (120, 86, 36)), (1, (120, 86, 36))])
    art.paste(metal, (0, 0), text_mask)
    sub = "KESTRUNE"
    sx = W / 2 - (d.textlength(sub, font=small) + 12 * S * (len(sub) - 1)) / 2
    for ch in sub:
        d.text((sx, 278 * S), ch, font=small, fill=(184, 164, 112, 255))
        sx += d.textlength(ch, font=small) + 12 * S
    ornament_line(d, 380 * S, 609 * S, 300 * S, GOLD_DARK, S)
    art.alpha_composite(marks)

    # Frame of the whole window: dark rim, gold line, inner shadow.
    result = Image.new("RGBA", (W, H))
    result.paste(art, (0, 0), shape)
    rim = outline_of(shape, 2 * S)
    paint(result, rim, (4, 5, 6))
    inner = outline_of(shape.filter(ImageFilter.MinFilter(4 * S + 1)), S)
    paint(result, inner, GOLD_DARK)
    inner2 = outline_of(shape.filter(ImageFilter.MinFilter(6 * S + 1)), S)
    paint(result, inner2, (0, 0, 0, 160))
    save(result, "bgfull.png", (989, 601))


def draw_play_button(hover):
    W, H = 162 * S, 53 * S
    img = Image.new("RGBA", (W, H))
    outer = chamfer_mask((W, H), 2 * S, 10 * S)
    if hover:
        halo = outer.filter(ImageFilter.GaussianBlur(3 * S))
        paint(img, halo, (255, 190, 80, 150))
    body = vertical_gradient((W, H), [(0, (150, 62, 34)), (0.48, (112, 36, 20)),
                                      (0.52, (92, 26, 14)), (1, (58, 14, 8))]
                             if not hover else
                             [(0, (196, 92, 44)), (0.48, (150, 54, 26)),
                              (0.52, (126, 40, 18)), (1, (84, 22, 10))])
    img.paste(body, (0, 0), outer)
    # Gold border, a dark line inside it and a light line at the top.
    paint(img, outline_of(outer, 2 * S), GOLD_LIGHT if hover else (196, 162, 86))
    inner = outer.filter(ImageFilter.MinFilter(4 * S + 1))
    paint(img, outline_of(inner, S), (40, 12, 6, 200))
    sheen = Image.new("L", (W, H), 0)
    ImageDraw.Draw(sheen).rectangle([8 * S, 6 * S, W - 8 * S, H / 2 - 2 * S], fill=40 if hover else 26)
    paint(img, ImageChops.multiply(sheen, inner), (255, 240, 200))
    d = ImageDraw.Draw(img, "RGBA")
    for x in (9 * S, W - 9 * S):
        diamond(d, x, H / 2, 3 * S, (GOLD_LIGHT if hover else GOLD) + (255,))
    save(img, "playbtn_hover.png" if hover else "playbtn.png", (162, 53))


def draw_window_button(kind, hover):
    W = H = 30 * S
    img = Image.new("RGBA", (W, H))
    box = chamfer_mask((W, H), 2 * S, 4 * S)  # the visible 26 x 26 square
    fill = vertical_gradient((W, H), [(0, (30, 34, 35)), (1, (12, 14, 15))] if not hover else
                             ([(0, (120, 34, 26)), (1, (70, 16, 12))] if kind == "close" else
                              [(0, (52, 58, 58)), (1, (26, 30, 31))]))
    img.paste(fill, (0, 0), box)
    paint(img, outline_of(box, S), GOLD if hover else BAR_LINE)
    d = ImageDraw.Draw(img, "RGBA")
    colour = (255, 255, 255, 255) if hover else (150, 156, 155, 255)
    c = W / 2
    if kind == "close":
        r = 5 * S
        d.line([(c - r, c - r), (c + r, c + r)], fill=colour, width=int(1.8 * S))
        d.line([(c - r, c + r), (c + r, c - r)], fill=colour, width=int(1.8 * S))
    else:
        d.line([(c - 5 * S, c + 3 * S), (c + 5 * S, c + 3 * S)], fill=colour, width=int(1.8 * S))
    save(img, "%sbtn%s.png" % (kind, "_hover" if hover else ""), (30, 30))


def draw_checkbox(checked):
    W = H = 15 * S
    img = Image.new("RGBA", (W, H))
    d = ImageDraw.Draw(img, "RGBA")
    d.rectangle([0, 0, W - 1, H - 1], fill=(1, 1, 1, 255))
    d.rectangle([0, 0, W - 1, H - 1], outline=GOLD + (255,) if checked else BAR_LINE + (255,),
                width=S)
    if checked:
        d.line([(3.5 * S, 7.5 * S), (6.2 * S, 10.5 * S), (11.5 * S, 4 * S)],
               fill=GOLD_LIGHT + (255,), width=int(2 * S), joint="curve")
    save(img, "checkbox_checked.png" if checked else "checkbox.png", (15, 15))


def draw_menu_item_bg():
    # 1 x 38: a warm haze rising from a bright line at the bottom.
    img = Image.new("RGBA", (1, 38))
    px = img.load()
    for y in range(38):
        t = y / 37
        px[0, y] = GOLD + (int(70 * t ** 3),)
    px[0, 35] = GOLD + (140,)
    px[0, 36] = GOLD_LIGHT + (255,)
    px[0, 37] = GOLD + (120,)
    save(img, "menu_item_bg.png", (1, 38))


def draw_arrow():
    W = H = 9 * S
    img = Image.new("RGBA", (W, H))
    d = ImageDraw.Draw(img, "RGBA")
    d.polygon([(0.5 * S, 2.5 * S), (8.5 * S, 2.5 * S), (4.5 * S, 7 * S)],
              fill=(155, 160, 158, 255))
    save(img, "arrow.png", (9, 9))


def main():
    os.makedirs(OUT, exist_ok=True)
    draw_background()
    for hover in (False, True):
        draw_play_button(hover)
        draw_window_button("close", hover)
        draw_window_button("minimize", hover)
        draw_checkbox(hover)
    draw_menu_item_bg()
    draw_arrow()
    for name in sorted(os.listdir(OUT)):
        if name.endswith(".png"):
            with Image.open(os.path.join(OUT, name)) as im:
                print("%-24s %4d x %-4d" % (name, im.size[0], im.size[1]))


if __name__ == "__main__":
    main()
