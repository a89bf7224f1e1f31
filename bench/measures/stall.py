"""Event-loop stalls: a 1 ms ticker beside one 25 fps stream, from before ``start`` until after
``stop``, records how late each tick wakes. A second pass repeats it under asyncio's debug mode
with ``slow_callback_duration = 1 ms`` and sorts its "Executing ... took ..." warnings by whose
code the slow callback ran."""

from __future__ import annotations

import asyncio
import logging
import re
import time

from bench.frames import Stamps, paced
from bench.stats import percentile
from bench.subjects import IMPLEMENTATIONS

TICK = 0.001
SETTLE = 0.2  # ticker alone before start and after stop
STREAM_TASK = "stream:"

_TOOK = re.compile(r"took (\d+(?:\.\d+)?) seconds")


_WAKEUPS = ("_chain_future", "_call_set_state", "_read_from_self", "janus", "_resolve")


def classify(message: str) -> str:
    """Whose code a slow-callback warning names: ``stream`` (the implementation's start, stream
    and stop, run in the stream task), ``wakeup`` (asyncio's or janus's callbacks that hand a
    result over from another thread), ``ticker`` (the ticker's own trivial steps: slow only
    while another thread holds the GIL), or ``other``."""
    if f"name='{STREAM_TASK}" in message:
        return "stream"
    if any(mark in message for mark in _WAKEUPS):
        return "wakeup"
    if "name='ticker'" in message or "_set_result_unless_cancelled" in message:
        return "ticker"
    return "other"


class _SlowCallbacks(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.WARNING)
        self.records: list[tuple[str, float, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if not message.startswith("Executing "):
            return
        took = _TOOK.search(message)
        self.records.append((classify(message), float(took.group(1)) if took else 0.0, message))


async def _ticker(done: asyncio.Event, lateness: list[float]) -> None:
    clock = time.perf_counter
    while not done.is_set():
        t = clock()
        await asyncio.sleep(TICK)
        lateness.append(clock() - t - TICK)


async def _consume(name: str, count: int) -> None:
    stream = IMPLEMENTATIONS[name](paced(Stamps(), count))
    async for _frame in stream.run():
        pass
    await stream.stop()


async def _one(name: str | None, count: int, debug: bool) -> dict[str, object]:
    loop = asyncio.get_running_loop()
    if debug:
        loop.slow_callback_duration = TICK
    done, lateness = asyncio.Event(), []
    ticker = asyncio.create_task(_ticker(done, lateness), name="ticker")
    await asyncio.sleep(SETTLE)
    if name is not None:
        await asyncio.create_task(_consume(name, count), name=STREAM_TASK + name)
    await asyncio.sleep(SETTLE)
    done.set()
    await ticker
    return {
        "ticks": len(lateness),
        "worst_ms": max(lateness) * 1e3,
        "p99_ms": percentile(lateness, 99) * 1e3,
    }


def _run(name: str | None, count: int, debug: bool) -> dict[str, object]:
    if not debug:
        return asyncio.run(_one(name, count, debug))
    log = logging.getLogger("asyncio")
    handler, propagate = _SlowCallbacks(), log.propagate
    log.addHandler(handler)
    log.propagate = False
    try:
        result = asyncio.run(_one(name, count, debug), debug=True)
    finally:
        log.removeHandler(handler)
        log.propagate = propagate
    by_kind: dict[str, int] = {}
    for kind, _took, _message in handler.records:
        by_kind[kind] = by_kind.get(kind, 0) + 1
    result["slow_callbacks"] = {
        "total": len(handler.records),
        "by_kind": by_kind,
        "worst_ms": max((took for _k, took, _m in handler.records), default=0.0) * 1e3,
        "examples": sorted({m[:300] for _k, _t, m in handler.records})[:5],
    }
    return result


def measure(names: list[str], count: int) -> dict[str, dict[str, object]]:
    out: dict[str, dict[str, object]] = {"ticker_alone": _run(None, count, debug=False)}
    out["ticker_alone"]["debug"] = _run(None, count, debug=True)
    for name in names:
        out[name] = _run(name, count, debug=False)
        out[name]["debug"] = _run(name, count, debug=True)
    return out
