#!/usr/bin/env python3
"""Draws the window's icons (our own, simple shapes) as PNG files beside this script, and the
program's desktop icon at the theme's sizes and as SVG, from the same shapes, below hicolor/.

Run it again after changing a shape; the PNG files are committed so that the build needs no
Python. Shapes are sampled 4x4 per pixel for smooth edges."""
import math
import struct
import zlib
from pathlib import Path

SAMPLES = 4
SVG_SIZE = 128
# The program's icon for the desktop: these sizes of the hicolor theme, and a scalable one.
HICOLOR_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
APP_ID = "com.quarrysoftware.Quarry"


def png(path, size, pixels):
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    Path(path).write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def render(size, layers):
    """layers: list of (inside(x, y) -> bool over the unit square, rgba)."""
    pixels = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0.0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    colour = None
                    for inside, rgba in layers:
                        if inside(x, y):
                            colour = rgba
                    if colour:
                        r += colour[0] * colour[3]
                        g += colour[1] * colour[3]
                        b += colour[2] * colour[3]
                        a += colour[3]
            n = SAMPLES * SAMPLES
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
            else:
                row.append((0, 0, 0, 0))
        pixels.append(row)
    return pixels


class Shape:
    """A shape over the unit square: inside(x, y) for the raster, svg(fill) for the vector form."""

    def __init__(self, inside, svg):
        self.inside = inside
        self.svg = svg

    def __call__(self, x, y):
        return self.inside(x, y)


def n(v):
    return f"{v * SVG_SIZE:g}"


def rect(x0, y0, x1, y1):
    return Shape(lambda x, y: x0 <= x <= x1 and y0 <= y <= y1,
                 lambda fill: f'<rect x="{n(x0)}" y="{n(y0)}" width="{n(x1 - x0)}" '
                              f'height="{n(y1 - y0)}" {fill}/>')


def circle(cx, cy, radius):
    return Shape(lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2,
                 lambda fill: f'<circle cx="{n(cx)}" cy="{n(cy)}" r="{n(radius)}" {fill}/>')


def ring(cx, cy, outer, inner):
    return Shape(lambda x, y: inner ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= outer ** 2,
                 lambda fill: f'<circle cx="{n(cx)}" cy="{n(cy)}" r="{n((outer + inner) / 2)}" '
                              f'fill="none" stroke-width="{n(outer - inner)}" '
                              f'{fill.replace("fill", "stroke")}/>')


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return Shape(inside, lambda fill: '<polygon points="' +
                 " ".join(f"{n(x)},{n(y)}" for x, y in points) + f'" {fill}/>')


def thick_line(x0, y0, x1, y1, width):
    length = math.hypot(x1 - x0, y1 - y0)

    def inside(x, y):
        t = ((x - x0) * (x1 - x0) + (y - y0) * (y1 - y0)) / (length * length)
        t = max(0.0, min(1.0, t))
        return math.hypot(x - (x0 + t * (x1 - x0)), y - (y0 + t * (y1 - y0))) <= width / 2
    return Shape(inside, lambda fill: f'<line x1="{n(x0)}" y1="{n(y0)}" x2="{n(x1)}" y2="{n(y1)}" '
                                      f'stroke-width="{n(width)}" stroke-linecap="round" '
                                      f'{fill.replace("fill", "stroke")}/>')


def svg(layers):
    body = []
    for shape, (r, g, b, a) in layers:
        fill = f'fill="#{r:02x}{g:02x}{b:02x}"' + (f' fill-opacity="{a:g}"' if a < 1 else "")
        body.append("  " + shape.svg(fill))
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{SVG_SIZE}" height="{SVG_SIZE}" '
            f'viewBox="0 0 {SVG_SIZE} {SVG_SIZE}">\n' + "\n".join(body) + "\n</svg>\n")


OUTLINE = (90, 70, 20, 1.0)
FOLDER = (235, 190, 80, 1.0)
FOLDER_LIGHT = (250, 215, 120, 1.0)
STONE = (120, 125, 135, 1.0)
STONE_LIGHT = (175, 180, 190, 1.0)
GREEN = (40, 150, 60, 1.0)
RED = (200, 45, 40, 1.0)
BLUE = (40, 90, 170, 1.0)
WHITE = (255, 255, 255, 1.0)
PAPER_EDGE = (110, 110, 120, 1.0)

