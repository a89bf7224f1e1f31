"""The host coroutine object against native coroutines: driven by hand and under both loops."""

import asyncio
import collections.abc
import contextlib
import functools
import gc
import sys
import threading
import types
import warnings
import weakref

import pytest

pytest.importorskip("talvo._host_testing")

from host_support import (  # noqa: E402
    BareAwaitable,
    Delegate,
    Recorder,
    both_loops,
    outcome,
    send,
    suspend,
)


def deprecated_throw():
    """The (type, value, tb) form of throw() warns from 3.12 on, natively and here."""
    if sys.version_info >= (3, 12):
        return pytest.warns(DeprecationWarning, match="signature of throw")
    return contextlib.nullcontext()


class TestSend:
    def test_returns_at_once(self, probe):
        assert send(probe.returns(5)) == ("return", 5)

    def test_passes_what_the_delegate_yields_and_returns_its_result(self, probe):
        coro = probe.awaits_twice(suspend("a"), suspend("b"))
        assert send(coro) == ("yield", "a")
        assert send(coro, 1) == ("yield", "b")
        assert send(coro, 2) == ("return", (1, 2))

    def test_delegate_finishing_at_once_does_not_suspend(self, probe):
        assert send(probe.awaits_twice(Recorder(1), Recorder(2))) == ("return", (1, 2))

    def test_error_of_the_body_propagates(self, probe):
        error = KeyError("k")
        with pytest.raises(KeyError) as caught:
            send(probe.raises(error))
        assert caught.value is error

    def test_stop_iteration_in_the_body_becomes_runtime_error(self, probe):
        stop = StopIteration("s")
        with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as caught:
            send(probe.raises(stop))
        assert caught.value.__cause__ is stop

    def test_cpp_error_becomes_runtime_error(self):
        from host_support import host

        with pytest.raises(RuntimeError, match="^internal error: boom$"):
            send(host.Probe().raises_cpp())

    def test_non_none_to_a_just_started_coroutine(self, probe):
        coro = probe.returns(1)
        assert outcome(lambda: coro.send(1)) == (
            TypeError,
            "can't send non-None value to a just-started coroutine",
        )
        assert send(coro) == ("return", 1)  # still unstarted, and runs normally

    @pytest.mark.parametrize("ending", ["return", "raise"])
    def test_reuse_after_completion(self, probe, ending):
        coro = probe.returns(1) if ending == "return" else probe.raises(KeyError())
        outcome(lambda: send(coro))
        for again in (lambda: coro.send(None), lambda: coro.throw(ValueError)):
            assert outcome(again) == (RuntimeError, "cannot reuse already awaited coroutine")
        assert outcome(coro.close) == ("ok", None)

    def test_awaiting_a_non_awaitable(self, probe):
        assert outcome(lambda: send(probe.awaits(3))) == (
            TypeError,
            # The interpreter's own wording, which 3.14 changed.
            "'int' object can't be awaited"
            if sys.version_info >= (3, 14)
            else "object int can't be used in 'await' expression",
        )


class Reenter:
    """An awaitable whose iterator, resumed, sends into the coroutine awaiting it."""

    def __init__(self):
        self.coro = None
        self.seen = []

    def __await__(self):
        self.seen.append(outcome(lambda: self.coro.send(None)))  # during the first step
        self.seen.append(self.coro.cr_running)
        yield "tick"
        self.seen.append(outcome(lambda: self.coro.send(None)))  # during a later step
        self.seen.append(outcome(lambda: self.coro.throw(KeyError)))
        self.seen.append(outcome(self.coro.close))
        self.seen.append(self.coro.cr_running)
        return "done"


