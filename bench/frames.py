"""Pre-made frames and the fake renderers that hand them out.

Every implementation streams the very same ``VideoFrame`` objects, so no figure includes
drawing or allocation that another does not. A renderer stamps ``perf_counter()`` just before
it yields a frame; the stamp lives in the renderer's own list, indexed by ``frame.index``
(frames of the pool carry their pool position as index), so the receiving side can measure
delivery latency without touching the frame.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator

from talvo.api import VideoFrame

FPS = 25
# Far more than can be in flight (a queue of 6 plus one each side): stamps never clash.
POOL_SIZE = 1024
SIDE = 96
_IMAGE = bytes(SIDE * SIDE * 3)
_AUDIO = bytes(16000 // FPS * 2)

POOL: tuple[VideoFrame, ...] = tuple(
    VideoFrame(i, SIDE, SIDE, _IMAGE, _AUDIO, False, True, 16000, i / FPS) for i in range(POOL_SIZE)
)

Source = Callable[[], Iterator[VideoFrame]]


class Stamps:
    """When each pool slot was last yielded by one renderer."""

    __slots__ = ("at",)

    def __init__(self) -> None:
        self.at = [0.0] * POOL_SIZE

    def latency(self, frame: VideoFrame, now: float) -> float:
        return now - self.at[frame.index]


def free_running(count: int) -> Source:
    """A renderer that yields ``count`` frames as fast as they are taken."""

    def frames() -> Iterator[VideoFrame]:
        pool = POOL
        for i in range(count):
            yield pool[i % POOL_SIZE]

    return frames


def paced(stamps: Stamps, count: int | None = None, fps: float = FPS) -> Source:
    """A renderer paced like the real one: one frame per tick, resuming from now when it falls
    behind (no burst). ``count=None`` runs until the consumer stops taking."""

    def frames() -> Iterator[VideoFrame]:
        pool, at, period, clock = POOL, stamps.at, 1.0 / fps, time.perf_counter
        deadline = clock()
        i = 0
        while count is None or i < count:
            now = clock()
            if deadline > now:
                time.sleep(deadline - now)
            elif now - deadline > period:
                deadline = now
            slot = i % POOL_SIZE
            at[slot] = clock()
            yield pool[slot]
            i += 1
            deadline += period

    return frames


def silent(release: threading.Event, tick: float = 1.0 / FPS) -> Source:
    """A renderer whose ticks all come out empty (as when the application's output side never
    reports empty) until ``release`` is set; then its run ends."""

    def frames() -> Iterator[VideoFrame]:
        while not release.wait(tick):
            pass
        return
        yield  # a generator, like the renderer's run

    return frames
