"""The host async-generator object against native async generators."""

import asyncio
import collections.abc
import contextlib
import gc
import sys
import threading
import warnings
import weakref

import pytest

pytest.importorskip("talvo._host_testing")

from host_support import (  # noqa: E402
    Probe as NativeProbe,
)
from host_support import (
    Recorder,
    both_loops,
    suspend,
    until,
)


def ready():
    return Recorder()


def skip_native_on_313(probe):
    """From 3.13 closing a request object (`__anext__()`'s awaitable) throws GeneratorExit into a
    native generator and so closes it; our generator keeps the 3.11/3.12 behaviour, where the
    generator stays usable and is finalized when dropped."""
    if isinstance(probe, NativeProbe) and sys.version_info >= (3, 13):
        pytest.skip("3.13 closes a native generator with its request object")


async def collect(gen):
    return [item async for item in gen]


async def aoutcome(awaitable):
    """("ok", result) or (type, message) of what awaiting `awaitable` raised."""
    try:
        return ("ok", await awaitable)
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        return (type(error), str(error))


class Exits:
    """An `on_exit` callable that counts its calls."""

    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


class TestIteration:
    @both_loops
    async def test_async_for(self, probe):
        gen = probe.items([1, 2, 3], lambda: asyncio.sleep(0))
        assert gen.__aiter__() is gen
        assert await collect(gen) == [1, 2, 3]

    @both_loops
    async def test_stop_async_iteration_at_the_end_and_after(self, probe):
        gen = probe.items([1], ready)
        assert await anext(gen) == 1
        for _ in range(2):
            with pytest.raises(StopAsyncIteration):
                await anext(gen)
        assert await anext(gen, "default") == "default"

    @both_loops
    async def test_asend(self, probe):
        gen = probe.items([1, 2], ready)
        assert await aoutcome(gen.asend(5)) == (
            TypeError,
            "can't send non-None value to a just-started async generator",
        )
        assert await gen.asend(None) == 1
        assert await gen.asend("ignored by the frame") == 2

    @both_loops
    async def test_error_of_the_body(self, probe):
        error = KeyError("k")
        gen = probe.stream_raises([1], error)
        assert await anext(gen) == 1
        with pytest.raises(KeyError) as caught:
            await anext(gen)
        assert caught.value is error
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    @pytest.mark.parametrize("stop", [StopIteration, StopAsyncIteration])
    @both_loops
    async def test_stop_errors_in_the_body_become_runtime_error(self, probe, stop):
        gen = probe.stream_raises([], stop())
        assert await aoutcome(anext(gen)) == (RuntimeError, f"async generator raised {stop.__name__}")

    @both_loops
    async def test_request_cannot_be_reused(self, probe):
        gen = probe.items([1, 2], ready)
        request = gen.__anext__()
        assert await request == 1
        assert await aoutcome(request) == (RuntimeError, "cannot reuse already awaited __anext__()/asend()")
        closing = gen.aclose()
        await closing
        assert await aoutcome(closing) == (RuntimeError, "cannot reuse already awaited aclose()/athrow()")

    def test_is_an_async_generator(self, probe):
        gen = probe.items([], ready)
        assert isinstance(gen, collections.abc.AsyncGenerator)
        assert isinstance(gen, collections.abc.AsyncIterator)
        assert (gen.__name__, gen.__qualname__) == ("items", "Probe.items")
        assert repr(gen).startswith("<async_generator object Probe.items at 0x")
        assert not gen.ag_running and gen.ag_await is None

    def test_driven_by_hand(self, probe):
        delegate = suspend()
        gen = probe.items([1], lambda: delegate)
        request = gen.__anext__()
        assert request.send(None) == "tick"
        assert gen.ag_running and gen.ag_await is delegate
        with pytest.raises(StopIteration) as stop:
            request.send(None)
        assert stop.value.value == 1
        assert not gen.ag_running


