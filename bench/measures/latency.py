"""Delivery latency at 25 fps: from the renderer's stamp just before it yields a frame to the
application holding it, over every frame (each run's first included)."""

from __future__ import annotations

import asyncio
import time

from bench.frames import Stamps, paced
from bench.stats import summary_ms
from bench.subjects import IMPLEMENTATIONS


async def _one(name: str, count: int) -> list[float]:
    stamps = Stamps()
    stream = IMPLEMENTATIONS[name](paced(stamps, count))
    clock = time.perf_counter
    samples = []
    async for frame in stream.run():
        samples.append(stamps.latency(frame, clock()))
    await stream.stop()
    return samples


def measure(names: list[str], count: int, rounds: int = 1) -> dict[str, dict[str, float]]:
    """``count`` frames per implementation in ``rounds`` interleaved runs (see throughput)."""
    samples: dict[str, list[float]] = {name: [] for name in names}
    for _ in range(rounds):
        for name in names:
            samples[name] += asyncio.run(_one(name, count // rounds))
    return {name: summary_ms(taken) for name, taken in samples.items()}