class TestState:
    def test_reentry_while_running(self, probe):
        reenter = Reenter()
        reenter.coro = coro = probe.awaits(reenter)
        assert send(coro) == ("yield", "tick")
        assert not coro.cr_running
        assert send(coro) == ("return", "done")
        executing = (ValueError, "coroutine already executing")
        assert reenter.seen == [executing, True, executing, executing, executing, True]

    def test_cr_await_is_the_delegate(self, probe):
        delegate = suspend()
        coro = probe.awaits(delegate)
        assert coro.cr_await is None
        send(coro)
        assert coro.cr_await is delegate
        send(coro, 1)
        assert coro.cr_await is None

    def test_names_and_repr(self, probe):
        coro = probe.returns(1)
        assert (coro.__name__, coro.__qualname__) == ("returns", "Probe.returns")
        assert repr(coro).startswith("<coroutine object Probe.returns at 0x")
        coro.close()

    def test_is_a_coroutine(self, probe):
        coro = probe.returns(1)
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, collections.abc.Coroutine)
        assert isinstance(coro, collections.abc.Awaitable)
        iterator = coro.__await__()
        assert iter(iterator) is iterator
        with pytest.raises(StopIteration):
            next(iterator)
        coro.close()

    def test_weakref(self, probe):
        coro = probe.returns(1)
        dead = []
        ref = weakref.ref(coro, dead.append)
        assert ref() is coro
        coro.close()
        del coro
        assert ref() is None and dead == [ref]


class TestThrow:
    def test_into_a_delegate_instance_form(self, probe):
        coro = probe.recovers(suspend())
        send(coro)
        error = ValueError("v")
        with pytest.raises(StopIteration) as stop:
            coro.throw(error)
        assert stop.value.value is error

    def test_into_a_delegate_class_form(self, probe):
        coro = probe.recovers(suspend())
        send(coro)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError)
        assert type(stop.value.value) is ValueError

    @pytest.mark.parametrize(
        "args, expected",
        [
            ((ValueError, "msg"), ValueError("msg")),
            ((KeyError, ("a", "b")), KeyError("a", "b")),
            ((ValueError, ValueError("inst"), None), ValueError("inst")),
        ],
    )
    def test_type_and_value_forms(self, probe, args, expected):
        coro = probe.recovers(suspend())
        send(coro)
        with deprecated_throw(), pytest.raises(StopIteration) as stop:
            coro.throw(*args)
        assert (type(stop.value.value), stop.value.value.args) == (type(expected), expected.args)

    def test_delegate_without_throw_gets_it_at_the_await(self, probe):
        coro = probe.recovers(BareAwaitable())
        assert send(coro) == ("yield", "tick")
        with pytest.raises(StopIteration) as stop:
            coro.throw(KeyError("k"))
        assert type(stop.value.value) is KeyError

    def test_delegate_yielding_again_keeps_the_coroutine_suspended(self, probe):
        @types.coroutine
        def stubborn():
            try:
                yield "first"
            except KeyError:
                yield "second"
            return "end"

        coro = probe.awaits(stubborn())
        send(coro)
        assert coro.throw(KeyError) == "second"
        assert send(coro) == ("return", "end")

    def test_uncaught_error_ends_the_coroutine(self, probe):
        delegate = Delegate()
        coro = probe.awaits(delegate)
        send(coro)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert delegate.events == [KeyError, "exit"]
        assert outcome(lambda: coro.send(None)) == (RuntimeError, "cannot reuse already awaited coroutine")

    def test_into_an_unstarted_coroutine_runs_nothing(self, probe):
        recorder = Recorder()
        coro = probe.awaits(recorder)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert recorder.awaited == 0
        assert outcome(functools.partial(coro.send, None)) == (
            RuntimeError,
            "cannot reuse already awaited coroutine",
        )
        del coro
        gc.collect()  # and no "never awaited" warning

    @pytest.mark.parametrize(
        "args, message",
        [
            ((), "throw expected at least 1 argument, got 0"),
            ((ValueError, None, None, None), "throw expected at most 3 arguments, got 4"),
            ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
            ((ValueError("v"), 1), "instance exception may not have a separate value"),
            ((ValueError, None, 5), "throw() third argument must be a traceback object"),
        ],
    )
    def test_bad_arguments_leave_the_coroutine_untouched(self, probe, args, message):
        coro = probe.returns(1)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            assert outcome(lambda: coro.throw(*args)) == (TypeError, message)
        assert send(coro) == ("return", 1)


