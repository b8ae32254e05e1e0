"""Draws the integration's brand images (custom_components/quovel/brand/):
a padlock icon and a landscape logo (the padlock and the word "quovel"),
each at Home Assistant's two sizes.

Drawn with the standard library alone (shapes as signed distances, one
pixel of anti-aliasing, written as RGBA PNG), so that regenerating them
needs nothing installed: `python -m tools.brand`. The colours are mid-tones
that read on light and dark themes alike, so there are no dark variants.
"""

from __future__ import annotations

import math
import struct
import sys
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDER = ROOT / "custom_components" / "quovel" / "brand"

BODY = (37, 99, 168)  # the padlock's body and the word
SHACKLE = (120, 128, 140)
# What Home Assistant serves and the brands guidelines ask for: a square icon
# of 256 px (512 px for hDPI), a logo whose shorter side is 128-256 px (256-512).
ICON_SIZE = 256
LOGO_HEIGHT = 256
MARGIN = 0.04  # of the shorter side, so that nothing touches the edge

Distance = Callable[[float, float], float]


@dataclass(frozen=True)
class Shape:
    distance: Distance  # negative inside, in glyph units
    box: tuple[float, float, float, float]  # x0, y0, x1, y1 it stays within


def _segment(ax: float, ay: float, bx: float, by: float, width: float) -> Shape:
    def distance(x: float, y: float) -> float:
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        return math.hypot(x - ax - t * dx, y - ay - t * dy) - width / 2

    pad = width / 2
    return Shape(distance, (min(ax, bx) - pad, min(ay, by) - pad, max(ax, bx) + pad, max(ay, by) + pad))


def _arc(cx: float, cy: float, radius: float, width: float, start: float, end: float) -> Shape:
    """A stroke along the circle from angle `start` to `end` (radians, y down, clockwise)."""

    def distance(x: float, y: float) -> float:
        angle = math.atan2(y - cy, x - cx) % math.tau
        if (angle - start) % math.tau <= (end - start) % math.tau:
            return abs(math.hypot(x - cx, y - cy) - radius) - width / 2
        ends = [(cx + radius * math.cos(a), cy + radius * math.sin(a)) for a in (start, end)]
        return min(math.hypot(x - ex, y - ey) for ex, ey in ends) - width / 2

    pad = radius + width / 2
    return Shape(distance, (cx - pad, cy - pad, cx + pad, cy + pad))


def _ring(cx: float, cy: float, radius: float, width: float) -> Shape:
    return _arc(cx, cy, radius, width, 0.0, math.tau - 1e-9)


def _rounded_box(x0: float, y0: float, x1: float, y1: float, corner: float) -> Shape:
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2 - corner, (y1 - y0) / 2 - corner

    def distance(x: float, y: float) -> float:
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - corner

    return Shape(distance, (x0, y0, x1, y1))


def _disc(cx: float, cy: float, radius: float) -> Shape:
    return Shape(lambda x, y: math.hypot(x - cx, y - cy) - radius, (cx - radius, cy - radius, cx + radius, cy + radius))


# --- the drawing, in glyph units: the padlock is 1 tall, its shackle's top at y = 0 ---

STROKE = 0.11


def padlock(left: float) -> list[tuple[tuple[int, int, int], list[Shape], list[Shape]]]:
    """(colour, shapes, holes) layers of the padlock whose left edge is at `left`; 0.84 wide."""
    cx = left + 0.42
    radius = 0.30 - STROKE / 2
    shackle = [
        _arc(cx, 0.30, radius, STROKE, math.pi, math.tau),
        _segment(cx - radius, 0.30, cx - radius, 0.55, STROKE),
        _segment(cx + radius, 0.30, cx + radius, 0.55, STROKE),
    ]
    body = [_rounded_box(left, 0.42, left + 0.84, 1.0, 0.09)]
    keyhole = [_disc(cx, 0.64, 0.075), _rounded_box(cx - 0.035, 0.64, cx + 0.035, 0.85, 0.02)]
    return [(SHACKLE, shackle, []), (BODY, body, keyhole)]


