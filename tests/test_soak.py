"""Many cycles and many frames through one runtime: no thread, object or memory left behind.

A shorter run of bench/soak.py. Each test runs its own event loop with asyncio.run, so the
thread count must come back exactly to what it was before (the loop's executor included). The
loop runs without asyncio's debug mode even under -X dev: its per-callback tracebacks would
multiply the time and blur the allocation counts, and the rest of the suite runs in it anyway.
"""

import asyncio
import threading
from collections import Counter

from pipeline_harness import (
    Ledger,
    LedgerFrames,
    allocated_blocks,
    our_frame_objects,
    producer_threads,
    settled,
)
from pipeline_workloads import FLAVOURS, accounted, cycle, stream_frames
from talvo.runtime_async import AsyncTalvo
from volume import scaled

CYCLES = scaled(600, 30, multiple_of=len(FLAVOURS))
WARM_UP_CYCLES = scaled(300, 15)
FRAMES = scaled(20_000, 1_000)
WARM_UP_FRAMES = scaled(2_000, 100)
# Allowed growth of sys.getallocatedblocks() after warm-up. One object leaked per cycle or per
# 100 frames would exceed it. Measured: at most 0.22 per cycle (loguru's and threading's caches
# still settling; the growth does not scale with the cycles) and 0.002 per frame.
MAX_BLOCKS_PER_CYCLE = 0.5
MAX_BLOCKS_PER_FRAME = 0.01


def test_start_stop_cycles_leave_nothing_behind():
    threads_before = threading.active_count()
    ledger = Ledger(1_000_000)
    fake = LedgerFrames(ledger)
    flavours = Counter()

    async def main():
        runtime = AsyncTalvo()
        ledger.watch(runtime)
        for i in range(WARM_UP_CYCLES):
            await cycle(runtime, ledger, i)
        before = allocated_blocks()
        for i in range(CYCLES):
            flavours[await cycle(runtime, ledger, i)] += 1
            assert not runtime._running and runtime._thread is None
        growth = allocated_blocks() - before
        counts = accounted(
            ledger, runtime, runs=WARM_UP_CYCLES + CYCLES, interrupted_takes=WARM_UP_CYCLES + CYCLES
        )
        assert await settled(lambda: fake.alive() == counts["queued"])  # the rest are freed
        assert our_frame_objects() == []
        return growth

    with fake.installed():
        growth = asyncio.run(main(), debug=False)
    print(f"{CYCLES} cycles after {WARM_UP_CYCLES} warm-up: {growth:+d} allocated blocks")
    assert growth <= MAX_BLOCKS_PER_CYCLE * CYCLES, f"{growth} blocks over {CYCLES} cycles"
    assert flavours == {name: CYCLES // len(FLAVOURS) for name in FLAVOURS}
    assert producer_threads() == [] and threading.active_count() == threads_before
    assert our_frame_objects() == [] and fake.alive() == 0


def test_frames_through_run_are_delivered_once_and_freed():
    threads_before = threading.active_count()
    ledger = Ledger(WARM_UP_FRAMES + FRAMES + 100)
    fake = LedgerFrames(ledger)

    async def main():
        runtime = AsyncTalvo()
        ledger.watch(runtime)
        assert await stream_frames(runtime, ledger, WARM_UP_FRAMES) == WARM_UP_FRAMES
        before = allocated_blocks()
        assert await stream_frames(runtime, ledger, FRAMES) == FRAMES
        growth = allocated_blocks() - before
        counts = accounted(ledger, runtime, runs=2, interrupted_takes=0)
        assert counts["delivered"] == WARM_UP_FRAMES + FRAMES
        # Each stop drains what was queued and may find one more frame in the producer's hand.
        assert counts["drained"] <= 2 * (runtime._frame_queue.maxsize + 1)
        assert fake.alive() == counts["queued"]
        assert our_frame_objects() == []
        return growth

    with fake.installed():
        growth = asyncio.run(main(), debug=False)
    print(f"{FRAMES} frames after {WARM_UP_FRAMES} warm-up: {growth:+d} allocated blocks")
    assert growth <= MAX_BLOCKS_PER_FRAME * FRAMES, f"{growth} blocks over {FRAMES} frames"
    assert producer_threads() == [] and threading.active_count() == threads_before
    assert fake.alive() == 0
