"""Throughput and CPU: a free-running renderer, frames taken as fast as the stream delivers.

CPU is the whole process's (loop, executor workers and producer thread together), divided by
the frames delivered. Resident memory is sampled before the first run, after talvo's
runs have carried half of its frames, and after the last: growth over the second half is
what a per-frame leak in talvo would show (the peers' runs in between allocate nothing that
outlives them).
"""

from __future__ import annotations

import asyncio
import gc
import time

from bench.frames import free_running
from bench.machine import rss_bytes
from bench.subjects import IMPLEMENTATIONS


async def _one(name: str, count: int) -> dict[str, float]:
    stream = IMPLEMENTATIONS[name](free_running(count))
    received = 0
    cpu0, t0 = time.process_time(), time.perf_counter()
    async for _frame in stream.run():
        received += 1
    t1, cpu1 = time.perf_counter(), time.process_time()
    await stream.stop()
    return {"frames": received, "seconds": t1 - t0, "cpu": cpu1 - cpu0}


def measure(names: list[str], count: int, rounds: int = 1) -> dict[str, dict[str, object]]:
    """``count`` frames per implementation, split into ``rounds`` interleaved runs so that a
    change in the machine's other load falls on every implementation alike."""
    per_round = count // rounds
    runs: dict[str, list[dict[str, object]]] = {name: [] for name in names}
    gc.collect()
    rss = {"before": rss_bytes()}
    for r in range(rounds):
        for name in names:
            runs[name].append(asyncio.run(_one(name, per_round)))
            if name == "talvo":
                gc.collect()
                if r == rounds // 2 - 1:
                    rss["half"] = rss_bytes()
    rss["after"] = rss_bytes()
    out = {name: _total(done) for name, done in runs.items()}
    if "talvo" in out:
        out["talvo"]["rss_bytes"] = rss
        out["talvo"]["rss_note"] = "whole process, sampled around the talvo runs"
    return out


def _total(runs: list[dict[str, object]]) -> dict[str, object]:
    frames = sum(r["frames"] for r in runs)
    seconds = sum(r["seconds"] for r in runs)
    cpu = sum(r["cpu"] for r in runs)
    return {
        "frames": frames,
        "seconds": seconds,
        "fps": frames / seconds,
        "cpu_us_per_frame": cpu / max(frames, 1) * 1e6,
        "fps_per_round": [r["frames"] / r["seconds"] for r in runs],
    }
