"""Faults injected into the pipeline: a failing, interrupted or hanging renderer, cancellation at
random points, and an application that forgets to stop. In every case nothing hangs or crashes,
the documented error reaches the application, no producer thread outlives the final stop, and
the runtime starts and stops again afterwards.
"""

import asyncio
import os
import random
import subprocess
import sys
import threading
import time
from pathlib import Path
from unittest import mock

import pytest
import talvo
from pipeline_harness import (
    HELD,
    Ledger,
    LedgerFrames,
    our_frame_objects,
    producer_threads,
    settled,
    wait_until,
)
from pipeline_workloads import accounted
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo
from volume import scaled

SEED = int(os.environ.get("TALVO_FAULT_SEED", random.SystemRandom().randrange(2**32)))
CANCELLATIONS = scaled(1_000, 100)
JOIN_TIMEOUT = 5.0


def lines(records):
    """(level, message) of each record the ``records`` fixture caught."""
    return [(r["level"].name, r["message"]) for r in records]


@pytest.fixture(autouse=True)
def no_producer_left():
    yield
    wait_until(lambda: not producer_threads(), timeout=JOIN_TIMEOUT + 2, what="producer threads to end")


def failing_at(frame: int, error: BaseException, runs=(1,)):
    """A behaviour whose runs in ``runs`` raise ``error`` before their frame number ``frame``."""

    def behaviour(run):
        def step(n):
            if n == frame:
                raise error

        return step if run in runs else None

    return behaviour


async def deliver_all(runtime, ledger, **kwargs) -> int:
    n = 0
    async for frame in runtime.run(**kwargs):
        ledger.delivered(frame)
        n += 1
    return n


async def starts_again(runtime, ledger, fake) -> None:
    """A later run on the same instance delivers a whole iteration and stops cleanly."""
    assert fake.per_run is not None
    assert await deliver_all(runtime, ledger) == fake.per_run
    await runtime.stop()
    assert not runtime._running and runtime._thread is None


RANDOM_FRAMES = random.Random(SEED).sample(range(1, 50), 3)


@pytest.mark.asyncio
class TestRendererErrors:
    @pytest.mark.parametrize("frame", [0, *RANDOM_FRAMES], ids=lambda n: f"before-frame-{n}")
    @pytest.mark.parametrize("error_type", [ValueError, RuntimeError, OSError])
    async def test_error_mid_stream_reaches_the_application_after_every_earlier_frame(
        self, frame, error_type, records
    ):
        print(f"seed {SEED}")
        error = error_type(f"renderer broke before frame {frame}")
        ledger = Ledger(200)
        fake = LedgerFrames(ledger, per_run=60, behaviour=failing_at(frame, error))
        with fake.installed():
            runtime = AsyncTalvo()
            ledger.watch(runtime)
            with pytest.raises(error_type) as raised:
                await deliver_all(runtime, ledger)
            assert raised.value is error  # the very object, not a copy or a wrapper
            await runtime.stop()
            counts = accounted(ledger, runtime, runs=1, interrupted_takes=0)
            assert counts["delivered"] == frame and counts["drained"] == 0
            assert ("ERROR", f"Exception in frame producer: {error}") in lines(records)
            await starts_again(runtime, ledger, fake)

    @pytest.mark.parametrize("error_type", [ValueError, RuntimeError])
    async def test_base_run_failing_before_any_iteration(self, error_type, records):
        error = error_type("no iteration today")
        runtime = AsyncTalvo()
        with mock.patch.object(Talvo, "run", side_effect=error), pytest.raises(error_type) as raised:
            async for _ in runtime.run():
                pytest.fail("no frame can come")
        assert raised.value is error
        await runtime.stop()
        initializing = ("ERROR", f"Error initializing frame iterator in run(): {error}")
        assert (initializing in lines(records)) == (error_type is not RuntimeError)
        ledger = Ledger(10)
        fake = LedgerFrames(ledger, per_run=4)
        with fake.installed():
            ledger.watch(runtime)
            await starts_again(runtime, ledger, fake)

    async def test_error_while_the_queue_is_full_and_nobody_consumes(self):
        # The error item's put waits without watching the stop event; stop's drain frees it.
        error = ValueError("broke with a full queue")
        ledger = Ledger(100)
        fake = LedgerFrames(ledger, per_run=20, behaviour=failing_at(6, error))
        with fake.installed():
            runtime = AsyncTalvo(output_buffer_size=6)
            ledger.watch(runtime)
            await runtime.start()
            await asyncio.to_thread(wait_until, lambda: runtime._frame_queue.full(), what="full queue")
            thread = runtime._thread
            await runtime.stop()
            assert not thread.is_alive()
            # What the producer put after stop's drain (the error, the end marker) is left for
            # the next start to discard.
            assert error in list(runtime._frame_queue.queue)
            accounted(ledger, runtime, runs=1, interrupted_takes=0)
            await starts_again(runtime, ledger, fake)