class TestClose:
    def test_unstarted(self, probe):
        recorder = Recorder()
        coro = probe.awaits(recorder)
        assert coro.close() is None
        assert recorder.awaited == 0
        assert outcome(lambda: coro.send(None)) == (RuntimeError, "cannot reuse already awaited coroutine")

    def test_suspended_closes_the_delegate(self, probe):
        delegate = Delegate()
        coro = probe.awaits(delegate)
        send(coro)
        assert coro.close() is None
        assert delegate.events == [GeneratorExit, "exit"]
        assert coro.cr_await is None
        assert outcome(lambda: coro.send(None)) == (RuntimeError, "cannot reuse already awaited coroutine")

    def test_delegate_without_close(self, probe):
        coro = probe.awaits(BareAwaitable())
        send(coro)
        assert coro.close() is None

    def test_finished(self, probe):
        coro = probe.returns(1)
        send(coro)
        assert coro.close() is None
        assert coro.close() is None

    def test_awaiting_again_after_generator_exit(self, probe):
        second = Delegate()
        coro = probe.awaits_again_on_exit(suspend(), second)
        send(coro)
        assert outcome(coro.close) == (RuntimeError, "coroutine ignored GeneratorExit")
        assert coro.cr_await is not None  # still suspended, now in `second`
        assert coro.close() is None
        assert second.events == [GeneratorExit, "exit"]

    def test_error_from_the_delegates_close_propagates(self, probe):
        @types.coroutine
        def refuses():
            try:
                yield "tick"
            finally:
                raise KeyError("from close")

        coro = probe.awaits(refuses())
        send(coro)
        assert outcome(coro.close) == (KeyError, "'from close'")
        assert outcome(lambda: coro.send(None)) == (RuntimeError, "cannot reuse already awaited coroutine")


class TestNeverAwaited:
    def test_warns_runs_nothing_and_releases_its_arguments(self, probe):
        recorder = Recorder()
        ref = weakref.ref(recorder)
        with pytest.warns(RuntimeWarning, match="^coroutine 'Probe.awaits' was never awaited$"):
            coro = probe.awaits(recorder)
            del recorder
            del coro
            gc.collect()
        assert ref() is None

    def test_close_suppresses_the_warning(self, probe):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            coro = probe.returns(1)
            coro.close()
            del coro
            gc.collect()
        assert [w.message for w in caught] == []


class TestGarbageCollection:
    def test_suspended_in_a_cycle_is_closed_and_collected(self, probe):
        delegate = Delegate()
        events = delegate.events
        coro = probe.awaits(delegate)
        send(coro)
        delegate.coro = coro  # coroutine -> argument -> coroutine
        ref = weakref.ref(coro)
        del coro, delegate
        gc.collect()
        assert ref() is None
        assert events == [GeneratorExit, "exit"]

    def test_dropped_while_suspended_is_closed_at_once(self, probe):
        delegate = Delegate()
        coro = probe.awaits(delegate)
        send(coro)
        del coro
        assert delegate.events == [GeneratorExit, "exit"]


