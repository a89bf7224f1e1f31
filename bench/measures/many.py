"""Many runtimes: N concurrent 25 fps streams on one loop, each with its own runtime and a
trivial paced renderer, for N up to 256.

For each implementation: delivered fps per stream (mean and worst), p50/p99 delivery latency
over every frame of the window, and the process's CPU over the window as a percentage of one
core. Implementations that take through the executor get one sized to N + 4 workers (on the
default one they cannot keep up past a handful of streams: see the scale section); loop mode
and janus need none.
"""

from __future__ import annotations

import asyncio
import time
from concurrent.futures import ThreadPoolExecutor

from bench.measures.grid import NO_EXECUTOR_TAKES
from bench.measures.scale import WARMUP, stream_window
from bench.stats import percentile


async def _one(name: str, streams: int, seconds: float) -> dict[str, float]:
    executor = None
    if name not in NO_EXECUTOR_TAKES:
        executor = ThreadPoolExecutor(max_workers=streams + 4)
        asyncio.get_running_loop().set_default_executor(executor)
    # Starting hundreds of producers takes a while on a small machine: the window opens later.
    opens = time.perf_counter() + WARMUP + streams * 0.004
    closes = opens + seconds

    async def cpu_window() -> float:
        await asyncio.sleep(max(0.0, opens - time.perf_counter()))
        cpu0, t0 = time.process_time(), time.perf_counter()
        await asyncio.sleep(max(0.0, closes - time.perf_counter()))
        return (time.process_time() - cpu0) / (time.perf_counter() - t0) * 100

    cpu, *per_stream = await asyncio.gather(
        cpu_window(), *(stream_window(name, opens, closes) for _ in range(streams))
    )
    fps = [len(samples) / seconds for samples in per_stream]
    every = [s for samples in per_stream for s in samples]
    return {
        "fps_mean": sum(fps) / len(fps),
        "fps_min": min(fps),
        "p50_ms": percentile(every, 50) * 1e3,
        "p99_ms": percentile(every, 99) * 1e3,
        "cpu_percent": cpu,
    }


def measure(
    names: list[str], points: list[int], seconds: float, executor_limit: int | None = None
) -> dict[str, dict[int, dict[str, float]]]:
    """{name: {n: figures}}; implementations with executor takes stop at ``executor_limit``
    streams (a thread per waiting take is what they cost)."""
    out: dict[str, dict[int, dict[str, float]]] = {}
    for n in points:
        for name in names:
            if executor_limit is not None and n > executor_limit and name not in NO_EXECUTOR_TAKES:
                continue
            out.setdefault(name, {})[n] = asyncio.run(_one(name, n, seconds))
    return out