def word(left: float) -> tuple[list[Shape], float]:
    """The lower-case word "quovel" from `left`, x-height from y = 0.42 to the
    baseline at 1.0 (the padlock's body), and where it ends."""
    top, base = 0.42, 1.0
    radius = (base - top - STROKE) / 2
    mid = (top + base) / 2
    gap = 0.13
    shapes: list[Shape] = []
    x = left + STROKE / 2
    # q: a bowl and a stem down to the descender
    shapes += [
        _ring(x + radius, mid, radius, STROKE),
        _segment(x + 2 * radius, top + STROKE / 2, x + 2 * radius, 1.22, STROKE),
    ]
    x += 2 * radius + STROKE + gap
    # u: two stems joined by the lower half of a bowl
    shapes += [
        _arc(x + radius, mid, radius, STROKE, 0.0, math.pi),
        _segment(x, top + STROKE / 2, x, mid, STROKE),
        _segment(x + 2 * radius, top + STROKE / 2, x + 2 * radius, base - STROKE / 2, STROKE),
    ]
    x += 2 * radius + STROKE + gap
    # o
    shapes.append(_ring(x + radius, mid, radius, STROKE))
    x += 2 * radius + STROKE + gap
    # v
    bottom = base - STROKE / 2
    shapes += [
        _segment(x, top + STROKE / 2, x + radius, bottom, STROKE),
        _segment(x + 2 * radius, top + STROKE / 2, x + radius, bottom, STROKE),
    ]
    x += 2 * radius + STROKE + gap
    # e: a bowl open at the lower right, and its bar
    shapes += [
        _arc(x + radius, mid, radius, STROKE, math.radians(40), math.radians(-5) % math.tau),
        _segment(x, mid, x + 2 * radius, mid, STROKE * 0.9),
    ]
    x += 2 * radius + STROKE + gap
    # l, as tall as the shackle
    shapes.append(_segment(x, STROKE / 2, x, base - STROKE / 2, STROKE))
    return shapes, x + STROKE / 2


# --- rasterising ----------------------------------------------------------------


def render(
    layers: list[tuple[tuple[int, int, int], list[Shape], list[Shape]]],
    extent: tuple[float, float, float, float],
    height: int,
) -> tuple[int, int, bytes]:
    """The layers (painted in order) as RGBA rows: the extent (glyph units)
    scaled to `height` pixels less the margins, centred."""
    x0, y0, x1, y1 = extent
    margin = round(height * MARGIN)
    scale = (height - 2 * margin) / (y1 - y0)
    width = round((x1 - x0) * scale) + 2 * margin
    pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(width * height)]  # premultiplied

    def coverage(shapes: list[Shape]) -> dict[int, float]:
        covered: dict[int, float] = {}
        for shape in shapes:
            bx0, by0, bx1, by1 = shape.box
            for py in range(
                max(0, math.floor((by0 - y0) * scale + margin) - 1),
                min(height, math.ceil((by1 - y0) * scale + margin) + 1),
            ):
                gy = (py + 0.5 - margin) / scale + y0
                for px in range(
                    max(0, math.floor((bx0 - x0) * scale + margin) - 1),
                    min(width, math.ceil((bx1 - x0) * scale + margin) + 1),
                ):
                    gx = (px + 0.5 - margin) / scale + x0
                    amount = min(1.0, max(0.0, 0.5 - shape.distance(gx, gy) * scale))
                    if amount > 0.0:
                        index = py * width + px
                        covered[index] = max(covered.get(index, 0.0), amount)
        return covered

    for colour, shapes, holes in layers:
        cut = coverage(holes)
        for index, amount in coverage(shapes).items():
            alpha = amount * (1.0 - cut.get(index, 0.0))
            pixel = pixels[index]
            for channel in range(3):
                pixel[channel] = colour[channel] / 255 * alpha + pixel[channel] * (1 - alpha)
            pixel[3] = alpha + pixel[3] * (1 - alpha)
    rows = bytearray()
    for py in range(height):
        rows.append(0)  # no filter
        for px in range(width):
            r, g, b, a = pixels[py * width + px]
            rows += (
                bytes((0, 0, 0, 0))
                if a == 0
                else bytes(round(c / a * 255) for c in (r, g, b)) + bytes((round(a * 255),))
            )
    return width, height, bytes(rows)


def png(width: int, height: int, rows: bytes) -> bytes:
    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b"")


def main() -> int:
    FOLDER.mkdir(parents=True, exist_ok=True)
    icon = padlock(0.0)
    letters, end = word(0.84 + 0.30)
    logo = [*icon, (BODY, letters, [])]
    for name, layers, extent, height in [
        ("icon", icon, (-0.08, 0.0, 0.92, 1.0), ICON_SIZE),
        ("logo", logo, (0.0, 0.0, end, 1.22), LOGO_HEIGHT),
    ]:
        for suffix, factor in (("", 1), ("@2x", 2)):
            path = FOLDER / f"{name}{suffix}.png"
            path.write_bytes(png(*render(layers, extent, height * factor)))
            print(f"{path.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
