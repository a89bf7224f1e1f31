"""Support for the load, fault and soak runs: a fake renderer and an exact ledger of frames.

The fake replaces ``Talvo.run`` (which the producer reaches through the base class) with an
iteration that never sleeps, so the queue stays full and every hand-over is exercised. The
ledger follows each frame by its index through the queue and names where it ended, so a run can
show that nothing was lost or delivered twice, not merely that the totals look right.
"""

from __future__ import annotations

import asyncio
import gc
import itertools
import sys
import threading
import time
import weakref
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any
from unittest import mock

from talvo.api import VideoFrame
from talvo.runtime import Talvo

IMAGE = b"\x00\x00\x00"

# Where a frame can be: yielded by the renderer and held by the producer, queued, taken by a
# stream, then delivered; or drained by stop or start, or dropped to make room for an end marker.
# HELD, QUEUED and TAKEN are ends too when a run stops with the frame there (in the producer's
# hand, left in the queue, taken by a take whose task was cancelled).
NEW, HELD, QUEUED, TAKEN, DELIVERED, DRAINED, DROPPED = range(7)
STATE_NAMES = ("new", "held", "queued", "taken", "delivered", "drained", "dropped")

OUR_FRAME_TYPES = frozenset({
    "talvo.runtime_async.coroutine", "talvo.runtime_async.coroutine_wrapper",
    "talvo.runtime_async.async_generator", "talvo.runtime_async.async_generator_request",
})


class Ledger:
    """Where every frame is. Moves are checked: a frame taken twice or delivered twice shows up
    in ``faults``. Frames pass from thread to thread only through the queue's lock, so each
    frame's moves are ordered without a lock of our own."""

    def __init__(self, capacity: int) -> None:
        self.state = bytearray(capacity)
        self.faults: list[tuple[int, str, str]] = []
        self.puts_by_thread: Counter[int] = Counter()  # every item, markers and errors too
        self._loop_thread = threading.get_ident()

    def move(self, index: int, before: int, after: int) -> None:
        if self.state[index] != before:
            self.faults.append((index, STATE_NAMES[self.state[index]], STATE_NAMES[after]))
        self.state[index] = after

    def delivered(self, frame: VideoFrame) -> None:
        self.move(frame.index, TAKEN, DELIVERED)

    def watch(self, runtime: Any) -> None:
        """Follows the runtime's frame queue. Call on the loop thread: its takes there are
        drains (an emptiness test comes first) or, in loop mode, the stream's takes."""
        self._loop_thread = threading.get_ident()
        q = runtime._frame_queue
        put, get, empty = q._put, q._get, q.empty  # the storage steps run under the queue's lock
        draining = threading.local()

        def _put(item: Any) -> None:
            self.puts_by_thread[threading.get_ident()] += 1
            if isinstance(item, VideoFrame):
                self.move(item.index, HELD, QUEUED)
            put(item)

        def _get() -> Any:
            item = get()
            drain, draining.now = getattr(draining, "now", False), False
            if isinstance(item, VideoFrame):
                me = threading.current_thread()
                if me.ident == self._loop_thread:
                    after = DRAINED if drain else TAKEN  # stop's or start's drain; a loop-mode take
                elif me.name == "talvo-frame-producer":
                    after = DROPPED  # room made for the end marker
                else:
                    after = TAKEN  # a stream's take on an executor worker
                self.move(item.index, QUEUED, after)
            return item

        def is_empty() -> bool:
            result = empty()
            draining.now = not result
            return result

        q._put, q._get, q.empty = _put, _get, is_empty

    def counts(self) -> dict[str, int]:
        return {name: self.state.count(i) for i, name in enumerate(STATE_NAMES)}

    def rendered(self) -> int:
        """Frames the renderer has produced so far."""
        return len(self.state) - self.state.count(NEW)


class FakeRenderer:
    """Stands in for ``Talvo.run``: frames as fast as the queue takes them, numbered across runs.

    ``behaviour(run_number)`` may return a step function called before each frame with the
    frame's number in its run; it can raise, block, or return normally.
    """

    def __init__(self, ledger: Ledger, per_run: int | None = None,
                 behaviour: Callable[[int], Callable[[int], None] | None] | None = None) -> None:
        self.ledger = ledger
        self.per_run = per_run
        self.behaviour = behaviour
        self.live: weakref.WeakSet[VideoFrame] = weakref.WeakSet()
        self.runs = 0
        self.last_index_by_thread: dict[int, int] = {}
        self._numbers = itertools.count()

    def _frames(self, step: Callable[[int], None] | None) -> Iterator[VideoFrame]:
        n = 0
        while self.per_run is None or n < self.per_run:
            if step is not None:
                step(n)
            index = next(self._numbers)  # atomic: an abandoned producer may still be yielding
            if index >= len(self.ledger.state):
                return
            frame = VideoFrame(index, 1, 1, IMAGE)
            self.live.add(frame)
            self.ledger.move(index, NEW, HELD)
            self.last_index_by_thread[threading.get_ident()] = index
            n += 1
            yield frame

    def alive(self) -> int:
        """Frames of this renderer not yet freed."""
        gc.collect()
        return len(self.live)

    @contextmanager
    def installed(self) -> Iterator[FakeRenderer]:
        fake = self

        def run(self: Talvo, out_buffer_empty: Callable[[], bool],
                idle_timeout: float | None = None) -> Iterator[VideoFrame]:
            fake.runs += 1
            step = fake.behaviour(fake.runs) if fake.behaviour else None
            return fake._frames(step)

        with mock.patch.object(Talvo, "run", run):
            yield self


def producer_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name == "talvo-frame-producer"]


def wait_for(condition: Callable[[], bool], timeout: float = 10.0, what: str = "condition") -> None:
    """Polls until ``condition()`` holds; fails after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.005)


async def settled(condition: Callable[[], bool], timeout: float = 5.0) -> bool:
    """Lets the loop run until ``condition()`` holds (callbacks still queued on the loop can hold
    the last objects of a cancelled task); False after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(0.001)
    return True


def our_frame_objects() -> list[object]:
    """Coroutines, async generators and their helper objects of ours still alive."""
    gc.collect()
    return [o for o in gc.get_objects()
            if f"{type(o).__module__}.{type(o).__qualname__}" in OUR_FRAME_TYPES]


def allocated_blocks() -> int:
    gc.collect()
    return sys.getallocatedblocks()
