"""Starvation: one live 25 fps stream beside k silent runtimes (renderers whose ticks come out
empty). A silent stream's take holds an executor worker for its whole 1.0 s time-out and is
handed in again at once, so k silent streams keep min(k, workers) workers busy for good. The
live stream's delivered fps and p99 latency, and the executor probe's wait, on the default
executor and on one sized to k + 1 + 4 workers."""

from __future__ import annotations

import asyncio
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from bench.frames import silent
from bench.measures.grid import grid
from bench.measures.scale import WARMUP, probe, stream_window
from bench.stats import percentile
from bench.subjects import IMPLEMENTATIONS


async def _silent_stream(name: str, release: threading.Event) -> None:
    stream = IMPLEMENTATIONS[name](silent(release))
    async for _frame in stream.run():
        pass
    await stream.stop()


async def _one(name: str, silent_streams: int, sized: bool, seconds: float) -> dict[str, float]:
    if sized:
        asyncio.get_running_loop().set_default_executor(
            ThreadPoolExecutor(max_workers=silent_streams + 1 + 4)
        )
    release = threading.Event()
    quiet = [asyncio.create_task(_silent_stream(name, release)) for _ in range(silent_streams)]
    opens = time.perf_counter() + WARMUP
    try:
        waits, live = await asyncio.gather(
            probe(opens, opens + seconds), stream_window(name, opens, opens + seconds)
        )
    finally:
        release.set()
        await asyncio.gather(*quiet)
    return {
        "live_fps": len(live) / seconds,
        "live_p99_ms": percentile(live, 99) * 1e3,
        "probe_p99_ms": percentile(waits, 99) * 1e3,
    }


def measure(names: list[str], points: list[int], seconds: float) -> dict[str, object]:
    return grid(names, points, lambda name, k, sized: asyncio.run(_one(name, k, sized, seconds)))
