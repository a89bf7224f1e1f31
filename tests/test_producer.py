"""The frame producer: what it puts on the frame queue, in which order, what it logs, and how it
behaves under back-pressure, stop requests and abandonment."""

import queue
import threading
import time

import pytest
import talvo.runtime_async as ra
from pipeline_harness import (
    DEADLINE,
    Frame,
    Gate,
    QuickJoinThread,
    collect,
    failing,
    frames,
    items,
    raising,
    returning,
    until,
    wait_until,
)

END = ra._STREAM_END
UNTOUCHED = "untouched"


def untouched_statistics(runtime):
    runtime._producer_frame_count = UNTOUCHED
    runtime._producer_gen_time = UNTOUCHED


def statistics(runtime):
    return runtime._producer_frame_count, runtime._producer_gen_time


class TestItemProtocol:
    def test_frames_then_the_end_marker_when_called_directly(self, pipeline):
        pipeline.render(frames(3))
        t = pipeline.runtime()
        assert t._frame_producer() is None
        assert items(t._frame_queue) == [Frame("a", 0), Frame("a", 1), Frame("a", 2), END]
        assert t._producer_frame_count == 3
        assert isinstance(t._producer_gen_time, float) and t._producer_gen_time >= 0
        assert pipeline.log.lines == [("debug", "Frame iterator completed")]

    def test_an_error_during_iteration_is_queued_as_itself_before_the_marker(self, pipeline):
        error = ValueError("renderer broke")
        pipeline.render(raising(error, after=2))
        t = pipeline.runtime()
        t._frame_producer()
        queued = items(t._frame_queue)
        assert queued[:2] == [Frame("a", 0), Frame("a", 1)]
        assert queued[2] is error and queued[3] is END and len(queued) == 4
        assert pipeline.log.lines == [("error", "Exception in frame producer: renderer broke")]

    @pytest.mark.parametrize("given", [None, 0, ""], ids=["none", "zero", "empty-str"])
    def test_a_falsy_callback_means_the_queue_is_empty_check(self, pipeline, given):
        renderer = pipeline.render(frames(0))
        t = pipeline.runtime()
        t._frame_producer(given, idle_timeout=1.5)
        assert renderer.calls[0].callback == t._frame_queue.empty
        assert renderer.calls[0].idle_timeout == 1.5

    def test_a_given_callback_reaches_the_renderer_as_it_is(self, pipeline):
        renderer = pipeline.render(frames(0))
        t = pipeline.runtime()

        def out_buffer_empty():
            return True

        t._frame_producer(out_buffer_empty)
        assert renderer.calls[0].callback is out_buffer_empty
        assert renderer.calls[0].runtime is t and renderer.calls[0].idle_timeout is None


class TestIterationStart:
    @pytest.mark.parametrize(
        "error, lines",
        [
            (RuntimeError("no model loaded"), [("error", "Exception in frame producer: no model loaded")]),
            (
                ValueError("bad idle timeout"),
                [
                    ("error", "Error initializing frame iterator in run(): bad idle timeout"),
                    ("error", "Exception in frame producer: bad idle timeout"),
                ],
            ),
        ],
        ids=["runtime-error", "other-error"],
    )
    def test_run_failing_logs_and_queues_the_error(self, pipeline, error, lines):
        pipeline.render(failing(error))
        t = pipeline.runtime()
        untouched_statistics(t)
        t._frame_producer()
        assert pipeline.log.lines == lines
        queued = items(t._frame_queue)
        assert queued[0] is error and queued[1] is END and len(queued) == 2
        assert statistics(t) == (UNTOUCHED, UNTOUCHED)

    @pytest.mark.parametrize("result", [None, []], ids=["none", "empty-list"])
    def test_a_falsy_iteration_ends_the_stream_with_an_error_line(self, pipeline, result):
        pipeline.render(returning(result))
        t = pipeline.runtime()
        untouched_statistics(t)
        t._frame_producer()
        assert pipeline.log.lines == [("error", "Frame iterator is None")]
        assert items(t._frame_queue) == [END]
        assert statistics(t) == (UNTOUCHED, UNTOUCHED)


class FailingPuts(queue.Queue):
    """A frame queue whose puts of some items fail with `error`."""

    def __init__(self, maxsize, refuses, error):
        super().__init__(maxsize)
        self.refuses, self.error = refuses, error

    def put(self, item, block=True, timeout=None):
        if self.refuses(item):
            raise self.error
        super().put(item, block, timeout)


