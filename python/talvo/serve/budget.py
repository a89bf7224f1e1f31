"""A leaky bucket: how far a client's events (refused messages, refused requests) run ahead of
the rate the server answers them at."""

from __future__ import annotations

import time


class Budget:
    """Each `spend` adds one event and returns the level, which drains at `rate` per second: a
    caller answers while the level is low, goes quiet above a burst, and acts beyond that."""

    def __init__(self, rate: float) -> None:
        self.rate = rate
        self.level = 0.0
        self._at = time.monotonic()

    def spend(self) -> float:
        now = time.monotonic()
        self.level = max(0.0, self.level - (now - self._at) * self.rate) + 1.0
        self._at = now
        return self.level
