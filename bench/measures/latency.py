"""Delivery latency at 25 fps: from the renderer's stamp just before it yields a frame to the
application holding it, over every frame of the run (the first included)."""

from __future__ import annotations

import asyncio
import time

from bench.frames import Stamps, paced
from bench.stats import summary_ms
from bench.subjects import IMPLEMENTATIONS


async def _one(name: str, count: int) -> dict[str, float]:
    stamps = Stamps()
    stream = IMPLEMENTATIONS[name](paced(stamps, count))
    clock = time.perf_counter
    samples = []
    async for frame in stream.run():
        samples.append(stamps.latency(frame, clock()))
    await stream.stop()
    return summary_ms(samples)


def measure(names: list[str], count: int) -> dict[str, dict[str, float]]:
    return {name: asyncio.run(_one(name, count)) for name in names}
