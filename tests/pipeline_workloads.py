"""Workloads shared by the soak tests and bench/soak.py, so both run the same code at two sizes."""

from __future__ import annotations

import asyncio
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from pipeline_harness import Ledger
from talvo.api import VideoFrame

FLAVOURS = ("start-stop", "break-then-stop", "cancel-mid-take")


async def cycle(runtime: Any, ledger: Ledger, i: int) -> str:
    """One start/stop cycle of flavour ``i % 3``: start and stop with no consumer; a stream
    broken off after three frames, then stop; a stream whose task is cancelled while it waits."""
    flavour = FLAVOURS[i % len(FLAVOURS)]
    if flavour == "start-stop":
        await runtime.start()
        await runtime.stop()
    elif flavour == "break-then-stop":
        await stream_frames(runtime, ledger, 3)
    else:
        first = asyncio.Event()

        async def consume() -> None:
            async for frame in runtime.run():
                ledger.delivered(frame)
                first.set()

        task = asyncio.create_task(consume())
        await first.wait()
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        else:
            raise AssertionError("the stream ended before it was cancelled")
    return flavour


async def stream_frames(runtime: Any, ledger: Ledger, count: int) -> int:
    """Iterates ``run`` until ``count`` frames arrived (or the stream ended), then stops."""
    n = 0
    if count:
        async for frame in runtime.run():
            ledger.delivered(frame)
            n += 1
            if n == count:
                break
    await runtime.stop()
    return n


@dataclass
class StreamsOutcome:
    delivered: list[int]
    endings: Counter[str] = field(default_factory=Counter)


async def competing_streams(
    runtime: Any, ledger: Ledger, streams: int, *, stop_after: int | None = None, how: str = "cancel"
) -> StreamsOutcome:
    """``streams`` concurrent iterations of ``run`` on one instance. With ``stop_after``, once
    that many frames arrived in total, every consuming task is cancelled (``how="cancel"``) or
    the application awaits ``stop`` while they iterate (``how="stop"``). Ends with a stop."""
    outcome = StreamsOutcome([0] * streams)
    enough = asyncio.Event()

    async def consume(k: int) -> None:
        async for frame in runtime.run():
            ledger.delivered(frame)
            outcome.delivered[k] += 1
            if stop_after is not None and sum(outcome.delivered) >= stop_after:
                enough.set()

    tasks = [asyncio.create_task(consume(k)) for k in range(streams)]
    if stop_after is not None:
        waiter = asyncio.create_task(enough.wait())
        await asyncio.wait([waiter, *tasks], return_when=asyncio.FIRST_COMPLETED)
        waiter.cancel()
        if how == "cancel":
            for task in tasks:
                task.cancel()
        else:
            await runtime.stop()
    for result in await asyncio.gather(*tasks, return_exceptions=True):
        outcome.endings[type(result).__name__ if result is not None else "ended"] += 1
    await runtime.stop()
    return outcome


def accounted(ledger: Ledger, runtime: Any, *, runs: int, interrupted_takes: int) -> dict[str, int]:
    """Checks where every frame ended and returns the counts.

    Frames that were not delivered must each have a documented place: drained by stop or start;
    dropped to make room for an end marker; held by a producer when stop came (one per run at
    most); taken by a take already in flight when its task was cancelled (one per interrupted
    stream at most, never delivered); or still queued after the last stop (start drains them).
    """
    assert not ledger.faults, f"frames moved out of order: {ledger.faults[:5]}"
    counts = ledger.counts()
    left = sum(1 for item in list(runtime._frame_queue.queue) if isinstance(item, VideoFrame))
    assert counts["queued"] == left, counts
    assert counts["held"] <= runs, counts
    assert counts["taken"] <= interrupted_takes, counts
    return counts
