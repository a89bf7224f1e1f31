"""The frame stream: what ends it, what it raises, cancellation, competing consumers, which
thread does the waiting. (The whole pipeline over the stand-in renderer is in test_end_to_end.)"""

import asyncio
import threading
import time
from unittest import mock

import pytest
import talvo.runtime_async as ra
from pipeline_harness import (
    Frame,
    Gate,
    Pipeline,
    RecordingThread,
    collect,
    frames,
    paced,
    raising,
    stream_waits,
    until,
)

NOT_ALIVE = "Frame producer thread is no longer alive, ending stream"


def record_stop(pipeline):
    """AsyncTalvo.stop wrapped: the calls are recorded, the real stop still runs."""
    calls = []
    real_stop = ra.AsyncTalvo.stop

    async def stop(runtime):
        calls.append(runtime)
        await real_stop(runtime)

    pipeline._start(mock.patch.object(ra.AsyncTalvo, "stop", stop))
    return calls


class TestEnding:
    @pytest.mark.asyncio
    async def test_frames_then_the_marker_end_it_and_the_runtime_stays_up(self, pipeline):
        pipeline.render(frames(3))
        stops = record_stop(pipeline)
        t = pipeline.runtime()
        assert await collect(t.run()) == [Frame("a", i) for i in range(3)]
        assert t._running is True and stops == []
        assert pipeline.log.texts("warning") == []
        await t.stop()

    @pytest.mark.asyncio
    async def test_the_producers_error_is_raised_as_the_same_object(self, pipeline):
        error = ValueError("renderer broke")
        pipeline.render(raising(error, after=1))
        stops = record_stop(pipeline)
        t = pipeline.runtime()
        stream = t.run()
        assert await stream.__anext__() == Frame("a", 0)
        with pytest.raises(ValueError) as raised:
            await stream.__anext__()
        assert raised.value is error and stops == []
        await t.stop()

    @pytest.mark.asyncio
    async def test_a_second_run_after_the_marker_ends_by_the_liveness_check(self, pipeline):
        pipeline.render(frames(2))
        t = pipeline.runtime()
        assert len(await collect(t.run())) == 2
        assert await collect(t.run()) == []
        assert pipeline.log.texts("warning") == [NOT_ALIVE]
        assert t._running is True
        await t.stop()

    @pytest.mark.asyncio
    async def test_an_error_queued_as_the_take_times_out_is_still_raised(self, pipeline):
        # The take gives up just as the producer puts its error and its marker and exits: the
        # liveness test then finds it dead, but what it left is this stream's end, not leftovers.
        import queue

        error = ValueError("renderer broke")
        pipeline.render(raising(error))
        t = pipeline.runtime()

        class LateQueue(queue.Queue):
            first = True

            def get(self, block=True, timeout=None):
                if self.first and timeout is not None:
                    self.first = False
                    t._thread.join()
                    raise queue.Empty
                return super().get(block, timeout)

        t._frame_queue = LateQueue(6)
        with pytest.raises(ValueError) as raised:
            await collect(t.run())
        assert raised.value is error
        assert pipeline.log.texts("warning") == []
        await t.stop()

    @pytest.mark.asyncio
    async def test_empty_takes_are_retried_while_the_producer_lives(self, pipeline):
        gate = Gate()
        pipeline.render(gate)
        t = pipeline.runtime()
        stream = t.run()
        first = asyncio.ensure_future(stream.__anext__())
        began = time.perf_counter()
        await until(lambda: time.perf_counter() - began > 1.3, "a take to time out")
        assert not first.done()
        gate.release()
        assert await first == Frame("a", 0)
        assert pipeline.log.texts("warning") == []
        await stream.aclose()
        gate.close()
        await t.stop()

    @pytest.mark.asyncio
    async def test_start_gets_the_arguments_by_keyword_and_its_errors_pass(self, pipeline):
        calls = []

        async def start(runtime, *args, **kwargs):
            calls.append((args, kwargs))
            raise asyncio.CancelledError("start was cancelled")

        stops = record_stop(pipeline)
        pipeline._start(mock.patch.object(ra.AsyncTalvo, "start", start))
        t = pipeline.runtime()
        loop = asyncio.get_running_loop()

        def out_buffer_empty():
            return True

        with pytest.raises(asyncio.CancelledError):
            await collect(t.run(out_buffer_empty, idle_timeout=2.0, loop=loop))
        assert calls == [((), {"out_buffer_empty": out_buffer_empty, "idle_timeout": 2.0, "loop": loop})]
        assert stops == []  # a cancellation raised by start is not the stream's to handle


