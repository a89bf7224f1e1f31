"""start / stop / shutdown: the producer thread they manage, what they leave behind, and the
bounded wait for a producer that does not listen."""

import asyncio
import sys
import threading
from unittest import mock

import pytest
import talvo.runtime_async as ra
from pipeline_harness import (
    DEADLINE,
    Frame,
    Gate,
    RecordingQueue,
    RecordingThread,
    collect,
    frames,
    items,
    paced,
    ready,
    until,
)
from talvo.runtime import Talvo

END = ra._STREAM_END


class Cleanup:
    """Talvo.cleanup replaced: records the runtime's state and thread at each call."""

    def __init__(self):
        self.calls = []

    def install(self, pipeline):
        def cleanup(runtime):
            self.calls.append((runtime._running, runtime._thread, runtime._loop, threading.get_ident()))

        pipeline._start(mock.patch.object(Talvo, "cleanup", cleanup))
        return self


class TestStart:
    @pytest.mark.asyncio
    async def test_launches_one_named_daemon_producer(self, pipeline):
        pipeline.patch_threading(RecordingThread)
        gate = Gate()
        renderer = pipeline.render(gate)
        t = pipeline.runtime()
        t._stop_event.set()  # left over from an earlier stop

        def out_buffer_empty():
            return True

        await t.start(out_buffer_empty, idle_timeout=2.0)
        [thread] = RecordingThread.made
        assert thread.init_kwargs == {
            "target": t._frame_producer,
            "kwargs": {"out_buffer_empty": out_buffer_empty, "idle_timeout": 2.0},
            "name": "talvo-frame-producer",
        }
        assert thread.init_kwargs["target"].__self__ is t
        assert thread.runtime_thread_at_start is thread  # stored before it runs
        assert t._thread is thread and thread.daemon and thread.name == "talvo-frame-producer"
        assert t._running is True and not t._stop_event.is_set()
        loop = asyncio.get_running_loop()
        assert t._loop is loop and t._input_buffer.loop is loop
        assert pipeline.log.texts("debug")[-1] == "Frame producer thread started"
        await until(lambda: renderer.calls, "the renderer to be asked")
        assert renderer.calls[0].callback is out_buffer_empty
        assert renderer.calls[0].idle_timeout == 2.0
        assert renderer.calls[0].thread == thread.ident != threading.get_ident()
        gate.close()
        await t.stop()

    @pytest.mark.asyncio
    async def test_records_a_given_loop(self, pipeline):
        gate = Gate()
        pipeline.render(gate)
        t = pipeline.runtime()
        other = asyncio.new_event_loop()
        try:
            await t.start(loop=other)
            assert t._loop is other and t._input_buffer.loop is other
        finally:
            other.close()
        gate.close()
        await t.stop()

    @pytest.mark.asyncio
    async def test_a_second_start_changes_nothing(self, pipeline):
        pipeline.patch_threading(RecordingThread)
        pipeline.render(Gate())
        t = pipeline.runtime()
        await t.start()
        thread, loop, transaction = t._thread, t._loop, t.transaction_id
        t._input_buffer.set_loop = mock.Mock()
        other = asyncio.new_event_loop()
        try:
            await t.start(lambda: False, idle_timeout=1.0, loop=other)
        finally:
            other.close()
        assert pipeline.log.texts("debug")[-1] == "Runtime already running, skipping start"
        assert len(RecordingThread.made) == 1
        assert (t._thread, t._loop, t.transaction_id) == (thread, loop, transaction)
        t._input_buffer.set_loop.assert_not_called()

    @pytest.mark.parametrize("name", ["start", "run"])
    def test_idle_timeout_is_keyword_only(self, pipeline, name):
        t = pipeline.runtime()
        with pytest.raises(TypeError):
            getattr(t, name)(lambda: True, 2.0)
        assert t._running is False

    @pytest.mark.parametrize("given, regenerated", [("", 1), ("caller-chosen", 0)])
    @pytest.mark.asyncio
    async def test_a_transaction_id_is_made_once_only_when_empty(self, pipeline, given, regenerated):
        made = []

        def regenerate(runtime):
            made.append(runtime)
            runtime.transaction_id = f"generated-{len(made)}"
            return runtime.transaction_id

        pipeline._start(mock.patch.object(Talvo, "_regenerate_transaction_id", regenerate))
        pipeline.render(frames(0))
        t = pipeline.runtime()
        t.transaction_id = given
        await t.start()
        await t.start()
        await t.stop()
        await t.start()
        await t.stop()
        assert len(made) == regenerated
        assert t.transaction_id == (given or "generated-1")

    @pytest.mark.asyncio
    async def test_a_run_after_stop_never_ends_at_a_stale_marker(self, pipeline):
        pipeline.render(paced(0.01, "a"), frames(3, "b"))
        t = pipeline.runtime()
        async with _closing(t.run()) as first:
            assert (await first.__anext__()).run == "a"
        await t.stop()
        assert END in items(t._frame_queue)  # the stopped producer's marker stays behind...
        assert await collect(t.run()) == [Frame("b", i) for i in range(3)]  # ...and is ignored
        await t.stop()


class _closing:
    def __init__(self, stream):
        self.stream = stream

    async def __aenter__(self):
        return self.stream

    async def __aexit__(self, *exc):
        await self.stream.aclose()


