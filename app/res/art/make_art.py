#!/usr/bin/env python3
"""Draws the recorder's skin: the background, the button faces, the level slider, the LED digits
and the icon, as BMP (and ICO) files, plus an art.rc that names them as resources.

    make_art.py <QmApp.rc> <output folder>

Face sizes come from the main dialog template in QmApp.rc (dialog units at Windows' 6 x 13 base
units). Faces are 32-bit with alpha, except the few round ones listed in KEYED, which are 24-bit
with a magenta colour key in their top-left pixel. Everything is drawn with signed distances, so
edges are anti-aliased without supersampling.
"""
import math
import os
import re
import struct
import sys

SKIN_W, SKIN_H = 516, 470
KEY = (255, 0, 255)

# Faces other than the control names: the stem they borrow their size from.
EXTRA_STEMS = {
    "BUTNEXT": "BUTNEXTB", "BUTPAUSEREC": "BUTPAUSE", "BUTRECORDSTOP": "BUTREC",
    "HBUTPLAYRECSTOP": "HBUTPLAYREC", "VBUTPLAYRECSTOP": "VBUTPLAYREC", "MBUTPAUSE": "MBUTPLAY",
}
KEYED = {"BUTMINUS", "BUTPLUS", "BUTPREVCHUNK", "BUTNEXTCHUNK", "BUTMINIMIZE", "BUTEXIT"}