class TestUnderLoop:
    @both_loops
    async def test_await_and_create_task(self, probe):
        assert await probe.returns(1) == 1
        assert await asyncio.create_task(probe.awaits(asyncio.sleep(0, "slept"))) == "slept"
        assert await probe.awaits(probe.awaits(probe.returns(3))) == 3  # ours awaiting ours

    @both_loops
    async def test_awaits_a_future_resolved_later(self, probe):
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_soon(future.set_result, "later")
        assert await probe.awaits(future) == "later"

    @both_loops
    async def test_awaited_by_two_awaiters(self, probe):
        future = asyncio.get_running_loop().create_future()
        shared = probe.awaits(future)
        first = asyncio.create_task(probe.awaits(shared))
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
            await shared
        future.set_result("once")
        assert await first == "once"

    @both_loops
    async def test_gather(self, probe):
        assert await asyncio.gather(probe.returns(1), probe.awaits(asyncio.sleep(0, 2))) == [1, 2]
        results = await asyncio.gather(probe.returns(1), probe.raises(KeyError("k")), return_exceptions=True)
        assert results[0] == 1 and type(results[1]) is KeyError

    @both_loops
    async def test_wait_for(self, probe):
        assert await asyncio.wait_for(probe.awaits(asyncio.sleep(0, 5)), 5) == 5
        cleanup = Recorder()
        never = asyncio.get_running_loop().create_future()
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(probe.awaits_then_cleans_up(never, cleanup), 0.01)
        assert cleanup.awaited == 1

    @both_loops
    async def test_error_propagates_to_the_task(self, probe):
        task = asyncio.create_task(probe.raises(KeyError("k")))
        with pytest.raises(KeyError):
            await task
        assert "Probe.raises" in repr(task)

    @both_loops
    async def test_cancel_at_an_executor_await(self, probe):
        release = threading.Event()
        loop = asyncio.get_running_loop()
        cleanup = Recorder()
        work = loop.run_in_executor(None, release.wait, 5)
        task = asyncio.create_task(probe.awaits_then_cleans_up(work, cleanup))
        await asyncio.sleep(0)  # the task's first step runs before we resume
        assert cleanup.awaited == 0
        task.cancel("stop")
        with pytest.raises(asyncio.CancelledError, match="stop"):
            await task
        release.set()
        assert task.cancelled() and cleanup.awaited == 1

    @both_loops
    async def test_cancel_again_during_the_cleanup(self, probe):
        loop = asyncio.get_running_loop()
        cleanup = loop.create_future()
        task = asyncio.create_task(probe.awaits_then_cleans_up(loop.create_future(), cleanup))
        await asyncio.sleep(0)
        task.cancel()
        await asyncio.sleep(0)  # now suspended in the clean-up
        assert not task.done()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert task.cancelled() and cleanup.cancelled()
        assert task.cancelling() == 2

    @both_loops
    async def test_cancelled_error_is_re_raised_unchanged(self, probe):
        seen = []

        async def outer(awaitable):
            try:
                await awaitable
            except asyncio.CancelledError as error:
                seen.append(error.args)
                raise

        loop = asyncio.get_running_loop()
        never = loop.create_future()
        task = asyncio.create_task(outer(probe.awaits_then_cleans_up(never, Recorder())))
        await asyncio.sleep(0)
        task.cancel("why")
        with pytest.raises(asyncio.CancelledError):
            await task
        assert seen == [("why",)]

    @both_loops
    async def test_timeout_counts_its_cancellation(self, probe):
        cleanup = Recorder()
        never = asyncio.get_running_loop().create_future()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await probe.awaits_then_cleans_up(never, cleanup)
        assert cleanup.awaited == 1
        assert asyncio.current_task().cancelling() == 0

    @both_loops
    async def test_timeout_not_reached(self, probe):
        async with asyncio.timeout(5):
            assert await probe.awaits(asyncio.sleep(0, "in time")) == "in time"
        assert asyncio.current_task().cancelling() == 0

    @both_loops
    async def test_task_group_failure_cancels_our_siblings(self, probe):
        loop = asyncio.get_running_loop()
        cleanups = [Recorder(), Recorder()]

        async def failing():
            await asyncio.sleep(0)
            raise KeyError("child")

        with pytest.raises(ExceptionGroup) as group:
            async with asyncio.TaskGroup() as tg:
                siblings = [
                    tg.create_task(probe.awaits_then_cleans_up(loop.create_future(), c)) for c in cleanups
                ]
                tg.create_task(failing())
        assert [type(e) for e in group.value.exceptions] == [KeyError]
        assert all(t.cancelled() for t in siblings)
        assert [c.awaited for c in cleanups] == [1, 1]

    @both_loops
    async def test_external_cancel_of_a_task_group_propagates(self, probe):
        loop = asyncio.get_running_loop()
        cleanup = Recorder()
        started = asyncio.Event()

        async def body():
            async with asyncio.TaskGroup() as tg:
                tg.create_task(probe.awaits_then_cleans_up(loop.create_future(), cleanup))
                started.set()

        task = asyncio.create_task(body())
        await started.wait()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert cleanup.awaited == 1