class TestStop:
    @pytest.mark.parametrize("name", ["stop", "shutdown"])
    @pytest.mark.asyncio
    async def test_before_start_does_nothing(self, pipeline, name):
        cleanup = Cleanup().install(pipeline)
        t = pipeline.runtime()
        assert await getattr(t, name)() is None
        assert not t._stop_event.is_set()
        assert pipeline.log.lines == [] and cleanup.calls == []

    @pytest.mark.parametrize("name", ["stop", "shutdown"])
    @pytest.mark.asyncio
    async def test_ends_the_producer_and_cleans_up(self, pipeline, name):
        pipeline.patch_threading(RecordingThread)
        cleanup = Cleanup().install(pipeline)
        pipeline.render(paced(0.01))
        t = pipeline.runtime(output_buffer_size=3)
        await t.start()
        thread = t._thread
        await until(lambda: t._frame_queue.full(), "the queue to fill")
        await getattr(t, name)()
        assert not thread.is_alive()
        if pipeline.on_loop:
            assert thread.join_threads == []  # the producer's wake-up, no join
        else:
            assert thread.join_threads and threading.get_ident() not in thread.join_threads
        assert (t._running, t._thread, t._loop) == (False, None, None)
        assert len(cleanup.calls) == 1
        assert cleanup.calls[0][:3] == (False, None, None)
        assert "Stop event set, waiting for frame producer thread to finish" in pipeline.log.texts("debug")
        assert pipeline.log.texts("warning") == []
        assert all(not isinstance(item, Frame) for item in items(t._frame_queue))

    @pytest.mark.asyncio
    async def test_a_finished_producer_is_not_waited_for(self, pipeline):
        pipeline.patch_threading(RecordingThread)
        cleanup = Cleanup().install(pipeline)
        pipeline.render(frames(1))
        t = pipeline.runtime()
        assert await collect(t.run()) == [Frame("a", 0)]
        await until(lambda: not t._thread.is_alive(), "the producer to end")
        thread = t._thread
        await t.stop()
        assert thread.join_threads == [] and len(cleanup.calls) == 1

    @pytest.mark.asyncio
    async def test_cancelled_while_waiting_leaves_the_runtime_running(self, pipeline):
        pipeline.patch_threading(RecordingThread)
        cleanup = Cleanup().install(pipeline)
        gate = Gate()
        pipeline.render(gate)
        t = pipeline.runtime()
        await t.start()
        thread = t._thread
        stopping = asyncio.create_task(t.stop())
        await until(lambda: thread.joining.is_set() or t._frame_waiters, "stop to wait for the producer")
        stopping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await stopping
        assert t._running is True and t._thread is thread and cleanup.calls == []
        gate.close()
        await t.stop()
        assert t._running is False and len(cleanup.calls) == 1


class PatientQueue(RecordingQueue):
    """A frame queue whose puts wait for room without a time limit, telling when one waits."""

    def __init__(self, maxsize):
        super().__init__(maxsize)
        self.waiting_put = threading.Event()

    def put(self, item, block=True, timeout=None):
        if block and self.full():
            self.waiting_put.set()
        super().put(item, block, None if block else timeout)


class TestProducerThatIgnoresStop:
    @pytest.mark.asyncio
    async def test_is_given_up_after_5s_and_cannot_reach_the_next_run(self, pipeline):
        release = threading.Event()

        def deaf(call):  # renders frame 2 only when released, whatever stop says
            yield Frame("old", 0)
            yield Frame("old", 1)
            release.wait(DEADLINE + 5)
            yield Frame("old", 2)

        new = Gate("new")
        cleanup = Cleanup().install(pipeline)
        pipeline.render(deaf, new)
        t = pipeline.runtime(output_buffer_size=1)
        q = t._frame_queue = PatientQueue(1)
        await t.start()
        old = t._thread
        await until(q.waiting_put.is_set, "frame 1 to wait for room")

        await t.stop()  # the first drain lets frame 1 in; the producer then goes deaf
        assert pipeline.log.texts("warning") == ["Frame producer thread did not exit within 5s timeout"]
        assert Frame("old", 1) in q.accepted and items(q) == []  # the second drain took it
        assert (t._running, t._thread, t._loop) == (False, None, None)
        assert len(cleanup.calls) == 1 and old.is_alive()

        await t.start()
        release.set()
        old.join(DEADLINE)
        assert not old.is_alive()
        assert items(q) == []  # neither frame 2 nor an end marker from the old producer
        new.release(2)
        assert await collect(t.run(), limit=2) == [Frame("new", 0), Frame("new", 1)]
        assert Frame("old", 2) not in q.accepted
        new.close()
        await t.stop()
        assert len(pipeline.log.texts("warning")) == 1


def test_each_event_loop_gets_its_own_run(model):
    t = ready(model, output_buffer_size=6)

    async def session():
        taken = await collect(t.run(idle_timeout=None), limit=3)
        assert t._loop is asyncio.get_running_loop()
        await t.stop()
        assert t._loop is None and t._input_buffer.loop is asyncio.get_running_loop()
        return taken

    for _ in range(2):
        taken = asyncio.run(session())
        assert [f.index for f in taken] == [0, 1, 2]
    assert t._thread is None and t._running is False


def test_operations_work_under_a_trace_function(pipeline):
    """Coverage tools and debuggers make the interpreter resume awaits through send()."""
    pipeline.render(frames(3))
    t = pipeline.runtime()

    async def session():
        taken = await collect(t.run())
        await t.stop()
        return taken

    def tracer(frame, event, arg):
        return tracer

    previous = sys.gettrace()
    sys.settrace(tracer)
    try:
        taken = asyncio.run(session())
    finally:
        sys.settrace(previous)
    assert taken == [Frame("a", i) for i in range(3)]