class TestFailingPuts:
    def test_an_error_that_cannot_be_queued_is_logged_and_the_marker_still_follows(self, pipeline):
        pipeline.render(raising(ValueError("broke")))
        t = pipeline.runtime()
        t._frame_queue = FailingPuts(6, lambda item: isinstance(item, Exception), OSError("queue closed"))
        t._frame_producer()
        assert pipeline.log.lines == [
            ("error", "Exception in frame producer: broke"),
            ("error", "Error putting exception in frame queue: queue closed"),
        ]
        assert items(t._frame_queue) == [END]

    def test_a_marker_that_cannot_be_queued_is_given_up_silently(self, pipeline):
        pipeline.render(frames(1))
        t = pipeline.runtime()
        t._frame_queue = FailingPuts(6, lambda item: item is END, OSError("queue closed"))
        t._frame_producer()
        assert items(t._frame_queue) == [Frame("a", 0)]
        assert pipeline.log.lines == [("debug", "Frame iterator completed")]


class TestEndMarkerOnAFullQueue:
    def test_the_oldest_frame_makes_room_for_the_marker(self, pipeline):
        pipeline.render(frames(2))
        t = pipeline.runtime(output_buffer_size=2)
        t._frame_producer()  # nobody consumes: the marker has to make room itself
        assert items(t._frame_queue) == [Frame("a", 1), END]

    @pytest.mark.parametrize(
        "size, after, expected",
        [
            (1, 0, ["error"]),  # the error is the oldest: it stays, the marker gives up
            (2, 1, ["error", END]),  # an older frame makes room instead
        ],
        ids=["error-oldest", "frame-oldest"],
    )
    def test_this_runs_error_is_never_dropped_for_the_marker(self, pipeline, size, after, expected):
        error = ValueError("lost?")
        pipeline.render(raising(error, after=after))
        t = pipeline.runtime(output_buffer_size=size)
        t._frame_producer()
        queued = items(t._frame_queue)
        assert ["error" if item is error else item for item in queued] == expected

    @pytest.mark.asyncio
    async def test_the_stream_then_raises_that_error(self, pipeline):
        error = ValueError("still here")
        pipeline.render(raising(error))
        t = pipeline.runtime(output_buffer_size=1)
        await t.start()
        await until(lambda: not t._thread.is_alive(), "the producer to give up on the marker")
        with pytest.raises(ValueError) as raised:
            await collect(t.run())
        assert raised.value is error
        await t.stop()


class TestBackPressure:
    @pytest.mark.asyncio
    async def test_waiting_for_room_is_not_generation_time(self, pipeline):
        pipeline.render(frames(3))
        t = pipeline.runtime(recording=True, output_buffer_size=1)
        q = t._frame_queue
        began = time.perf_counter()
        await t.start()
        for taken in range(3):
            # the next frame (or, at the end, the marker) is waiting for room
            counted = lambda: getattr(t, "_producer_frame_count", 0)  # noqa: E731 (set once it runs)
            await until(lambda: counted() == min(taken + 2, 3) and q.full(), "a wait")
            await until(lambda: time.perf_counter() - began > 0.3 * (taken + 1), "time to pass")
            assert q.get_nowait() == Frame("a", taken)
        await until(lambda: not t._thread.is_alive(), "the producer to end")
        assert q.get_nowait() is END
        assert time.perf_counter() - began >= 0.6  # the frames' loop alone took that long
        assert t._producer_gen_time < 0.2
        await t.stop()

    @pytest.mark.asyncio
    async def test_a_stop_while_waiting_drops_the_counted_frame(self, pipeline):
        renderer = pipeline.render(frames(5))
        t = pipeline.runtime(recording=True, output_buffer_size=1)
        await t.start()
        await until(lambda: getattr(t, "_producer_frame_count", 0) == 2, "frame 1 to wait")
        waiting_since = time.perf_counter()
        await until(lambda: time.perf_counter() - waiting_since > 0.6, "a long wait")
        t._stop_event.set()
        await until(lambda: not t._thread.is_alive(), "the producer to leave")
        assert t._producer_frame_count == 2  # the abandoned frame was counted...
        assert Frame("a", 1) not in t._frame_queue.accepted  # ...but never queued
        assert renderer.pulled == 2  # and the iteration was not advanced
        assert t._producer_gen_time < 0.3  # the wait is back-pressure, not generation
        assert "Stop event set, stopping frame producer" not in pipeline.log.texts("debug")
        assert "Frame iterator completed" in pipeline.log.texts("debug")
        await t.stop()

    @pytest.mark.asyncio
    async def test_a_stop_while_rendering_drops_the_frame_uncounted(self, pipeline):
        gate = Gate()
        renderer = pipeline.render(gate)
        t = pipeline.runtime(recording=True)
        await t.start()
        gate.release()
        await until(lambda: t._frame_queue.accepted == [Frame("a", 0)], "frame 0")
        await until(gate.computing.is_set, "the renderer to compute frame 1")
        t._stop_event.set()
        gate.release()
        await until(lambda: not t._thread.is_alive(), "the producer to leave")
        assert t._producer_frame_count == 1
        assert t._frame_queue.accepted == [Frame("a", 0), END]
        assert renderer.pulled == 2
        assert pipeline.log.texts("debug")[-2:] == [
            "Stop event set, stopping frame producer",
            "Frame iterator completed",
        ]
        await t.stop()