@pytest.mark.asyncio
class TestInterruptsOnTheProducerThread:
    @pytest.mark.parametrize("error_type", [KeyboardInterrupt, SystemExit])
    async def test_interrupt_ends_the_stream_and_leaves_the_thread(self, error_type, monkeypatch, records):
        seen = []
        monkeypatch.setattr(
            threading, "excepthook", lambda args: seen.append((args.exc_value, args.thread.name))
        )
        error = error_type("interrupt in the renderer")
        ledger = Ledger(100)
        fake = LedgerFrames(ledger, per_run=10, behaviour=failing_at(3, error))
        with fake.installed():
            runtime = AsyncTalvo()
            ledger.watch(runtime)
            # No error item: the stream ends at the end marker after the three frames.
            assert await deliver_all(runtime, ledger) == 3
            await asyncio.to_thread(wait_until, lambda: seen, what="the thread's excepthook")
            assert seen == [(error, "talvo-frame-producer")]
            assert not any("no longer alive" in message for _, message in lines(records))
            assert not any(level == "ERROR" for level, _ in lines(records))
            await runtime.stop()
            accounted(ledger, runtime, runs=1, interrupted_takes=0)
            await starts_again(runtime, ledger, fake)


def hang_in(runs):
    """Runs in ``runs`` block before their third frame until their event is set."""
    released = {run: threading.Event() for run in runs}

    def behaviour(run):
        if run not in released:
            return None

        def step(n):
            if n == 2:
                assert released[run].wait(timeout=60), "never released"

        return step

    return behaviour, released


@pytest.mark.asyncio
class TestHangingRenderer:
    async def test_producer_hung_past_the_join_is_abandoned_and_puts_nothing_more(self, records):
        # Two runtimes on one loop, so the two ways of stopping share one 5 s wait: the stream's
        # task is cancelled, or the application awaits stop while the stream iterates.
        behaviour, released = hang_in(runs=(1, 2))
        ledger = Ledger(200)
        fake = LedgerFrames(ledger, per_run=5, behaviour=behaviour)
        try:
            with fake.installed():
                await self.abandon_and_restart(ledger, fake, released, records)
        finally:
            for event in released.values():
                event.set()

    async def abandon_and_restart(self, ledger, fake, released, records):
        cancelled_rt, stopped_rt = AsyncTalvo(), AsyncTalvo()
        two_frames = {cancelled_rt: asyncio.Event(), stopped_rt: asyncio.Event()}

        async def consume(runtime):
            n = 0
            async for frame in runtime.run():
                ledger.delivered(frame)
                n += 1
                if n == 2:  # the renderer now hangs before its third frame
                    two_frames[runtime].set()  # no suspension: the stream waits next

        tasks = {}
        for runtime in (cancelled_rt, stopped_rt):  # in this order, so they get runs 1 and 2
            ledger.watch(runtime)
            tasks[runtime] = asyncio.create_task(consume(runtime))
            await two_frames[runtime].wait()
        hung = [cancelled_rt._thread, stopped_rt._thread]

        t0 = time.monotonic()
        tasks[cancelled_rt].cancel()
        await asyncio.gather(stopped_rt.stop(), asyncio.wait([tasks[cancelled_rt]]))
        assert time.monotonic() - t0 >= JOIN_TIMEOUT
        assert tasks[cancelled_rt].cancelled()
        await tasks[stopped_rt]  # ends once it finds the producer gone
        warning = ("WARNING", "Frame producer thread did not exit within 5s timeout")
        assert lines(records).count(warning) == 2
        not_alive = ("WARNING", "Frame producer thread is no longer alive, ending stream")
        assert not_alive in lines(records)
        for runtime in (cancelled_rt, stopped_rt):
            assert not runtime._running and runtime._thread is None

        # A new run starts beside the abandoned threads; released, they stop at their next check
        # and put nothing into the new run's queue.
        assert all(t.is_alive() for t in hung)
        puts_before = [ledger.puts_by_thread[t.ident] for t in hung]
        await cancelled_rt.start()
        for event in released.values():
            event.set()
        await asyncio.to_thread(
            wait_until, lambda: not any(t.is_alive() for t in hung), what="the abandoned producers to end"
        )
        assert [ledger.puts_by_thread[t.ident] for t in hung] == puts_before
        # The frame each released renderer yielded was never queued.
        assert all(ledger.state[fake.last_index_by_thread[t.ident]] == HELD for t in hung)
        await cancelled_rt.stop()
        for runtime in (cancelled_rt, stopped_rt):
            await starts_again(runtime, ledger, fake)


