"""How much of each volume case (soak, leak loops, fuzz example counts) a run does.

TALVO_VOLUME_SCALE multiplies every count: tools/sanitize.sh sets it, since the sanitized build
runs each Python-level step many times slower and finds its faults in the first cycles anyway.
"""

import os

SCALE = float(os.environ.get("TALVO_VOLUME_SCALE", "1"))


def scaled(count: int, least: int = 1, multiple_of: int = 1) -> int:
    """`count` times the scale, at least `least`, rounded down to a multiple of `multiple_of`."""
    n = max(least, int(count * SCALE))
    return max(multiple_of, n - n % multiple_of)
