"""frame_wait="loop": the stream waits on the event loop and the producer wakes it. What only this
mode promises: no executor worker is ever held, no wake-up is lost, and a waiter whose loop has
closed does not trouble the producer. (Everything the two modes share runs in both, through the
``pipeline`` fixture.)"""

import asyncio
import random
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
from pipeline_harness import Frame, Gate, RecordingThread, collect, frames, until

SEED = 20261209


def refuse_the_executor(monkeypatch):
    """The running loop's run_in_executor, failing the test if anything calls it."""
    calls = []

    def refuse(executor, fn, *args):
        calls.append(fn)
        raise AssertionError(f"run_in_executor({fn!r}) in loop mode")

    monkeypatch.setattr(asyncio.get_running_loop(), "run_in_executor", refuse)
    return calls


@pytest.mark.asyncio
async def test_a_stream_its_cancellation_and_stop_use_no_executor(on_loop, monkeypatch):
    no_executor = refuse_the_executor(monkeypatch)
    gate = Gate()
    on_loop.patch_threading(RecordingThread)
    on_loop.render(frames(3), gate)
    t = on_loop.runtime()
    assert await collect(t.run()) == [Frame("a", i) for i in range(3)]
    await t.stop()

    got = []

    async def consume():
        async for frame in t.run():
            got.append(frame)

    task = asyncio.create_task(consume())
    gate.release()
    await until(lambda: got and t._frame_waiters, "a frame, then a wait")
    thread = t._thread
    task.cancel()  # stop then waits for a producer that is inside the renderer
    await until(lambda: t._frame_waiters, "stop to wait for the producer")
    gate.close()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert got == [Frame("a", 0)] and not thread.is_alive() and t._running is False
    assert thread.join_threads == [] and no_executor == []
    assert t._frame_waiters == []  # nobody left registered


@pytest.mark.asyncio
async def test_fifty_silent_runtimes_leave_the_executor_free(on_loop):
    gates = [Gate() for _ in range(50)]
    on_loop.render(*gates)
    runtimes = [on_loop.runtime() for _ in gates]
    streams = [asyncio.create_task(collect(t.run())) for t in runtimes]
    await until(lambda: all(t._frame_waiters for t in runtimes), "every stream to wait")
    executor = ThreadPoolExecutor(max_workers=1)  # one worker: a single held take would block it
    asyncio.get_running_loop().set_default_executor(executor)
    try:
        # Well inside the one second a held executor take would keep the only worker.
        assert await asyncio.wait_for(
            asyncio.get_running_loop().run_in_executor(None, threading.get_ident), 0.9
        )
    finally:
        for gate in gates:
            gate.close()  # each renderer ends: its stream takes the end marker
        assert await asyncio.gather(*streams) == [[]] * len(gates)
        executor.shutdown(wait=True)
    for t in runtimes:
        await t.stop()


@pytest.mark.asyncio
async def test_no_wake_up_is_lost_over_100000_frames(on_loop):
    """Random pauses on both sides, a one-item queue: the stream keeps finding it empty and the
    producer full. A lost wake-up would leave the stream to its one-second liveness check, the
    only place where a stream asks whether the producer lives."""
    count = 100_000
    rng = random.Random(SEED)
    producer_pauses = [rng.random() < 0.01 for _ in range(count)]
    consumer_pauses = [rng.random() < 0.01 for _ in range(count)]

    def script(call):
        for i in range(count):
            if producer_pauses[i]:
                threading.Event().wait(0.0002)  # GIL released, as a renderer would
            yield i

    on_loop.render(script)
    liveness_checks = []

    class Watched(RecordingThread):
        def is_alive(self):
            if threading.current_thread() is threading.main_thread():
                liveness_checks.append(self)
            return super().is_alive()

    on_loop.patch_threading(Watched)
    t = on_loop.runtime(output_buffer_size=1)
    expected = 0
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads switch often: every window between two steps is tried
    try:
        async for item in t.run():
            assert item == expected and liveness_checks == [], f"frame {expected}"
            expected += 1
            if consumer_pauses[item]:
                await asyncio.sleep(0.0002)
    finally:
        sys.setswitchinterval(interval)
    assert expected == count
    assert liveness_checks == []
    await t.stop()


@pytest.mark.asyncio
async def test_a_waiter_on_a_closed_loop_is_skipped(on_loop):
    gate = Gate()
    on_loop.render(gate)
    t = on_loop.runtime()
    await t.start()
    other = asyncio.new_event_loop()
    stale = other.create_future()  # a stream's wait on a loop that has closed since
    other.close()
    t._frame_waiters.append(stale)
    gate.release(3)  # the first put tries to wake it: call_soon_threadsafe raises RuntimeError
    await until(lambda: t._frame_queue.qsize() == 3, "three frames queued")
    assert t._frame_waiters == [] and not stale.done() and t._thread.is_alive()
    assert on_loop.log.texts("error") == []
    gate.close()
    await t.stop()
    assert on_loop.log.texts("error") == []


def test_waits_and_wake_ups_work_on_uvloop(on_loop):
    uvloop = pytest.importorskip("uvloop")
    gate = Gate()
    on_loop.render(frames(3), gate)
    t = on_loop.runtime()

    async def session():
        assert await collect(t.run()) == [Frame("a", i) for i in range(3)]
        await t.stop()
        waiting = asyncio.create_task(collect(t.run(), limit=2))
        await until(lambda: t._frame_waiters, "the stream to wait")
        gate.release(2)  # each put wakes it through call_soon_threadsafe
        assert await waiting == [Frame("a", 0), Frame("a", 1)]
        gate.close()
        await t.stop()

    # Without debug mode: uvloop's debug-mode stack capture crashes 3.12+ (see host_support).
    with asyncio.Runner(loop_factory=uvloop.new_event_loop, debug=False) as runner:
        runner.run(session())
    assert t._running is False and t._frame_waiters == []
