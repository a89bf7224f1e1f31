"""A 3x5 pixel font for the few characters the contact sheet writes, drawn into RGB24 rows."""

from __future__ import annotations

# Each glyph: five rows of three pixels, "#" set.
_GLYPHS = {
    "0": ("###", "#.#", "#.#", "#.#", "###"),
    "1": (".#.", "##.", ".#.", ".#.", "###"),
    "2": ("###", "..#", "###", "#..", "###"),
    "3": ("###", "..#", ".##", "..#", "###"),
    "4": ("#.#", "#.#", "###", "..#", "..#"),
    "5": ("###", "#..", "###", "..#", "###"),
    "6": ("###", "#..", "###", "#.#", "###"),
    "7": ("###", "..#", ".#.", ".#.", ".#."),
    "8": ("###", "#.#", "###", "#.#", "###"),
    "9": ("###", "#.#", "###", "..#", "###"),
    ".": ("...", "...", "...", "...", ".#."),
    "#": ("#.#", "###", "#.#", "###", "#.#"),
    " ": ("...", "...", "...", "...", "..."),
    "c": ("...", "###", "#..", "#..", "###"),
    "d": ("..#", "###", "#.#", "#.#", "###"),
    "e": ("###", "#.#", "###", "#..", "###"),
    "h": ("#..", "#..", "###", "#.#", "#.#"),
    "i": (".#.", "...", ".#.", ".#.", ".#."),
    "l": ("#..", "#..", "#..", "#..", "###"),
    "p": ("###", "#.#", "###", "#..", "#.."),
    "s": (".##", "#..", ".#.", "..#", "##."),
    "n": ("...", "##.", "#.#", "#.#", "#.#"),
    "r": ("...", "#.#", "##.", "#..", "#.."),
    "t": (".#.", "###", ".#.", ".#.", ".##"),
    "u": ("...", "#.#", "#.#", "#.#", "###"),
}

HEIGHT = 5


def text_width(text: str, scale: int = 1) -> int:
    """Pixels `text` takes: three per glyph and one between glyphs."""
    return max(0, 4 * len(text) - 1) * scale


def draw(
    canvas: bytearray, canvas_width: int, x: int, y: int, text: str, colour: bytes, scale: int = 1
) -> None:
    """Writes `text` with its top-left corner at (x, y); what falls outside the canvas is cut."""
    canvas_height = len(canvas) // (3 * canvas_width)
    for n, char in enumerate(text):
        glyph = _GLYPHS[char]
        for gy, row in enumerate(glyph):
            for gx, bit in enumerate(row):
                if bit != "#":
                    continue
                for dy in range(scale):
                    py = y + gy * scale + dy
                    px = x + (4 * n + gx) * scale
                    if not 0 <= py < canvas_height:
                        continue
                    for dx in range(scale):
                        if 0 <= px + dx < canvas_width:
                            at = 3 * (py * canvas_width + px + dx)
                            canvas[at : at + 3] = colour
