"""Silent runtimes and the executor: an unrelated job handed to the loop's default executor
every ``PROBE_EVERY`` s, its wait timed alone and then beside many started runtimes whose
renderers yield nothing (their streams wait for a first frame the whole time).

A stream that waits through the executor holds a worker per waiting take, so only the
implementations that need none are run here; the default mode's starvation is the
starvation section's.
"""

from __future__ import annotations

import asyncio
import threading
import time

from bench.measures.grid import NO_EXECUTOR_TAKES
from bench.measures.scale import probe
from bench.stats import percentile
from bench.subjects import IMPLEMENTATIONS


def _nothing(release: threading.Event):
    def frames():
        release.wait()  # renders nothing until the run ends
        return
        yield

    return frames


def _waits(samples: list[float]) -> dict[str, float]:
    return {"p50_ms": percentile(samples, 50) * 1e3, "p99_ms": percentile(samples, 99) * 1e3}


async def _one(name: str, runtimes: int, seconds: float) -> dict[str, object]:
    alone = await probe(time.perf_counter(), time.perf_counter() + seconds)
    release = threading.Event()
    streams = [IMPLEMENTATIONS[name](_nothing(release)) for _ in range(runtimes)]

    async def wait_silently(stream) -> None:
        async for _frame in stream.run():
            pass

    tasks = [asyncio.create_task(wait_silently(s)) for s in streams]
    await asyncio.sleep(1.0 + runtimes * 0.002)  # every producer started, every stream waiting
    beside = await probe(time.perf_counter(), time.perf_counter() + seconds)
    release.set()
    await asyncio.gather(*tasks)
    for stream in streams:
        await stream.stop()
    return {"alone": _waits(alone), "beside": _waits(beside)}


def measure(names: list[str], runtimes: int, seconds: float) -> dict[str, object]:
    out: dict[str, object] = {"runtimes": runtimes}
    for name in names:
        if name in NO_EXECUTOR_TAKES:
            out[name] = asyncio.run(_one(name, runtimes, seconds))
    return out