def mul_div(a, b, c):  # Windows' MulDiv: rounds half away from zero
    return (a * b + c // 2) // c


# ---------------------------------------------------------------------------------------------
# Image and drawing

class Image:
    def __init__(self, w, h, fill=(0, 0, 0, 0)):
        self.w, self.h = w, h
        r, g, b, a = fill
        self.px = [[r, g, b, a] for _ in range(w * h)]  # straight colour 0..255, alpha 0..1

    def blend(self, x, y, colour, a):
        if a <= 0 or not (0 <= x < self.w and 0 <= y < self.h):
            return
        p = self.px[y * self.w + x]
        a = min(a, 1.0)
        da = p[3] * (1 - a)
        out = a + da
        if out <= 0:
            return
        for i in range(3):
            p[i] = (colour[i] * a + p[i] * da) / out
        p[3] = out

    def fill(self, sdf, colour, alpha=1.0, box=None, hard=False):
        """Covers the pixels where sdf(x, y) < 0; colour is an RGB tuple or a function of (x, y)."""
        x0, y0, x1, y1 = box if box else (0, 0, self.w, self.h)
        x0, y0 = max(0, int(x0) - 1), max(0, int(y0) - 1)
        x1, y1 = min(self.w, int(math.ceil(x1)) + 1), min(self.h, int(math.ceil(y1)) + 1)
        fn = callable(colour)
        for y in range(y0, y1):
            for x in range(x0, x1):
                d = sdf(x + 0.5, y + 0.5)
                cov = (1.0 if d < 0 else 0.0) if hard else max(0.0, min(1.0, 0.5 - d))
                if cov > 0:
                    self.blend(x, y, colour(x, y) if fn else colour, cov * alpha)


def sd_round_rect(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2, (y1 - y0) / 2
    r = min(r, hx, hy)

    def f(x, y):
        qx, qy = abs(x - cx) - hx + r, abs(y - cy) - hy + r
        return math.hypot(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - r
    return f


def sd_circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def sd_ring(cx, cy, r, width):
    return lambda x, y: abs(math.hypot(x - cx, y - cy) - r) - width / 2


def sd_polygon(points):
    n = len(points)

    def f(x, y):
        d = float("inf")
        inside = False
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            ex, ey = bx - ax, by - ay
            wx, wy = x - ax, y - ay
            t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            d = min(d, math.hypot(wx - ex * t, wy - ey * t))
            if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
                inside = not inside
        return -d if inside else d
    return f


def bbox(points):
    xs, ys = [p[0] for p in points], [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def vgrad(top, bottom, y0, y1):
    return lambda x, y: lerp(top, bottom, max(0.0, min(1.0, (y - y0) / max(1, y1 - y0))))


# 5 x 7 capitals and digits for labels.
FONT = {
    "A": "01110 10001 10001 11111 10001 10001 10001", "B": "11110 10001 10001 11110 10001 10001 11110",
    "C": "01111 10000 10000 10000 10000 10000 01111", "D": "11110 10001 10001 10001 10001 10001 11110",
    "E": "11111 10000 10000 11110 10000 10000 11111", "F": "11111 10000 10000 11110 10000 10000 10000",
    "G": "01111 10000 10000 10011 10001 10001 01111", "H": "10001 10001 10001 11111 10001 10001 10001",
    "I": "11111 00100 00100 00100 00100 00100 11111", "J": "00111 00010 00010 00010 00010 10010 01100",
    "K": "10001 10010 10100 11000 10100 10010 10001", "L": "10000 10000 10000 10000 10000 10000 11111",
    "M": "10001 11011 10101 10101 10001 10001 10001", "N": "10001 11001 10101 10011 10001 10001 10001",
    "O": "01110 10001 10001 10001 10001 10001 01110", "P": "11110 10001 10001 11110 10000 10000 10000",
    "Q": "01110 10001 10001 10001 10101 10010 01101", "R": "11110 10001 10001 11110 10100 10010 10001",
    "S": "01111 10000 10000 01110 00001 00001 11110", "T": "11111 00100 00100 00100 00100 00100 00100",
    "U": "10001 10001 10001 10001 10001 10001 01110", "V": "10001 10001 10001 10001 10001 01010 00100",
    "W": "10001 10001 10001 10101 10101 10101 01010", "X": "10001 10001 01010 00100 01010 10001 10001",
    "Y": "10001 10001 01010 00100 00100 00100 00100", "Z": "11111 00001 00010 00100 01000 10000 11111",
    "0": "01110 10001 10011 10101 11001 10001 01110", "1": "00100 01100 00100 00100 00100 00100 01110",
    "2": "01110 10001 00001 00010 00100 01000 11111", "3": "11110 00001 00001 01110 00001 00001 11110",
    "4": "00010 00110 01010 10010 11111 00010 00010", "5": "11111 10000 11110 00001 00001 10001 01110",
    "6": "00110 01000 10000 11110 10001 10001 01110", "7": "11111 00001 00010 00100 01000 01000 01000",
    "8": "01110 10001 10001 01110 10001 10001 01110", "9": "01110 10001 10001 01111 00001 00010 01100",
    "-": "00000 00000 00000 11111 00000 00000 00000", "+": "00000 00100 00100 11111 00100 00100 00000",
    ".": "00000 00000 00000 00000 00000 01100 01100", " ": "00000 00000 00000 00000 00000 00000 00000",
}


def text_width(text, scale=1):
    return (len(text) * 6 - 1) * scale


def draw_text(img, x, y, text, colour, scale=1, alpha=1.0):
    for i, ch in enumerate(text):
        rows = FONT[ch].split()
        for ry, row in enumerate(rows):
            for rx, bit in enumerate(row):
                if bit == "1":
                    for sy in range(scale):
                        for sx in range(scale):
                            img.blend(int(x + (i * 6 + rx) * scale + sx), int(y + ry * scale + sy), colour, alpha)


def draw_text_centred(img, cx, cy, text, colour, scale=1, alpha=1.0):
    draw_text(img, round(cx - text_width(text, scale) / 2), round(cy - 7 * scale / 2), text, colour, scale, alpha)


# ---------------------------------------------------------------------------------------------
# Glyphs on faces (centre cx, cy; size s = the glyph's half height)

WHITE = (246, 248, 252)
RED = (232, 64, 60)
AMBER = (255, 178, 56)
GREEN = (80, 220, 140)


def tri_right(img, cx, cy, s, colour, hard=False):
    pts = [(cx - s * 0.75, cy - s), (cx + s * 0.95, cy), (cx - s * 0.75, cy + s)]
    img.fill(sd_polygon(pts), colour, box=bbox(pts), hard=hard)


def tri_left(img, cx, cy, s, colour, hard=False):
    pts = [(cx + s * 0.75, cy - s), (cx - s * 0.95, cy), (cx + s * 0.75, cy + s)]
    img.fill(sd_polygon(pts), colour, box=bbox(pts), hard=hard)


def bar(img, x0, y0, x1, y1, colour, r=0.8, hard=False):
    img.fill(sd_round_rect(x0, y0, x1, y1, r), colour, box=(x0, y0, x1, y1), hard=hard)


def glyph(img, kind, cx, cy, s, hard=False):
    if kind == "play":
        tri_right(img, cx + s * 0.1, cy, s, WHITE)
    elif kind == "stop":
        bar(img, cx - s * 0.8, cy - s * 0.8, cx + s * 0.8, cy + s * 0.8, WHITE, 1.2)
    elif kind == "stopred":
        bar(img, cx - s * 0.8, cy - s * 0.8, cx + s * 0.8, cy + s * 0.8, RED, 1.2)
    elif kind in ("pause", "pausered", "pauseamber"):
        c = {"pause": WHITE, "pausered": RED, "pauseamber": AMBER}[kind]
        bar(img, cx - s * 0.75, cy - s * 0.85, cx - s * 0.2, cy + s * 0.85, c)
        bar(img, cx + s * 0.2, cy - s * 0.85, cx + s * 0.75, cy + s * 0.85, c)
    elif kind == "rec":
        img.fill(sd_circle(cx, cy, s * 0.85), RED, box=(cx - s, cy - s, cx + s, cy + s))
    elif kind == "prev":
        bar(img, cx - s * 1.35, cy - s * 0.8, cx - s * 1.05, cy + s * 0.8, WHITE, 0.4)
        tri_left(img, cx - s * 0.25, cy, s * 0.8, WHITE)
        tri_left(img, cx + s * 0.85, cy, s * 0.8, WHITE)
    elif kind == "next":
        tri_right(img, cx - s * 0.85, cy, s * 0.8, WHITE)
        tri_right(img, cx + s * 0.25, cy, s * 0.8, WHITE)
        bar(img, cx + s * 1.05, cy - s * 0.8, cx + s * 1.35, cy + s * 0.8, WHITE, 0.4)
    elif kind == "repeat":
        img.fill(sd_ring(cx, cy, s * 0.7, s * 0.28), WHITE, box=(cx - s, cy - s, cx + s, cy + s))
        pts = [(cx + s * 0.35, cy - s * 1.05), (cx + s * 1.05, cy - s * 0.6), (cx + s * 0.35, cy - s * 0.2)]
        img.fill(sd_polygon(pts), WHITE, box=bbox(pts))
    elif kind == "minus":
        bar(img, cx - s * 0.7, cy - s * 0.16, cx + s * 0.7, cy + s * 0.16, WHITE, 0, hard)
    elif kind == "plus":
        bar(img, cx - s * 0.7, cy - s * 0.16, cx + s * 0.7, cy + s * 0.16, WHITE, 0, hard)
        bar(img, cx - s * 0.16, cy - s * 0.7, cx + s * 0.16, cy + s * 0.7, WHITE, 0, hard)
    elif kind == "minimize":
        bar(img, cx - s * 0.6, cy + s * 0.3, cx + s * 0.6, cy + s * 0.6, WHITE, 0, hard)
    elif kind == "close":
        for sgn in (1, -1):
            pts = [(cx - s * 0.7, cy - sgn * s * 0.55), (cx - s * 0.55, cy - sgn * s * 0.7),
                   (cx + s * 0.7, cy + sgn * s * 0.55), (cx + s * 0.55, cy + sgn * s * 0.7)]
            img.fill(sd_polygon(pts), WHITE, box=bbox(pts), hard=hard)
    elif kind == "lt":
        tri_left(img, cx - s * 0.1, cy, s * 0.7, WHITE, hard)
    elif kind == "gt":
        tri_right(img, cx + s * 0.1, cy, s * 0.7, WHITE, hard)
    elif kind == "folder":
        bar(img, cx - s, cy - s * 0.75, cx - s * 0.1, cy - s * 0.3, AMBER, 0.6)
        bar(img, cx - s, cy - s * 0.45, cx + s, cy + s * 0.75, AMBER, 1.0)
    elif kind == "disk":
        bar(img, cx - s * 0.85, cy - s * 0.85, cx + s * 0.85, cy + s * 0.85, WHITE, 1.2)
        bar(img, cx - s * 0.5, cy - s * 0.85, cx + s * 0.5, cy - s * 0.2, (60, 90, 140), 0.3)
        bar(img, cx - s * 0.55, cy + s * 0.15, cx + s * 0.55, cy + s * 0.7, (60, 90, 140), 0.3)
    elif kind == "send":
        pts = [(cx - s, cy - s * 0.8), (cx + s, cy), (cx - s, cy + s * 0.8), (cx - s * 0.5, cy)]
        img.fill(sd_polygon(pts), WHITE, box=bbox(pts))
    elif kind == "mixer":
        for i, h in enumerate((0.4, -0.3, 0.1)):
            x = cx + (i - 1) * s * 0.7
            bar(img, x - 0.6, cy - s, x + 0.6, cy + s, WHITE, 0.3)
            bar(img, x - s * 0.3, cy + h * s - 1.5, x + s * 0.3, cy + h * s + 1.5, AMBER, 0.8)


# What each stem shows: (glyph kinds placed left to right, label, face hue)
BLUE, SLATE, REDFACE, TEAL, GOLD = (70, 118, 190), (84, 98, 124), (172, 52, 58), (40, 140, 138), (176, 128, 44)
FACES = {
    "BUTOPENWAV": (["folder"], "OPEN", SLATE), "BUTSAVEWAV": (["disk"], "SAVE", SLATE),
    "BUTSENDWAV": (["send"], "SEND", SLATE), "BUTEXIT": (["close"], None, REDFACE),
    "BUTMINIMIZE": (["minimize"], None, SLATE), "BUTCLOSEWAV": (["close"], None, SLATE),
    "MBUTPREV": (["prev"], None, BLUE), "MBUTPLAY": (["play"], None, BLUE), "MBUTPAUSE": (["pauseamber"], None, BLUE),
    "MBUTSTOP": (["stop"], None, BLUE), "MBUTNEXT": (["next"], None, BLUE), "MBUTERASE": ([], "ERASE", BLUE),
    "BUTPREV": (["prev"], None, TEAL), "BUTPAUSE": (["pause"], None, TEAL), "BUTPAUSEREC": (["pausered"], None, TEAL),
    "BUTPLAY": (["play"], None, TEAL), "BUTSTOP": (["stop"], None, TEAL), "BUTNEXTB": (["next"], "B", TEAL),
    "BUTNEXT": (["next"], None, TEAL), "BUTREC": (["rec"], None, TEAL), "BUTRECORDSTOP": (["stopred"], None, TEAL),
    "BUTREPEAT": (["repeat"], None, TEAL), "BUTCLEAR": ([], "CLR", TEAL),
    "BUTREMOVEBM": ([], "BM-", GOLD), "BUTINSERTBM": ([], "BM+", GOLD), "BUTSAVEBM": (["disk"], "M", GOLD),
    "VBUTPLAYREC": (["play", "rec"], None, SLATE), "VBUTPLAYRECSTOP": (["stopred"], None, SLATE),
    "VBUTPLAYPLAY": (["play", "play"], None, SLATE),
    "HBUTPLAYREC": (["play", "rec"], None, SLATE), "HBUTPLAYRECSTOP": (["stopred"], None, SLATE),
    "HBUTPLAYPLAY": (["play", "play"], None, SLATE),
    "BUTPREVCHUNK": (["lt"], None, BLUE), "BUTNEXTCHUNK": (["gt"], None, BLUE),
    "BUTMINUS": (["minus"], None, SLATE), "BUTPLUS": (["plus"], None, SLATE),
    "BUTMIXER": (["mixer"], None, SLATE), "BUTCUT": ([], "CUT", SLATE),
}


def shade(c, f):
    return tuple(max(0, min(255, v * f)) for v in c)


def draw_face(stem, w, h, pressed, plate_w=None):
    """plate_w: where the plate ends when a neighbour covers the face's right part."""
    kinds, label, hue = FACES[stem]
    keyed = stem in KEYED
    img = Image(w, h, KEY + (1.0,) if keyed else (0, 0, 0, 0))
    if plate_w and not keyed:
        w = plate_w
    top, bottom = (shade(hue, 0.72), shade(hue, 1.05)) if pressed else (shade(hue, 1.35), shade(hue, 0.85))
    off = 1 if pressed else 0
    if keyed:  # a hard-edged disc on the key colour: no blended fringe to show the key
        r = min(w, h) / 2 - 0.5
        img.fill(sd_circle(w / 2, h / 2, r), vgrad(top, bottom, 0, h), hard=True)
        img.fill(sd_ring(w / 2, h / 2, r - 1, 1.0), shade(hue, 0.6 if pressed else 1.6), hard=True)
    else:
        img.fill(sd_round_rect(0.5, 0.5, w - 0.5, h - 0.5, min(5, h / 3)), (14, 20, 34), alpha=0.9)
        img.fill(sd_round_rect(1.5, 1.5, w - 1.5, h - 1.5, min(4, h / 3)), vgrad(top, bottom, 1, h - 1))
        if not pressed:  # a soft highlight on the upper half
            img.fill(sd_round_rect(2.5, 2.0, w - 2.5, h / 2, min(3, h / 4)), (255, 255, 255), alpha=0.12)
    n = len(kinds)
    vertical = h > w * 1.6
    items = kinds + ([label] if label else [])
    m = len(items)
    for i, item in enumerate(items):
        if vertical:
            cx, cy = w / 2 + off, h * (i + 0.5) / m + off
            s = min(w, h / m) * 0.3
        else:
            cx, cy = w * (i + 0.5) / m + off, h / 2 + off
            s = min(h * 0.3, w / m * 0.3)
        if i < n:
            glyph(img, item, cx, cy, s, hard=keyed)
        else:
            scale = 2 if h >= 26 and text_width(item, 2) <= w / m - 6 else 1
            draw_text_centred(img, cx, cy, item, WHITE, scale)
    return img, keyed


# ---------------------------------------------------------------------------------------------
# Background

def draw_background(controls):
    img = Image(SKIN_W, SKIN_H, (24, 32, 52, 1.0))
    img.fill(lambda x, y: -1, vgrad((38, 50, 78), (16, 22, 38), 0, SKIN_H))
    # Title band and wordmark.
    img.fill(sd_round_rect(0, 0, SKIN_W, 40, 0), vgrad((52, 68, 104), (30, 40, 64), 0, 40), box=(0, 0, SKIN_W, 40))
    img.fill(sd_round_rect(0, 39, SKIN_W, 41, 0), (90, 140, 210), alpha=0.8, box=(0, 38, SKIN_W, 42))
    draw_text(img, 150, 13, "QUILLMERIDIAN", (222, 232, 248), 2)
    draw_text(img, 314, 20, "LANGUAGE LAB", (140, 170, 215), 1)

    def well(x0, y0, x1, y1, r=4, colour=(9, 14, 28)):
        img.fill(sd_round_rect(x0 - 1, y0 - 1, x1 + 1, y1 + 1, r + 1), (70, 96, 140), alpha=0.55, box=(x0 - 2, y0 - 2, x1 + 2, y1 + 2))
        img.fill(sd_round_rect(x0, y0, x1, y1, r), colour, box=(x0, y0, x1, y1))

    def section(x0, y0, x1, y1, title, accent):
        img.fill(sd_round_rect(x0, y0, x1, y1, 7), (255, 255, 255), alpha=0.05, box=(x0, y0, x1, y1))
        img.fill(sd_round_rect(x0 + 6, y0 - 1, x0 + 10 + text_width(title), y0 + 8, 2), accent, box=(x0, y0 - 2, x1, y0 + 9))
        draw_text(img, x0 + 8, y0, title, (250, 250, 250))

    # Master panel: waveform window at (12, 125) 490 x 52.
    section(4, 112, 512, 184, "MASTER", (62, 110, 190))
    well(12, 125, 502, 177)
    # Student panel: waveform window at (88, 279) 342 x 52.
    section(82, 266, 440, 338, "STUDENT", (36, 140, 136))
    well(88, 279, 430, 331)
    # Chunk-length clock: black digits at (190, 53).
    img.fill(sd_round_rect(186, 50, 262, 74, 4), vgrad((214, 230, 242), (176, 198, 216), 50, 74), box=(186, 50, 262, 74))
    # Position clock: white digits at (10, 195).
    well(6, 192, 112, 226, 4, (12, 20, 40))
    # LED chunk number.
    if 1026 in controls:
        x, y, w, h = controls[1026]
        well(x, y, x + 64, y + h, 3, (6, 10, 8))
    draw_text(img, 160, 183, "CHUNK", (150, 170, 200))
    # Level slider labels "IN" / "OUT" are painted by the dialog at y 345; the wells below them:
    for cid in (1047, 1046):
        if cid in controls:
            x, y, _, _ = controls[cid]
            well(x + 4, y + 2, x + SLIDER_W - 4, y + SLIDER_H - 2, 3, (10, 14, 26))
    return img


# ---------------------------------------------------------------------------------------------
# Slider, LED digits, icon

SLIDER_W, SLIDER_H = 24, 112
TIP_W, TIP_H = 22, 12


def draw_slider_body():
    img = Image(SLIDER_W, SLIDER_H)
    cx = SLIDER_W / 2
    img.fill(sd_round_rect(cx - 3, 6, cx + 3, SLIDER_H - 6, 3), (4, 6, 12), alpha=0.95)
    img.fill(sd_round_rect(cx - 1.5, 8, cx + 1.5, SLIDER_H - 8, 1.5), vgrad((240, 96, 64), (80, 210, 140), 8, SLIDER_H - 8),
             alpha=0.85)
    for i in range(11):
        y = 7 + (SLIDER_H - 14) * i / 10
        w = 4 if i % 5 == 0 else 2.5
        img.fill(sd_round_rect(1, y - 0.5, 1 + w, y + 0.5, 0), (170, 190, 220), alpha=0.7)
        img.fill(sd_round_rect(SLIDER_W - 1 - w, y - 0.5, SLIDER_W - 1, y + 0.5, 0), (170, 190, 220), alpha=0.7)
    return img


def draw_slider_tip():
    img = Image(TIP_W, TIP_H)
    img.fill(sd_round_rect(0.5, 0.5, TIP_W - 0.5, TIP_H - 0.5, 3), (10, 14, 24), alpha=0.8)
    img.fill(sd_round_rect(1.5, 1.5, TIP_W - 1.5, TIP_H - 1.5, 2.5), vgrad((236, 240, 248), (150, 160, 180), 1, TIP_H - 1))
    img.fill(sd_round_rect(3, TIP_H / 2 - 0.6, TIP_W - 3, TIP_H / 2 + 0.6, 0), (60, 70, 90))
    return img


SEGMENTS = {  # seven segments a..g lit per digit
    0: "abcdef", 1: "bc", 2: "abdeg", 3: "abcdg", 4: "bcfg", 5: "acdfg", 6: "acdefg", 7: "abc", 8: "abcdefg", 9: "abcdfg",
}
LED_W, LED_H = 32, 40
LED_ON, LED_OFF = (110, 255, 170), (40, 90, 64)


def segment_polygon(seg):
    # A slanted seven-segment digit inside the glyph's upper 36 pixels.
    l, r, t, m, b, th = 8.0, 24.0, 4.0, 18.5, 33.0, 3.2
    slant = 0.12

    def sk(x, y):
        return (x + (m - y) * slant, y)

    def horiz(y):
        return [sk(l + 1.5, y), sk(l + 1.5 + th / 2, y - th / 2), sk(r - 1.5 - th / 2, y - th / 2),
                sk(r - 1.5, y), sk(r - 1.5 - th / 2, y + th / 2), sk(l + 1.5 + th / 2, y + th / 2)]

    def vert(x, y0, y1):
        return [sk(x, y0 + 1.5), sk(x + th / 2, y0 + 1.5 + th / 2), sk(x + th / 2, y1 - 1.5 - th / 2),
                sk(x, y1 - 1.5), sk(x - th / 2, y1 - 1.5 - th / 2), sk(x - th / 2, y0 + 1.5 + th / 2)]
    return {"a": horiz(t), "g": horiz(m), "d": horiz(b), "f": vert(l, t, m), "b": vert(r, t, m),
            "e": vert(l, m, b), "c": vert(r, m, b)}[seg]


def draw_led_strip():
    img = Image(LED_W * 10, LED_H)
    for d in range(10):
        for seg in "abcdefg":
            pts = [(x + d * LED_W, y) for x, y in segment_polygon(seg)]
            on = seg in SEGMENTS[d]
            img.fill(sd_polygon(pts), LED_ON if on else LED_OFF, alpha=1.0 if on else 0.35, box=bbox(pts))
    return img


def draw_icon():
    img = Image(32, 32)
    img.fill(sd_round_rect(1, 1, 31, 31, 7), vgrad((74, 122, 200), (30, 52, 98), 1, 31))
    img.fill(sd_round_rect(12, 5, 20, 19, 4), WHITE)  # microphone
    ring = sd_ring(16, 14, 7.5, 1.6)
    img.fill(lambda x, y: max(ring(x, y), 14 - y), WHITE, box=(7, 13, 25, 24))  # the cradle: lower half only
    img.fill(sd_round_rect(15.2, 21, 16.8, 26, 0), WHITE)
    img.fill(sd_round_rect(11, 25.5, 21, 27, 0.7), WHITE)
    return img


# ---------------------------------------------------------------------------------------------
# Files

def bmp_bytes(img, bits):
    w, h = img.w, img.h
    stride = (w * bits // 8 + 3) & ~3
    rows = []
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b, a = img.px[y * img.w + x]
            if bits == 32:
                row += bytes((int(round(b)), int(round(g)), int(round(r)), int(round(a * 255))))
            else:  # flatten onto the key, which only keyed faces use
                row += bytes((int(round(b * a + KEY[2] * (1 - a))), int(round(g * a + KEY[1] * (1 - a))),
                              int(round(r * a + KEY[0] * (1 - a)))))
        row += b"\0" * (stride - len(row))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + 40 + len(pixels), 0, 0, 14 + 40)
    return header + info + pixels


def ico_bytes(img):
    w, h = img.w, img.h
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b, a = img.px[y * w + x]
            xor += bytes((int(round(b)), int(round(g)), int(round(r)), int(round(a * 255))))
    mask_stride = ((w + 31) // 32) * 4
    mask = bytes(mask_stride * h)  # all shown: the alpha channel decides
    info = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    data = info + bytes(xor) + mask
    return struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w, h, 0, 0, 1, 32, len(data), 22) + data


def read_template(rc_path):
    """Control id -> pixel rectangle (x, y, w, h), and stem -> pixel size, from dialog 102."""
    text = open(rc_path, encoding="utf-8").read()
    body = text.split("IDD_MAIN_DIALOG DIALOGEX", 1)[1].split("\nEND", 1)[0]
    controls, stems = {}, {}
    pattern = re.compile(r'CONTROL\s+"([^"]*)",\s*(-?\d+),\s*"(\w+)",\s*([^,]+),\s*(\d+),\s*(\d+),\s*(\d+),\s*(\d+)')
    for name, cid, cls, _style, x, y, w, h in pattern.findall(body):
        x, y, w, h = (mul_div(int(x), 6, 4), mul_div(int(y), 13, 8), mul_div(int(w), 6, 4), mul_div(int(h), 13, 8))
        controls[int(cid)] = (x, y, w, h)
        if cls == "Button" and name.isupper() and "BUT" in name:
            # Faces stay inside the skin: the template's rightmost buttons reach past it.
            stems[name] = (min(w, SKIN_W - 2 - x), h, x, y)
    # A level slider drawn over the last few pixels of a face would cut its plate off square: end
    # the plate short of the slider instead (the bitmap keeps the template's size).
    sliders = [controls[c] for c in (1046, 1047) if c in controls]
    for name, (w, h, x, y) in stems.items():
        plate = w
        for sx, sy, sw, sh in sliders:
            if x + w - 8 <= sx < x + w and sy < y + h and y < sy + sh:
                plate = min(plate, sx - x - 2)
        stems[name] = (w, h, plate)
    for extra, base in EXTRA_STEMS.items():
        stems[extra] = stems[base]
    return controls, stems


def main():
    rc_path, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    controls, stems = read_template(rc_path)
    entries = []

    def save(name, data, ext="bmp", kind="BITMAP"):
        path = os.path.join(out, f"{name}.{ext}")
        with open(path, "wb") as f:
            f.write(data)
        entries.append(f'{name} {kind} "{path}"')

    for stem, (w, h, plate) in sorted(stems.items()):
        for suffix, pressed in (("U", False), ("D", True)):
            img, keyed = draw_face(stem, w, h, pressed, plate)
            save(stem + suffix, bmp_bytes(img, 24 if keyed else 32))
    save("BACKGROUND", bmp_bytes(draw_background(controls), 32))
    save("SLIDERBODY", bmp_bytes(draw_slider_body(), 32))
    save("SLIDERTIP", bmp_bytes(draw_slider_tip(), 32))
    save("LEDIMAGES", bmp_bytes(draw_led_strip(), 32))
    icon_path = os.path.join(out, "recorder.ico")
    with open(icon_path, "wb") as f:
        f.write(ico_bytes(draw_icon()))
    entries.append(f'128 ICON "{icon_path}"')
    with open(os.path.join(out, "art.rc"), "w") as f:
        f.write("// Generated by make_art.py\n" + "\n".join(entries) + "\n")


if __name__ == "__main__":
    main()