async def cancel_once(runtime, ledger, rng, point: str) -> None:
    """One stream, its task cancelled at ``point``; then the final stop."""
    wanted = rng.randrange(0, 8)
    got = asyncio.Event()

    async def consume():
        n = 0
        async for frame in runtime.run():
            ledger.delivered(frame)
            n += 1
            if n >= wanted:
                got.set()

    task = asyncio.create_task(consume())
    if point == "after-delay":
        await asyncio.sleep(rng.uniform(0, 0.003))
    elif point != "before-start":
        await got.wait()
    task.cancel()
    if point == "twice":  # the second one lands in the stop of the first
        await asyncio.sleep(rng.uniform(0, 0.002))
        task.cancel()
    await asyncio.wait([task], timeout=JOIN_TIMEOUT + 2)
    assert task.cancelled()
    await runtime.stop()  # completes whatever an interrupted stop left undone


@pytest.mark.asyncio
class TestRandomCancellation:
    @pytest.mark.parametrize("frame_wait", ["executor", "loop"])
    async def test_a_thousand_cancellations_at_random_points(self, frame_wait):
        print(f"seed {SEED} (set TALVO_FAULT_SEED to repeat)")
        rng = random.Random(SEED)
        ledger = Ledger(CANCELLATIONS * 64)
        fake = LedgerFrames(ledger)
        points = dict.fromkeys(("before-start", "after-frames", "after-delay", "twice"), 0)
        with fake.installed():
            runtime = AsyncTalvo(frame_wait=frame_wait)
            ledger.watch(runtime)
            for i in range(CANCELLATIONS):
                point = rng.choice(list(points))
                points[point] += 1
                where = f"seed {SEED}, round {i} ({point})"
                await cancel_once(runtime, ledger, rng, point)
                assert not runtime._running and runtime._thread is None, where
                assert producer_threads() == [], where
            # A cancelled executor take may still take one item; a loop-mode stream never takes
            # one it does not deliver.
            interrupted = CANCELLATIONS if frame_wait == "executor" else 0
            counts = accounted(ledger, runtime, runs=CANCELLATIONS, interrupted_takes=interrupted)
            assert await settled(lambda: fake.alive() == counts["queued"])
            assert our_frame_objects() == []
            assert all(points.values()), points
            print(f"{points}; frames: { {k: v for k, v in counts.items() if v and k != 'new'} }")
            fake.per_run = 5
            await starts_again(runtime, ledger, fake)


# The application's event loop ends while the runtime still runs: the process must exit cleanly,
# whatever the daemon producer is doing at that moment.
FORGOTTEN_STOP = r"""
import asyncio, sys, threading
from talvo.runtime_async import AsyncTalvo
from pipeline_harness import Ledger, LedgerFrames

scenario = sys.argv[1]
hang = threading.Event()

async def main():
    if scenario == "stand-in renderer":
        from talvo.engine.video_reader import pack_demo_model
        pack_demo_model(sys.argv[2])
        runtime = await AsyncTalvo.create(model_path=sys.argv[2])
        await runtime.load_data_async()
    else:
        runtime = AsyncTalvo()
    if scenario == "started, never read":
        await runtime.start()
        while not runtime._frame_queue.full():
            await asyncio.sleep(0.01)
    elif scenario == "task left iterating":
        async def consume():
            async for _ in runtime.run():
                pass
        asyncio.create_task(consume())
        await asyncio.sleep(0.1)
    else:
        n = 0
        async for _ in runtime.run():
            n += 1
            if n == 3:
                break
    return runtime

def behaviour(run):
    if scenario == "renderer hung":
        return lambda n: hang.wait() if n == 4 else None

with LedgerFrames(Ledger(10**6), behaviour=behaviour).installed():
    runtime = asyncio.run(main())
thread = runtime._thread
print("loop closed; producer alive:", thread is not None and thread.is_alive(), flush=True)
"""


class TestForgottenStop:
    @pytest.mark.parametrize(
        "scenario",
        [
            "started, never read",
            "stream broken off",
            "task left iterating",
            "renderer hung",
            "stand-in renderer",
        ],
    )
    def test_process_exits_cleanly(self, scenario, tmp_path):
        package_root = Path(talvo.__file__).resolve().parent.parent
        here = Path(__file__).resolve().parent
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(package_root), str(here), *filter(None, [env.get("PYTHONPATH")])]
        )
        result = subprocess.run(
            [sys.executable, "-X", "dev", "-c", FORGOTTEN_STOP, scenario, str(tmp_path / "m.imx")],
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
            check=False,
        )
        assert result.returncode == 0, result.stderr
        # Cancelled by asyncio.run, the iterating task stops the runtime itself.
        expected_alive = scenario != "task left iterating"
        assert f"producer alive: {expected_alive}" in result.stdout
        for bad in ("Fatal", "Traceback", "Exception ignored", "terminate called"):
            assert bad not in result.stderr, result.stderr
