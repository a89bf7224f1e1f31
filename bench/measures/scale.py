"""Scale: n concurrent 25 fps streams on one loop, each with its own runtime and renderer.

Figures cover a window that opens ``WARMUP`` after all streams have started and lasts the
given seconds: delivered frames per second for each stream (mean and worst) and the p99
latency over every frame received in it. Run once on the loop's default executor and once
on one sized to ``n + 4`` workers, so that no waiting take keeps another stream's take queued.
Beside the streams, a probe hands the default executor a no-op every ``PROBE_EVERY`` and
times how long it waits: what any other user of that executor (``asyncio.to_thread``, DNS
look-ups, file I/O) would see.
"""

from __future__ import annotations

import asyncio
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import aclosing

from bench.frames import Stamps, paced
from bench.measures.grid import grid
from bench.stats import percentile
from bench.subjects import IMPLEMENTATIONS

WARMUP = 0.5
PROBE_EVERY = 0.05


def _noop() -> None:
    pass


async def probe(opens: float, closes: float) -> list[float]:
    loop, clock, waits = asyncio.get_running_loop(), time.perf_counter, []
    while (now := clock()) < closes:
        await asyncio.sleep(PROBE_EVERY)
        t = clock()
        await loop.run_in_executor(None, _noop)
        if now >= opens:
            waits.append(clock() - t)
    return waits


async def stream_window(name: str, opens: float, closes: float) -> list[float]:
    stamps = Stamps()
    stream = IMPLEMENTATIONS[name](paced(stamps))
    clock = time.perf_counter
    samples = []
    async with aclosing(stream.run()) as frames:
        async for frame in frames:
            now = clock()
            if now >= closes:
                break
            if now >= opens:
                samples.append(stamps.latency(frame, now))
    await stream.stop()
    return samples


async def _one(name: str, streams: int, sized: bool, seconds: float) -> dict[str, float]:
    if sized:
        asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(max_workers=streams + 4))
    opens = time.perf_counter() + WARMUP
    waits, *per_stream = await asyncio.gather(
        probe(opens, opens + seconds), *(stream_window(name, opens, opens + seconds) for _ in range(streams))
    )
    fps = [len(samples) / seconds for samples in per_stream]
    every = [s for samples in per_stream for s in samples]
    return {
        "fps_mean": sum(fps) / len(fps),
        "fps_min": min(fps),
        "p99_ms": percentile(every, 99) * 1e3,
        "probe_p99_ms": percentile(waits, 99) * 1e3,
    }


def measure(names: list[str], points: list[int], seconds: float) -> dict[str, object]:
    return grid(names, points, lambda name, n, sized: asyncio.run(_one(name, n, sized, seconds)))
