"""Stop latency: ``stop()`` while the producer waits for room on a full queue (nobody takes)."""

from __future__ import annotations

import asyncio
import statistics
import time

from bench.frames import free_running
from bench.subjects import IMPLEMENTATIONS

FILL_DEADLINE = 5.0
SETTLE = 0.05  # past full: the producer is inside its timed put with the next frame


async def _trial(name: str) -> float:
    stream = IMPLEMENTATIONS[name](free_running(10**9))
    await stream.start()
    deadline = time.monotonic() + FILL_DEADLINE
    while not stream.queue_full():
        if time.monotonic() > deadline:
            raise RuntimeError(f"{name}: queue did not fill within {FILL_DEADLINE}s")
        await asyncio.sleep(0.001)
    await asyncio.sleep(SETTLE)
    t0 = time.perf_counter()
    await stream.stop()
    return time.perf_counter() - t0


async def _trials(name: str, trials: int) -> dict[str, float]:
    taken = [await _trial(name) for _ in range(trials)]
    return {"median_ms": statistics.median(taken) * 1e3, "max_ms": max(taken) * 1e3, "trials": trials}


def measure(names: list[str], trials: int) -> dict[str, dict[str, float]]:
    return {name: asyncio.run(_trials(name, trials)) for name in names}
