"""What the host-layer tests share: the pure-Python twin of ``talvo._host_testing.Probe``, the
event loops to run under, and small awaitables that record what was done to them.

Every protocol test runs against both the twin (native ``async def`` code) and the C++ probe,
so the native behaviour is the expected one. The ``probe`` and ``loop_factory`` fixtures over
``IMPLEMENTATIONS`` and ``LOOP_FACTORIES`` are in conftest.py.
"""

import asyncio
import functools
import inspect
import sys
import types

import pytest
import uvloop

host = pytest.importorskip("talvo._host_testing")


def new_uvloop():
    loop = uvloop.new_event_loop()
    if sys.version_info >= (3, 12):
        # uvloop's debug mode records the stack from its async-generator finalizer hook, which can
        # run while CPython 3.12+ is tearing a frame down: a crash, native generators included
        # (MagicStack/uvloop#611, #730). The asyncio loop keeps debug mode.
        loop.set_debug(False)
    return loop


LOOP_FACTORIES = {"asyncio": asyncio.new_event_loop, "uvloop": new_uvloop}


def both_loops(test):
    """Runs an ``async def`` test once on each loop of the `loop_factory` fixture, each in a fresh
    ``asyncio.Runner`` (so asyncgen hooks and ``shutdown_asyncgens`` apply as in
    ``asyncio.run``)."""

    @functools.wraps(test)
    def run(*args, loop_factory, **kwargs):
        with asyncio.Runner(loop_factory=loop_factory) as runner:
            runner.run(test(*args, **kwargs))

    signature = inspect.signature(test)
    extra = inspect.Parameter("loop_factory", inspect.Parameter.KEYWORD_ONLY)
    run.__signature__ = signature.replace(parameters=[*signature.parameters.values(), extra])
    return run


class Probe:
    """Native twin of the C++ ``Probe``: the same operations as ``async def`` code."""

    async def returns(self, value):
        """Returns value."""
        return value

    async def awaits(self, awaitable):
        return await awaitable

    async def awaits_then_cleans_up(self, awaitable, cleanup):
        try:
            return await awaitable
        except asyncio.CancelledError:
            await cleanup
            raise

    async def raises(self, error):
        raise error

    async def awaits_twice(self, first, second):
        return (await first, await second)

    async def awaits_again_on_exit(self, first, second):
        try:
            return await first
        except GeneratorExit:
            await second

    async def recovers(self, awaitable):
        try:
            return await awaitable
        except Exception as error:
            return error

    async def binds(self, a, /, b: int = 2, *, c, d=4) -> tuple:
        """Binds."""
        return (a, b, c, d)

    @classmethod
    async def made(cls, value):
        return (cls, value)

    def plain(self, value):
        return value

    async def items(self, items, factory):
        for item in items:
            await factory()
            yield item

    async def items_cleanup_on_cancel(self, items, factory, cleanup):
        try:
            for item in items:
                await factory()
                yield item
        except asyncio.CancelledError:
            await cleanup
            raise

    async def items_finally(self, items, on_exit):
        try:
            for item in items:
                yield item
        finally:
            on_exit()

    async def yields_on_exit(self, items):
        try:
            for item in items:
                yield item
        except GeneratorExit:
            yield None

    async def recovers_stream(self, items):
        for item in items:
            try:
                yield item
            except Exception as error:
                yield error

    async def stream_raises(self, items, error):
        for item in items:
            yield item
        raise error


IMPLEMENTATIONS = {"native": Probe, "host": host.Probe}


@types.coroutine
def suspend(token="tick"):
    """Yields `token` to whoever drives the coroutine; returns what is sent back."""
    return (yield token)


class Recorder:
    """An awaitable that counts how often it was awaited and finishes at once."""

    def __init__(self, result=None):
        self.awaited = 0
        self.result = result

    def __await__(self):
        self.awaited += 1
        return self.result
        yield  # a generator: finishes at once without suspending


class BareAwaitable:
    """Suspends once through an iterator that has neither ``throw`` nor ``close``."""

    def __await__(self):
        return iter(["tick"])


class Delegate:
    """Suspends once and records how its iterator was ended (for ``cr_await``/close checks)."""

    def __init__(self):
        self.events = []

    def __await__(self):
        try:
            return (yield "tick")
        except BaseException as error:
            self.events.append(type(error))
            raise
        finally:
            self.events.append("exit")


async def until(predicate, timeout=5.0):
    """Lets the loop run until `predicate()` holds; fails after `timeout` seconds."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not predicate():
        if loop.time() > deadline:
            raise AssertionError("condition not reached in time")
        await asyncio.sleep(0)


def send(coro, value=None):
    """One step of a coroutine driven by hand: ("yield", value) or ("return", value)."""
    try:
        return ("yield", coro.send(value))
    except StopIteration as stop:
        return ("return", stop.value)


def outcome(step):
    """Runs a zero-argument callable; returns ("ok", result) or (type, message) of its error."""
    try:
        return ("ok", step())
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        return (type(error), str(error))