def blocked_until(release, then):
    """A script that ignores stop requests inside the renderer until `release` is set."""

    def script(call):
        if then == "start":
            release.wait(DEADLINE)
            return (Frame("old", i) for i in range(3))
        return _blocked_frames(release, then)

    return script


def _blocked_frames(release, then):
    yield Frame("old", 0)
    release.wait(DEADLINE)
    if then == "raise":
        raise ValueError("old run broke")
    yield Frame("old", 1)


class TestAbandonedProducer:
    """A producer that stop gave up on must not serve the run a later start began."""

    @pytest.mark.parametrize(
        "then", ["start", "frame", "raise"], ids=["blocked-in-run", "next-frame", "then-raises"]
    )
    @pytest.mark.asyncio
    async def test_puts_nothing_and_leaves_the_statistics_alone(self, pipeline, then):
        release = threading.Event()
        new = Gate("new")
        pipeline.patch_threading(QuickJoinThread)
        pipeline.render(blocked_until(release, then), new)
        t = pipeline.runtime(output_buffer_size=6)
        await t.start()
        old = t._thread
        if then != "start":
            await until(lambda: items(t._frame_queue) == [Frame("old", 0)], "the old frame")
        await t.stop()
        assert pipeline.log.texts("warning") == ["Frame producer thread did not exit within 5s timeout"]
        await t.start()
        new.release(2)
        await until(lambda: len(items(t._frame_queue)) == 2, "the new run's frames")
        before = statistics(t) if hasattr(t, "_producer_gen_time") else (2, None)
        release.set()
        old.join(DEADLINE)
        assert not old.is_alive()
        assert items(t._frame_queue) == [Frame("new", 0), Frame("new", 1)]
        assert t._producer_frame_count == 2
        assert getattr(t, "_producer_gen_time", None) == before[1]
        new.close()
        assert await collect(t.run()) == [Frame("new", 0), Frame("new", 1)]
        await t.stop()

    def test_a_direct_call_is_never_abandoned(self, pipeline):
        pipeline.render(frames(2))
        t = pipeline.runtime()
        t._thread = threading.Thread(target=lambda: None)  # some other thread owns the pipeline
        t._frame_producer()
        assert items(t._frame_queue) == [Frame("a", 0), Frame("a", 1), END]


class TestBaseExceptions:
    def test_leave_after_the_marker_when_called_directly(self, pipeline):
        pipeline.render(raising(KeyboardInterrupt(), after=1))
        t = pipeline.runtime()
        with pytest.raises(KeyboardInterrupt):
            t._frame_producer()
        assert items(t._frame_queue) == [Frame("a", 0), END]
        assert pipeline.log.texts("error") == []

    @pytest.mark.asyncio
    async def test_end_the_thread_and_the_stream_normally(self, pipeline, monkeypatch):
        seen = []
        monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_type))
        pipeline.render(raising(KeyboardInterrupt(), after=2))
        t = pipeline.runtime()
        assert await collect(t.run()) == [Frame("a", 0), Frame("a", 1)]
        await until(lambda: not t._thread.is_alive(), "the producer thread to die")
        assert seen == [KeyboardInterrupt]
        assert pipeline.log.texts("error") == [] and pipeline.log.texts("warning") == []
        await t.stop()


def test_frames_wait_for_room_without_losing_order(pipeline):
    pipeline.render(frames(20))
    t = pipeline.runtime(output_buffer_size=2)
    worker = threading.Thread(target=t._frame_producer)
    worker.start()
    taken = []
    while not taken or taken[-1] is not END:
        taken.append(t._frame_queue.get(timeout=DEADLINE))
    worker.join(DEADLINE)
    assert taken == [Frame("a", i) for i in range(20)] + [END]
    wait_until(lambda: not worker.is_alive())