class TestCancellation:
    @pytest.mark.asyncio
    async def test_stop_completes_before_the_same_cancellation_leaves(self, pipeline):
        pipeline.render(paced(0.01))
        t = pipeline.runtime()
        got, seen = [], []

        async def consume():
            try:
                async for frame in t.run():
                    got.append(frame)
            except asyncio.CancelledError as cancelled:
                seen.append((cancelled.args, t._running, t._thread))
                raise

        task = asyncio.create_task(consume())
        await until(lambda: len(got) >= 2, "frames")
        task.cancel("client left")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert seen == [(("client left",), False, None)]
        assert "Stop event set, waiting for frame producer thread to finish" in pipeline.log.texts("debug")

    @pytest.mark.asyncio
    async def test_a_cancelled_wait_takes_nothing_from_the_next_run(self, pipeline):
        pipeline.render(frames(2, "a"), paced(0.005, "b", count=3))
        t = pipeline.runtime(recording=True)
        assert len(await collect(t.run())) == 2
        await until(lambda: not t._thread.is_alive(), "the producer to end")
        t._frame_queue.get_threads.clear()
        waiting = asyncio.create_task(collect(t.run()))  # nothing will come: it just waits
        await until(lambda: stream_waits(t), "the stream to wait for an item")
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        assert await collect(t.run()) == [Frame("b", i) for i in range(3)]
        await t.stop()

    @pytest.mark.asyncio
    async def test_a_second_cancellation_during_stop_still_lets_go_of_the_take(self):
        # The first cancellation's stop waits for a producer deaf inside its renderer; a second
        # one ends that wait. The take that was waiting must not outlive the stream: it would
        # take the next run's first item, or time out unheard ("Future exception was never
        # retrieved"). (Loop mode has no take to let go of.)
        class HeldJoin(RecordingThread):
            released = threading.Event()

            def join_timeout(self, timeout):
                self.released.wait(10)
                return 0

        p = Pipeline("executor")
        try:
            p.patch_threading(HeldJoin)
            gate = Gate()
            p.render(gate, frames(3, "b"))
            t = p.runtime(recording=True)
            reports = []
            asyncio.get_running_loop().set_exception_handler(lambda loop, c: reports.append(c))
            task = asyncio.create_task(collect(t.run()))
            await until(lambda: stream_waits(t), "the stream to wait in a take")
            deaf = t._thread
            task.cancel()
            await until(deaf.joining.is_set, "the stream's stop to wait for the producer")
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            HeldJoin.released.set()
            await t.stop()  # gives the deaf producer up: it will put nothing more
            gate.close()
            assert await collect(t.run()) == [Frame("b", i) for i in range(3)]
            await t.stop()
            assert reports == []
        finally:
            HeldJoin.released.set()
            p.close()

    @pytest.mark.asyncio
    async def test_closing_the_stream_early_is_not_cancellation(self, pipeline):
        pipeline.render(paced(0.01))
        stops = record_stop(pipeline)
        t = pipeline.runtime()
        stream = t.run()
        assert (await stream.__anext__()).index == 0
        await stream.aclose()
        assert stops == [] and t._running is True
        await t.stop()


class TestCompetingStreams:
    @pytest.mark.asyncio
    async def test_each_frame_reaches_exactly_one_stream(self, pipeline):
        pipeline.render(frames(40))
        t = pipeline.runtime(output_buffer_size=2)
        first, second = await asyncio.gather(collect(t.run()), collect(t.run()))
        assert len(first) + len(second) == 40
        assert sorted(first + second) == [Frame("a", i) for i in range(40)]
        for stream in (first, second):
            assert stream == sorted(stream)
        assert pipeline.log.texts("warning") == [NOT_ALIVE]  # the one that missed the marker
        await t.stop()


@pytest.mark.asyncio
async def test_every_wait_runs_off_the_event_loop_thread(pipeline):
    pipeline.patch_threading(RecordingThread)
    renderer = pipeline.render(paced(0.005))
    t = pipeline.runtime(recording=True, output_buffer_size=2)
    loop_thread = threading.get_ident()
    assert len(await collect(t.run(), limit=5)) == 5
    await until(lambda: t._frame_queue.full(), "back-pressure")
    thread = t._thread
    await t.stop()
    q = t._frame_queue
    assert renderer.threads == {thread.ident}
    assert q.put_threads == {thread.ident}
    if pipeline.on_loop:  # never a blocking take or join, on any thread
        assert q.get_threads == set() and thread.join_threads == []
    else:
        assert q.get_threads and loop_thread not in q.get_threads
        assert thread.join_threads and loop_thread not in thread.join_threads
