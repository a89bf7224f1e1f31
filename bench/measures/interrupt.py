"""Interrupt to idle: N runtimes on one loop, each speaking with the real stand-in renderer and
interrupted at a random moment of every utterance. The figure is the time from the call to
`interrupt()` to the first frame the consumer receives after it (with nothing stale, that frame
is idle), over every interrupt of every runtime; a speech frame arriving there would be stale
and is counted. The stand-in hands out that idle frame at once rather than at its next tick. Executor mode gets an executor of N + 4 workers, as in the many-runtimes section.
"""

from __future__ import annotations

import asyncio
import os
import random
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

from talvo.demo.audio import SAMPLE_RATE, speech_like
from talvo.engine.video_reader import pack_demo_model
from talvo.runtime_async import AsyncTalvo

from bench.stats import summary_ms

MODES = {"talvo": "executor", "talvo-loop": "loop"}


async def _speaker(model: str, mode: str, rounds: int, seed: int, samples: list, stale: list) -> None:
    runtime = await AsyncTalvo.create(model_path=model, frame_wait=mode)
    await runtime.load_data_async()
    rng, utterance = random.Random(seed), speech_like(1.0)
    state: dict = {"speech": 0, "called": None}
    arrived = asyncio.Event()

    async def consume() -> None:
        async for frame in runtime.run():
            now = time.perf_counter()
            state["speech"] += frame.speech
            if state["called"] is not None:  # the first frame after the call
                samples.append(now - state["called"])
                stale.append(bool(frame.speech))
                state["called"] = None
            arrived.set()

    async def until(condition) -> None:
        while not condition():
            arrived.clear()
            await arrived.wait()

    consumer = asyncio.create_task(consume())
    try:
        await asyncio.sleep(rng.uniform(0, 0.04))  # not all runtimes on the same tick
        for _ in range(rounds):
            await runtime.push_audio(utterance, SAMPLE_RATE)
            await runtime.flush()
            target = state["speech"] + rng.randint(2, 15)
            await until(lambda target=target: state["speech"] >= target)
            await asyncio.sleep(rng.uniform(0, 0.04))  # at a random moment of the frame interval
            state["called"] = time.perf_counter()  # interrupt() has no suspension point
            await runtime.interrupt()
            await until(lambda: state["called"] is None)
            await asyncio.sleep(rng.uniform(0.02, 0.2))  # idle between utterances
    finally:
        consumer.cancel()
        await asyncio.gather(consumer, return_exceptions=True)
        await runtime.stop()


async def _one(model: str, name: str, runtimes: int, rounds: int) -> dict[str, float]:
    if MODES[name] == "executor":
        asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(max_workers=runtimes + 4))
    samples: list[float] = []
    stale: list[bool] = []
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    await asyncio.gather(*(_speaker(model, MODES[name], rounds, i, samples, stale) for i in range(runtimes)))
    cpu = (time.process_time() - cpu0) / (time.perf_counter() - t0) * 100
    return {**summary_ms(samples), "stale": sum(stale), "cpu_percent": cpu}


def measure(points: list[int], rounds: dict[int, int]) -> dict[str, dict[int, dict[str, float]]]:
    """{name: {runtimes: figures}}, `rounds[runtimes]` interrupts per runtime."""
    out: dict[str, dict[int, dict[str, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="talvo-bench-") as tmp:
        model = os.path.join(tmp, "bench.imx")
        pack_demo_model(model, width=32, height=32)
        for n in points:
            for name in MODES:
                out.setdefault(name, {})[n] = asyncio.run(_one(model, name, n, rounds[n]))
    return out