class TestRunningGuard:
    @pytest.mark.parametrize(
        "second, name",
        [
            (lambda gen: anext(gen), "anext"),
            (lambda gen: gen.athrow(KeyError), "athrow"),
            (lambda gen: gen.aclose(), "aclose"),
        ],
    )
    @both_loops
    async def test_second_request_while_one_runs(self, probe, second, name):
        pending = asyncio.get_running_loop().create_future()
        gen = probe.items([1], lambda: pending)
        first = asyncio.create_task(anext(gen))
        await asyncio.sleep(0)  # now suspended in `pending`
        assert gen.ag_running
        assert await aoutcome(second(gen)) == (
            RuntimeError,
            f"{name}(): asynchronous generator is already running",
        )
        pending.set_result(None)
        assert await first == 1

    @both_loops
    async def test_closing_the_request_frees_the_generator(self, probe):
        skip_native_on_313(probe)
        gen = probe.items([1, 2], ready)
        request = gen.__anext__()
        request.close()
        assert not gen.ag_running
        assert await anext(gen) == 1
        await gen.aclose()


class TestAthrow:
    @pytest.mark.parametrize("form", ["instance", "class"])
    @both_loops
    async def test_handled_by_the_frame(self, probe, form):
        gen = probe.recovers_stream([1, 2])
        assert await anext(gen) == 1
        error = KeyError("k")
        yielded = await gen.athrow(error if form == "instance" else KeyError)
        assert yielded is error if form == "instance" else type(yielded) is KeyError
        assert await anext(gen) == 2

    @both_loops
    async def test_unhandled_ends_the_generator(self, probe):
        exits = Exits()
        gen = probe.items_finally([1, 2], exits)
        assert await anext(gen) == 1
        with pytest.raises(KeyError):
            await gen.athrow(KeyError("k"))
        assert exits.calls == 1
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    @both_loops
    async def test_before_the_first_item(self, probe):
        exits = Exits()
        gen = probe.items_finally([1], exits)
        assert await aoutcome(gen.athrow(KeyError("k"))) == (KeyError, "'k'")
        assert exits.calls == 0  # the body never began
        assert await aoutcome(anext(gen)) == (StopAsyncIteration, "")

    @both_loops
    async def test_after_the_end(self, probe):
        async def scenario(impl):
            gen = impl.items([], ready)
            await collect(gen)
            return await aoutcome(gen.athrow(KeyError("k")))

        assert await scenario(probe) == await scenario(NativeProbe())

    @pytest.mark.parametrize(
        "args, message",
        [
            ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
            ((), "athrow expected at least 1 argument, got 0"),
            ((KeyError, None, None, None), "athrow expected at most 3 arguments, got 4"),
        ],
    )
    @both_loops
    async def test_bad_arguments_fail(self, probe, args, message):
        gen = probe.items([1], ready)
        # From 3.15 a wrong number of arguments fails the call itself; before, the await.
        at_call = len(args) != 1 and sys.version_info >= (3, 15)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            if at_call:
                with pytest.raises(TypeError, match=f"^{message}$"):
                    gen.athrow(*args)
            else:
                request = gen.athrow(*args)
        if not at_call:
            assert await aoutcome(request) == (TypeError, message)
            if isinstance(probe, NativeProbe) and len(args) != 1:
                return  # CPython 3.11 leaves its generator marked running after an arity error
        assert await anext(gen) == 1

    @both_loops
    async def test_type_and_value_form(self, probe):
        gen = probe.recovers_stream([1, 2])
        assert await anext(gen) == 1
        with deprecated_throw("athrow"):
            request = gen.athrow(KeyError, "k")
        yielded = await request
        assert (type(yielded), yielded.args) == (KeyError, ("k",))

    def test_type_and_value_form_into_a_running_request(self, probe):
        gen = probe.items([1], suspend)
        request = gen.__anext__()
        assert request.send(None) == "tick"
        with deprecated_throw("throw"), pytest.raises(KeyError):
            request.throw(KeyError, "r")
        assert not gen.ag_running


def deprecated_throw(name):
    """The (type, value, tb) forms warn from 3.12 on, natively and here."""
    if sys.version_info >= (3, 12):
        return pytest.warns(DeprecationWarning, match=rf"signature of {name}\(\) is deprecated")
    return contextlib.nullcontext()


class TestAclose:
    @both_loops
    async def test_while_suspended(self, probe):
        exits = Exits()
        gen = probe.items_finally([1, 2], exits)
        assert await anext(gen) == 1
        assert await gen.aclose() is None
        assert exits.calls == 1
        assert await gen.aclose() is None
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    @both_loops
    async def test_unstarted_runs_nothing(self, probe):
        exits = Exits()
        gen = probe.items_finally([1], exits)
        assert await gen.aclose() is None
        assert exits.calls == 0
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    @both_loops
    async def test_yielding_again_after_generator_exit(self, probe):
        gen = probe.yields_on_exit([1, 2])
        assert await anext(gen) == 1
        assert await aoutcome(gen.aclose()) == (RuntimeError, "async generator ignored GeneratorExit")

    @both_loops
    async def test_aclosing(self, probe):
        exits = Exits()
        async with contextlib.aclosing(probe.items_finally([1, 2], exits)) as gen:
            assert await anext(gen) == 1
        assert exits.calls == 1


