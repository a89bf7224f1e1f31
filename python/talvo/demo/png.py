"""PNG and animated PNG (APNG) writing with the standard library only."""

from __future__ import annotations

import struct
import zlib
from collections.abc import Sequence

from talvo.demo import font

_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _chunk(kind: bytes, data: bytes) -> bytes:
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def _ihdr(width: int, height: int) -> bytes:
    return _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))  # RGB8


def _scanlines(rgb: bytes, width: int, height: int) -> bytes:
    stride = 3 * width
    if len(rgb) != stride * height:
        raise ValueError(f"image holds {len(rgb)} bytes, expected {stride * height}")
    return b"".join(b"\x00" + rgb[y * stride : (y + 1) * stride] for y in range(height))


def scale(rgb: bytes, width: int, height: int, factor: int) -> bytes:
    """Nearest-neighbour enlargement by an integer factor."""
    if factor == 1:
        return rgb
    stride = 3 * width
    out = []
    for y in range(height):
        row = rgb[y * stride : (y + 1) * stride]
        wide = b"".join(row[x : x + 3] * factor for x in range(0, stride, 3))
        out.append(wide * factor)
    return b"".join(out)


def write_png(path: str, rgb: bytes, width: int, height: int) -> None:
    data = zlib.compress(_scanlines(rgb, width, height), 6)
    with open(path, "wb") as f:
        f.write(_SIGNATURE + _ihdr(width, height) + _chunk(b"IDAT", data) + _chunk(b"IEND", b""))


def write_apng(path: str, frames: Sequence[bytes], width: int, height: int, fps: int = 25) -> None:
    """An animated PNG that loops forever; viewers without APNG show the first frame."""
    if not frames:
        raise ValueError("an animation needs at least one frame")
    parts = [_SIGNATURE, _ihdr(width, height), _chunk(b"acTL", struct.pack(">II", len(frames), 0))]
    seq = 0
    for i, rgb in enumerate(frames):
        control = struct.pack(">IIIIIHHBB", seq, width, height, 0, 0, 1, fps, 0, 0)
        parts.append(_chunk(b"fcTL", control))
        seq += 1
        data = zlib.compress(_scanlines(rgb, width, height), 6)
        if i == 0:
            parts.append(_chunk(b"IDAT", data))
        else:
            parts.append(_chunk(b"fdAT", struct.pack(">I", seq) + data))
            seq += 1
    parts.append(_chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(b"".join(parts))


SPEECH_COLOUR = b"\x30\xc0\x50"
IDLE_COLOUR = b"\x70\x70\x70"
INTERRUPTED_COLOUR = b"\xe0\x40\x30"
_BACKGROUND = b"\x20\x20\x20"
_TEXT_COLOUR = b"\xe0\xe0\xe0"


def _fill(canvas: bytearray, canvas_width: int, x: int, y: int, w: int, h: int, colour: bytes) -> None:
    for row in range(y, y + h):
        start = 3 * (row * canvas_width + x)
        canvas[start : start + 3 * w] = colour * w


def contact_sheet(
    tiles: Sequence[tuple[bytes, bool | str, str]], width: int, height: int, columns: int = 8, border: int = 2
) -> tuple[bytes, int, int]:
    """Tiles in a grid under a legend: each framed green when it shows speech and grey when
    idle, or red for the first frame after an interruption (kind "interrupted"), with its label
    (frame number and time) written beneath it."""
    text_scale = max(1, width // 64)  # about a tenth of a tile's width for a label
    line = font.HEIGHT * text_scale + 4  # a line of text and its margins
    rows = (len(tiles) + columns - 1) // columns
    tw, th = width + 2 * border, height + 2 * border + line
    legend = [("speech", SPEECH_COLOUR), ("idle", IDLE_COLOUR)]
    if any(kind == "interrupted" for _, kind, _ in tiles):
        legend.append(("interrupted", INTERRUPTED_COLOUR))
    legend_w = sum(line + 4 + font.text_width(name, text_scale) + 12 for name, _ in legend)
    sheet_w = max(columns * tw, legend_w)
    sheet_h = line + max(1, rows) * th
    canvas = bytearray(_BACKGROUND * sheet_w * sheet_h)

    x = 4
    for name, colour in legend:
        _fill(canvas, sheet_w, x, 2, line - 4, line - 4, colour)
        x += line
        font.draw(canvas, sheet_w, x, 2, name, _TEXT_COLOUR, text_scale)
        x += font.text_width(name, text_scale) + 12

    for n, (rgb, speech, label) in enumerate(tiles):
        ox, oy = (n % columns) * tw, line + (n // columns) * th
        colour = INTERRUPTED_COLOUR if speech == "interrupted" else SPEECH_COLOUR if speech else IDLE_COLOUR
        _fill(canvas, sheet_w, ox, oy, tw, height + 2 * border, colour)
        for y in range(height):
            start = 3 * ((oy + border + y) * sheet_w + ox + border)
            canvas[start : start + 3 * width] = rgb[3 * width * y : 3 * width * (y + 1)]
        font.draw(canvas, sheet_w, ox + border, oy + height + 2 * border + 2, label, _TEXT_COLOUR, text_scale)
    return bytes(canvas), sheet_w, sheet_h
