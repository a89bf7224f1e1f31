"""Nothing lost, nothing twice: every frame the renderer yields ends in exactly one known place.

One stream, or eight streams competing for one instance's queue, run to the renderer's end or
are interrupted by cancellation or by stop. The ledger (pipeline_harness) follows each frame by
index; bench/soak.py runs the same workloads with 100,000 frames.
"""

import asyncio
from concurrent.futures import ThreadPoolExecutor

import pytest
import pytest_asyncio
from pipeline_harness import (
    DRAINED,
    QUEUED,
    Ledger,
    LedgerFrames,
    our_frame_objects,
    producer_threads,
    settled,
)
from pipeline_workloads import accounted, competing_streams
from talvo.runtime_async import AsyncTalvo
from volume import scaled

FRAMES = scaled(5_000, 500)
STOP_AFTER = FRAMES * 2 // 5


@pytest_asyncio.fixture
async def wide_executor():
    # Each waiting stream holds a worker for up to 1 s; eight streams and the stops need more
    # than the default pool has on a small machine.
    executor = ThreadPoolExecutor(max_workers=12)
    asyncio.get_running_loop().set_default_executor(executor)
    yield
    executor.shutdown(wait=True)


@pytest.mark.asyncio
@pytest.mark.usefixtures("wide_executor")
@pytest.mark.parametrize("streams", [1, 8])
@pytest.mark.parametrize("frame_wait", ["executor", "loop"])
class TestEveryFrameAccountedFor:
    async def test_run_to_the_renderers_end_delivers_every_frame_once(self, streams, frame_wait):
        ledger = Ledger(FRAMES)
        fake = LedgerFrames(ledger, per_run=FRAMES)
        with fake.installed():
            runtime = AsyncTalvo(frame_wait=frame_wait)
            ledger.watch(runtime)
            outcome = await competing_streams(runtime, ledger, streams)
            counts = accounted(ledger, runtime, runs=1, interrupted_takes=0)
        # The stream that takes the end marker ends; the others find the producer gone.
        assert outcome.endings == {"ended": streams}
        assert counts["delivered"] == sum(outcome.delivered) == FRAMES
        if streams > 1 and frame_wait == "executor":
            # They really competed. Loop mode wakes every waiting stream and the first to run
            # takes the item, so when the renderer is slower than the streams (a sanitizer
            # build) one stream can take them all: served once each, but not in turn.
            assert all(outcome.delivered), outcome.delivered
        assert producer_threads() == [] and our_frame_objects() == []
        assert fake.alive() == 0

    @pytest.mark.parametrize("how", ["cancel", "stop"])
    async def test_interrupted_streams_lose_only_what_is_documented(self, streams, how, frame_wait):
        ledger = Ledger(FRAMES)
        fake = LedgerFrames(ledger)
        with fake.installed():
            runtime = AsyncTalvo(frame_wait=frame_wait)
            ledger.watch(runtime)
            outcome = await competing_streams(runtime, ledger, streams, stop_after=STOP_AFTER, how=how)
            # A take already running when its task is cancelled still takes an item, which is
            # never delivered: at most one per cancelled stream. Stopping without cancelling
            # leaves every take to deliver what it got. In loop mode nothing is ever taken
            # that is not delivered at once.
            interrupted = streams if how == "cancel" and frame_wait == "executor" else 0
            counts = accounted(ledger, runtime, runs=1, interrupted_takes=interrupted)
            expected_ending = "CancelledError" if how == "cancel" else "ended"
            assert outcome.endings == {expected_ending: streams}
            assert counts["delivered"] == sum(outcome.delivered) >= STOP_AFTER
            assert counts["dropped"] == 0  # streams were there to take the end marker
            assert await settled(lambda: fake.alive() == counts["queued"])

            # What the producer queued after stop's drain is the next start's to discard.
            leftovers = [i for i, state in enumerate(ledger.state) if state == QUEUED]
            await runtime.start()
            await runtime.stop()
            assert all(ledger.state[i] == DRAINED for i in leftovers)
            accounted(ledger, runtime, runs=2, interrupted_takes=interrupted)
        assert producer_threads() == [] and our_frame_objects() == []
        print(f"{streams} stream(s), {how}: {counts}")
