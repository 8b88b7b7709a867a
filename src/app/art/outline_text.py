#!/usr/bin/python3
"""Turn the lettering of the art into outlines.

The pictures are drawn by Qt's SVG renderer on whatever machine runs the
program, so their lettering is stored as outlines rather than as <text>: it then
looks the same whether or not the font is installed there.  Every <path> that
carries a data-text attribute is lettering; this script recomputes its "d" from
the attributes beside it and rewrites the file in place:

    data-text     the words
    data-font     a DejaVu face, e.g. DejaVuSerif-Bold (or a path to a .ttf)
    data-size     the font size in user units
    data-x        x of the anchor point
    data-y        y of the baseline
    data-anchor   start | middle | end (default start)
    data-spacing  extra advance after each letter, in user units (default 0)

Usage: outline_text.py file.svg [file.svg ...]      (needs python3-fonttools)
"""
import os
import re
import sys

from fontTools.pens.svgPathPen import SVGPathPen
from fontTools.pens.transformPen import TransformPen
from fontTools.ttLib import TTFont

FONT_DIR = "/usr/share/fonts/truetype/dejavu"
_fonts = {}


def font(name):
    path = name if name.endswith(".ttf") else os.path.join(FONT_DIR, name + ".ttf")
    if path not in _fonts:
        _fonts[path] = TTFont(path)
    return _fonts[path]


def kerning(tt):
    pairs = {}
    if "kern" in tt:
        for table in tt["kern"].kernTables:
            pairs.update(table.kernTable)
    return pairs


def outline(text, face, size, x, y, anchor="start", spacing=0.0):
    tt = font(face)
    glyphs = tt.getGlyphSet()
    cmap = tt.getBestCmap()
    hmtx = tt["hmtx"]
    kern = kerning(tt)
    scale = size / tt["head"].unitsPerEm

    names = [cmap.get(ord(ch), ".notdef") for ch in text]
    advances = []
    for i, name in enumerate(names):
        adv = hmtx[name][0] * scale
        if i + 1 < len(names):
            adv += kern.get((name, names[i + 1]), 0) * scale + spacing
        advances.append(adv)
    width = sum(advances)
    pen_x = x - {"start": 0.0, "middle": width / 2, "end": width}[anchor]

    svg = SVGPathPen(glyphs, ntos=lambda v: ("%.2f" % v).rstrip("0").rstrip("."))
    for name, adv in zip(names, advances):
        # Font units grow upwards, SVG user units downwards.
        glyphs[name].draw(TransformPen(svg, (scale, 0, 0, -scale, pen_x, y)))
        pen_x += adv
    return svg.getCommands()


ATTR = re.compile(r'([\w:-]+)="([^"]*)"')
PATH = re.compile(r"<path\b[^>]*\bdata-text=[^>]*>", re.S)


def rewrite(match):
    tag = match.group(0)
    attrs = dict(ATTR.findall(tag))
    d = outline(
        attrs["data-text"].replace("&amp;", "&"),
        attrs["data-font"],
        float(attrs["data-size"]),
        float(attrs["data-x"]),
        float(attrs["data-y"]),
        attrs.get("data-anchor", "start"),
        float(attrs.get("data-spacing", "0")),
    )
    if re.search(r'\sd="[^"]*"', tag):
        return re.sub(r'(\s)d="[^"]*"', lambda m: m.group(1) + 'd="%s"' % d, tag, count=1)
    return tag.replace("<path", '<path d="%s"' % d, 1)


def main(files):
    for name in files:
        with open(name, encoding="utf-8") as f:
            text = f.read()
        new = PATH.sub(rewrite, text)
        if new != text:
            with open(name, "w", encoding="utf-8") as f:
                f.write(new)
            print("outlined", name)


if __name__ == "__main__":
    main(sys.argv[1:])