class TestCancellation:
    @both_loops
    async def test_cancel_at_an_executor_await_awaits_the_cleanup(self, probe):
        release = threading.Event()
        loop = asyncio.get_running_loop()
        cleanup = Recorder()
        factory = iter([ready, lambda: loop.run_in_executor(None, release.wait, 5)])
        gen = probe.items_cleanup_on_cancel([1, 2], lambda: next(factory)(), cleanup)
        assert await anext(gen) == 1
        task = asyncio.create_task(anext(gen))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        release.set()
        assert cleanup.awaited == 1
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    @both_loops
    async def test_timeout_around_iteration(self, probe):
        loop = asyncio.get_running_loop()
        cleanup = Recorder()
        gen = probe.items_cleanup_on_cancel([1], loop.create_future, cleanup)
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.01):
                await anext(gen)
        assert cleanup.awaited == 1
        assert asyncio.current_task().cancelling() == 0


class TestHooks:
    def test_firstiter_at_the_first_request_and_finalizer_when_dropped_suspended(self, probe):
        skip_native_on_313(probe)
        first, final = [], []
        old = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=first.append, finalizer=final.append)
        try:
            gen = probe.items([1, 2], ready)
            assert first == []
            request = gen.__anext__()
            assert first == [gen]
            with pytest.raises(StopIteration):
                request.send(None)
            del request
            gen.__anext__().close()
            assert first == [gen]
            first.clear()
            del gen
            assert len(final) == 1
            resurrected = final.pop()
        finally:
            sys.set_asyncgen_hooks(*old)
        # The finalizer resurrected it; closing it now is what the loop would schedule.
        with pytest.raises(StopIteration):
            resurrected.aclose().send(None)

    def test_no_finalizer_for_a_finished_generator(self, probe):
        final = []
        old = sys.get_asyncgen_hooks()
        sys.set_asyncgen_hooks(firstiter=None, finalizer=final.append)
        try:
            gen = probe.items([], ready)
            with pytest.raises(StopAsyncIteration):
                gen.__anext__().send(None)
            del gen
            gc.collect()
        finally:
            sys.set_asyncgen_hooks(*old)
        assert final == []

    def test_shutdown_asyncgens_closes_a_suspended_generator(self, probe, loop_factory):
        exits = Exits()
        kept = []

        async def main():
            gen = probe.items_finally([1, 2], exits)
            kept.append(gen)
            assert await anext(gen) == 1

        with asyncio.Runner(loop_factory=loop_factory) as runner:
            runner.run(main())
            assert exits.calls == 0
        assert exits.calls == 1

    @both_loops
    async def test_loop_finalizer_closes_a_dropped_generator(self, probe):
        exits = Exits()
        gen = probe.items_finally([1, 2], exits)
        assert await anext(gen) == 1
        del gen
        gc.collect()
        await until(lambda: exits.calls)  # the loop closes it in a task of its own
        assert exits.calls == 1


class TestGarbageCollection:
    def test_dropped_suspended_without_hooks_is_closed_at_once(self, probe):
        exits = Exits()
        gen = probe.items_finally([1, 2], exits)
        with pytest.raises(StopIteration):
            gen.__anext__().send(None)
        del gen
        assert exits.calls == 1

    def test_suspended_in_a_cycle_is_closed_and_collected(self, probe):
        exited = []

        class Exit:
            def __call__(self):
                exited.append(True)

        on_exit = Exit()
        gen = probe.items_finally([1, 2], on_exit)
        on_exit.gen = gen  # generator -> argument -> generator
        with pytest.raises(StopIteration):
            gen.__anext__().send(None)
        ref = weakref.ref(gen)
        del gen, on_exit
        gc.collect()
        assert ref() is None
        assert exited == [True]

    def test_weakref(self, probe):
        gen = probe.items([], ready)
        ref = weakref.ref(gen)
        assert ref() is gen
        del gen
        assert ref() is None
