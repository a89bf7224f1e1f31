"""Tiny face painter: a base face plus pre-rendered mouth openings, all RGB24 bytes."""

from __future__ import annotations

import math
import operator
import sys
from array import array

MIN_SIDE = 16
MAX_SIDE = 1024

_BACKGROUND = (34, 40, 52)
_SKIN = (228, 188, 158)
_EYE = (42, 32, 32)
_LIPS = (168, 72, 82)
_MOUTH = (64, 16, 26)

# Loudness window mapped onto the mouth: at or below the floor the mouth is shut,
# at or above the ceiling it is fully open.
_FLOOR_DB = -50.0
_CEILING_DB = -10.0


def check_side(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not MIN_SIDE <= value <= MAX_SIDE:
        raise ValueError(f"{name} must be between {MIN_SIDE} and {MAX_SIDE}, got {value}")
    return value


def _fill_ellipse(
    buf: bytearray,
    width: int,
    height: int,
    cx: float,
    cy: float,
    rx: float,
    ry: float,
    color: tuple[int, int, int],
) -> None:
    # One slice assignment per row keeps drawing cheap in pure Python.
    if rx <= 0 or ry <= 0:
        return
    pixel = bytes(color)
    for y in range(max(0, math.ceil(cy - ry - 0.5)), min(height, math.floor(cy + ry + 0.5) + 1)):
        t = (y + 0.5 - cy) / ry
        if t * t > 1.0:
            continue
        half = rx * math.sqrt(1.0 - t * t)
        x0 = max(0, math.ceil(cx - half - 0.5))
        x1 = min(width - 1, math.floor(cx + half - 0.5))
        if x1 >= x0:
            start = (y * width + x0) * 3
            buf[start : start + (x1 - x0 + 1) * 3] = pixel * (x1 - x0 + 1)


def draw_base_face(width: int, height: int) -> bytes:
    """The mouthless face a model ships as its base image."""
    check_side("width", width)
    check_side("height", height)
    buf = bytearray(bytes(_BACKGROUND) * (width * height))
    cx = width / 2
    _fill_ellipse(buf, width, height, cx, height * 0.5, width * 0.38, height * 0.45, _SKIN)
    eye_r = max(1.0, min(width, height) * 0.05)
    for dx in (-width * 0.14, width * 0.14):
        _fill_ellipse(buf, width, height, cx + dx, height * 0.40, eye_r, eye_r * 1.3, _EYE)
    return bytes(buf)


def render_mouths(base: bytes, width: int, height: int, levels: int) -> list[bytes]:
    """``levels`` images of the base face, mouth shut at 0 and wide open at ``levels - 1``."""
    if len(base) != width * height * 3:
        raise ValueError(f"base image holds {len(base)} bytes, expected {width * height * 3}")
    if levels < 2:
        raise ValueError(f"need at least 2 mouth levels, got {levels}")
    cx, cy = width / 2, height * 0.68
    rx, open_ry = width * 0.16, height * 0.09
    lip = max(1.0, height * 0.015)
    images = []
    for level in range(levels):
        opening = open_ry * level / (levels - 1)
        buf = bytearray(base)
        _fill_ellipse(buf, width, height, cx, cy, rx, lip + opening, _LIPS)
        _fill_ellipse(buf, width, height, cx, cy, rx * 0.8, opening, _MOUTH)
        images.append(bytes(buf))
    return images


def mouth_level(pcm: bytes, levels: int) -> int:
    """Mouth level for a slice of 16-bit little-endian PCM, from its RMS loudness."""
    samples = array("h")
    samples.frombytes(pcm[: len(pcm) // 2 * 2])
    if not samples:
        return 0
    if sys.byteorder == "big":
        samples.byteswap()
    rms = math.sqrt(sum(map(operator.mul, samples, samples)) / len(samples))
    if rms < 1.0:
        return 0
    fraction = (20.0 * math.log10(rms / 32768.0) - _FLOOR_DB) / (_CEILING_DB - _FLOOR_DB)
    return max(0, min(levels - 1, round(fraction * (levels - 1))))
