"""Throughput and CPU: a free-running renderer, frames taken as fast as the stream delivers.

CPU is the whole process's (loop, executor workers and producer thread together), divided by
the frames delivered. For talvo the resident memory is sampled before the run, half-way and
after ``stop()``: growth over the second half is what a per-frame leak would show.
"""

from __future__ import annotations

import asyncio
import gc
import time

from bench.frames import free_running
from bench.machine import rss_bytes
from bench.subjects import IMPLEMENTATIONS


async def _one(name: str, count: int, sample_memory: bool) -> dict[str, object]:
    stream = IMPLEMENTATIONS[name](free_running(count))
    half = count // 2
    gc.collect()
    rss = {"before": rss_bytes()} if sample_memory else {}
    received = 0
    cpu0, t0 = time.process_time(), time.perf_counter()
    async for _frame in stream.run():
        received += 1
        if sample_memory and received == half:
            rss["half"] = rss_bytes()
    t1, cpu1 = time.perf_counter(), time.process_time()
    await stream.stop()
    result: dict[str, object] = {
        "frames": received,
        "seconds": t1 - t0,
        "fps": received / (t1 - t0),
        "cpu_us_per_frame": (cpu1 - cpu0) / max(received, 1) * 1e6,
    }
    if sample_memory:
        gc.collect()
        rss["after"] = rss_bytes()
        result["rss_bytes"] = rss
    return result


def measure(names: list[str], count: int) -> dict[str, dict[str, object]]:
    return {name: asyncio.run(_one(name, count, sample_memory=name == "talvo")) for name in names}