ICONS = {
    # Folder, closed: a tab and a body.
    "folder.png": [(rect(0.06, 0.2, 0.45, 0.34), OUTLINE), (rect(0.06, 0.28, 0.94, 0.86), OUTLINE),
                   (rect(0.1, 0.24, 0.41, 0.36), FOLDER), (rect(0.1, 0.32, 0.9, 0.82), FOLDER)],
    # Folder, open: the front flap slanted.
    "folder-open.png": [(rect(0.06, 0.2, 0.45, 0.34), OUTLINE),
                        (rect(0.06, 0.28, 0.86, 0.86), OUTLINE),
                        (rect(0.1, 0.24, 0.41, 0.36), FOLDER), (rect(0.1, 0.32, 0.82, 0.82), FOLDER),
                        (polygon([(0.22, 0.46), (0.98, 0.46), (0.86, 0.86), (0.06, 0.86)]), OUTLINE),
                        (polygon([(0.25, 0.5), (0.93, 0.5), (0.83, 0.82), (0.12, 0.82)]),
                         FOLDER_LIGHT)],
    # Drive: a box with a light.
    "drive.png": [(rect(0.06, 0.3, 0.94, 0.74), PAPER_EDGE), (rect(0.1, 0.34, 0.9, 0.7), STONE_LIGHT),
                  (circle(0.78, 0.52, 0.07), GREEN), (rect(0.16, 0.48, 0.6, 0.56), STONE)],
    # File: a sheet with a folded corner and text lines.
    "file.png": [(polygon([(0.18, 0.06), (0.62, 0.06), (0.84, 0.28), (0.84, 0.94), (0.18, 0.94)]),
                  PAPER_EDGE),
                 (polygon([(0.22, 0.1), (0.6, 0.1), (0.8, 0.3), (0.8, 0.9), (0.22, 0.9)]), WHITE),
                 (polygon([(0.6, 0.1), (0.8, 0.3), (0.6, 0.3)]), PAPER_EDGE),
                 (rect(0.3, 0.42, 0.72, 0.47), STONE), (rect(0.3, 0.56, 0.72, 0.61), STONE),
                 (rect(0.3, 0.7, 0.6, 0.75), STONE)],
    # Start: a green play triangle.
    "start.png": [(circle(0.5, 0.5, 0.46), GREEN),
                  (polygon([(0.38, 0.26), (0.76, 0.5), (0.38, 0.74)]), WHITE)],
    # Stop: a red square.
    "stop.png": [(circle(0.5, 0.5, 0.46), RED), (rect(0.31, 0.31, 0.69, 0.69), WHITE)],
    # Criterion: a funnel.
    "criterion.png": [(polygon([(0.08, 0.12), (0.92, 0.12), (0.6, 0.5), (0.6, 0.9), (0.4, 0.78),
                                (0.4, 0.5)]), BLUE),
                      (polygon([(0.2, 0.18), (0.8, 0.18), (0.55, 0.46), (0.45, 0.46)]),
                       (120, 160, 225, 1.0))],
    # The program: a block of stone with a pick-shaped magnifier.
    "quarry.png": [(polygon([(0.06, 0.62), (0.3, 0.38), (0.7, 0.4), (0.94, 0.62), (0.94, 0.92),
                             (0.06, 0.92)]), STONE),
                   (polygon([(0.12, 0.64), (0.32, 0.44), (0.66, 0.46), (0.88, 0.64)]), STONE_LIGHT),
                   (ring(0.42, 0.34, 0.24, 0.16), BLUE), (circle(0.42, 0.34, 0.16), (210, 230, 255, 0.9)),
                   (thick_line(0.6, 0.52, 0.86, 0.8, 0.1), BLUE)],
}

if __name__ == "__main__":
    here = Path(__file__).resolve().parent
    for name, layers in ICONS.items():
        size = 48 if name == "quarry.png" else 32
        png(here / name, size, render(size, layers))
    program = ICONS["quarry.png"]
    for size in HICOLOR_SIZES:
        folder = here / "hicolor" / f"{size}x{size}" / "apps"
        folder.mkdir(parents=True, exist_ok=True)
        png(folder / f"{APP_ID}.png", size, render(size, program))
    scalable = here / "hicolor" / "scalable" / "apps"
    scalable.mkdir(parents=True, exist_ok=True)
    (scalable / f"{APP_ID}.svg").write_text(svg(program))
