"""Long soak of the frame pipeline: start/stop cycles and frames through run, with figures.

Run: PYTHONPATH=python python bench/soak.py [--cycles 10000] [--frames 1000000]
     [--accounting-frames 100000]

A fake free-running renderer replaces Talvo.run, so the pipeline itself is what is measured.
Every frame is followed through the queue (tests/pipeline_harness.py): the script fails if one
is delivered twice or ends anywhere but its documented places. tests/test_soak.py and
tests/test_delivery.py run the same workloads at a smaller size.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import threading
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from loguru import logger
from talvo.runtime_async import AsyncTalvo

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from pipeline_harness import (
    Ledger,
    LedgerFrames,
    allocated_blocks,
    our_frame_objects,
    producer_threads,
    settled,
)
from pipeline_workloads import accounted, competing_streams, cycle, stream_frames

log_levels: Counter[str] = Counter()


def report(title: str, **figures: object) -> None:
    print(f"{title}: " + ", ".join(f"{k}={v}" for k, v in figures.items()), flush=True)


async def soak_cycles(cycles: int, warm_up: int) -> None:
    ledger = Ledger(cycles * 16 + warm_up * 16)
    fake = LedgerFrames(ledger)
    with fake.installed():
        runtime = AsyncTalvo()
        ledger.watch(runtime)
        for i in range(warm_up):
            await cycle(runtime, ledger, i)
        before = allocated_blocks()
        t0 = time.perf_counter()
        for i in range(cycles):
            await cycle(runtime, ledger, i)
        elapsed = time.perf_counter() - t0
        growth = allocated_blocks() - before
        counts = accounted(ledger, runtime, runs=warm_up + cycles, interrupted_takes=warm_up + cycles)
        assert await settled(lambda: fake.alive() == counts["queued"])
        objects = len(our_frame_objects())
    report(
        "cycles",
        cycles=cycles,
        warm_up=warm_up,
        seconds=f"{elapsed:.1f}",
        per_cycle_ms=f"{elapsed / cycles * 1e3:.2f}",
        block_growth=growth,
        blocks_per_cycle=f"{growth / cycles:.4f}",
        objects_left=objects,
        frames_alive=fake.alive(),
        **{k: v for k, v in counts.items() if v and k != "new"},
    )


async def soak_frames(frames: int, warm_up: int) -> None:
    ledger = Ledger(frames + warm_up + 64)
    fake = LedgerFrames(ledger)
    with fake.installed():
        runtime = AsyncTalvo()
        ledger.watch(runtime)
        assert await stream_frames(runtime, ledger, warm_up) == warm_up
        before = allocated_blocks()
        t0 = time.perf_counter()
        assert await stream_frames(runtime, ledger, frames) == frames
        elapsed = time.perf_counter() - t0
        growth = allocated_blocks() - before
        counts = accounted(ledger, runtime, runs=2, interrupted_takes=0)
        assert counts["delivered"] == frames + warm_up
        objects = len(our_frame_objects())
    report(
        "frames",
        frames=frames,
        warm_up=warm_up,
        seconds=f"{elapsed:.1f}",
        fps=f"{frames / elapsed:.0f}",
        block_growth=growth,
        blocks_per_frame=f"{growth / frames:.6f}",
        objects_left=objects,
        frames_alive=fake.alive(),
        **{k: v for k, v in counts.items() if v and k != "new"},
    )


async def accounting(frames: int, streams: int, how: str | None) -> None:
    asyncio.get_running_loop().set_default_executor(ThreadPoolExecutor(max_workers=streams + 4))
    ledger = Ledger(frames)
    fake = LedgerFrames(ledger, per_run=None if how else frames)
    with fake.installed():
        runtime = AsyncTalvo()
        ledger.watch(runtime)
        t0 = time.perf_counter()
        outcome = await competing_streams(
            runtime, ledger, streams, stop_after=frames // 2 if how else None, how=how or ""
        )
        elapsed = time.perf_counter() - t0
        interrupted = streams if how == "cancel" else 0
        counts = accounted(ledger, runtime, runs=1, interrupted_takes=interrupted)
        if how is None:
            assert counts["delivered"] == frames
    report(
        f"accounting {streams} stream(s), {how or 'to the end'}",
        seconds=f"{elapsed:.1f}",
        rendered=ledger.rendered(),
        endings=dict(outcome.endings),
        **{k: v for k, v in counts.items() if v and k != "new"},
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cycles", type=int, default=10_000)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--accounting-frames", type=int, default=100_000)
    args = parser.parse_args()

    logger.remove()  # every line is still formatted into a record and counted
    logger.add(lambda message: log_levels.update([message.record["level"].name]), level="DEBUG")
    threads_before = threading.active_count()
    started = time.perf_counter()
    asyncio.run(soak_cycles(args.cycles, warm_up=max(300, args.cycles // 10)))
    asyncio.run(soak_frames(args.frames, warm_up=max(2_000, args.frames // 20)))
    for streams in (1, 8):
        for how in (None, "cancel", "stop"):
            asyncio.run(accounting(args.accounting_frames, streams, how))
    assert producer_threads() == [], producer_threads()
    report(
        "process",
        threads_before=threads_before,
        threads_after=threading.active_count(),
        seconds=f"{time.perf_counter() - started:.0f}",
        log_lines=dict(log_levels),
    )


if __name__ == "__main__":
    main()
