"""Many create/await/cancel/close cycles of host coroutines and async generators leave memory
and the number of live host objects flat."""

import asyncio
import gc
import sys

import pytest

pytest.importorskip("talvo._host_testing")

from host_support import Recorder, host, suspend  # noqa: E402
from volume import scaled  # noqa: E402

CYCLES = scaled(100_000, 1_000)
TASK_CYCLES = scaled(2_000, 100)  # tasks cost more; each runs every awaiting and cancellation path
BLOCK_GROWTH_BOUND = 1_000


def host_types():
    probe = host.Probe()
    coro, gen = probe.returns(1), probe.items([], Recorder)
    kinds = {type(coro), type(coro.__await__()), type(gen), type(gen.__anext__())}
    coro.close()
    return kinds


HOST_TYPES = host_types()


def live_host_objects():
    return sum(type(o) in HOST_TYPES for o in gc.get_objects())


def settle():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks(), live_host_objects()


def by_hand(probe, i):
    probe.returns(i).close()  # never started
    coro = probe.awaits(suspend())
    coro.send(None)
    try:
        coro.send(i)
    except StopIteration:
        pass
    gen = probe.items([i], Recorder)
    try:
        gen.__anext__().send(None)
    except StopIteration:
        pass
    try:
        gen.__anext__().send(None)
    except StopAsyncIteration:
        pass
    if i % 50:
        return
    # Errors cross C++ frames as C++ exceptions, which cost far more: every fiftieth cycle.
    coro = probe.awaits_twice(suspend(), Recorder(i))
    coro.send(None)
    try:
        coro.send(i)
    except StopIteration:
        pass
    coro = probe.recovers(suspend())
    coro.send(None)
    try:
        coro.throw(KeyError(i))
    except StopIteration:
        pass
    coro = probe.awaits_then_cleans_up(suspend(), Recorder())
    coro.send(None)
    coro.close()  # closed while suspended
    try:
        probe.binds(i)  # argument error
    except TypeError:
        pass
    gen = probe.items_finally([i, i], Recorder)
    try:
        gen.__anext__().send(None)
    except StopIteration:
        pass
    del gen  # dropped while suspended: closed by its finalizer


async def cancelled_after_one_step(task):
    """Lets the task reach its first suspension, then cancels it and waits for it to end."""
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


async def under_loop(probe, cycles):
    loop = asyncio.get_running_loop()
    # On a busy machine debug mode reports slow steps, and pytest keeps every such log record:
    # growth that is not ours.
    loop.slow_callback_duration = 60
    done = loop.create_future()
    done.set_result("ready")
    for i in range(cycles):
        assert await probe.returns(i) == i
        assert await probe.awaits(done) == "ready"
        await cancelled_after_one_step(
            asyncio.create_task(probe.awaits_then_cleans_up(loop.create_future(), Recorder()))
        )
        with pytest.raises(KeyError):
            await probe.raises(KeyError(i))
        assert [x async for x in probe.items([i, i], Recorder)] == [i, i]
        gen = probe.items_cleanup_on_cancel([i], loop.create_future, Recorder())
        await cancelled_after_one_step(asyncio.create_task(anext(gen)))


def run_all(cycles, task_cycles):
    probe = host.Probe()
    for i in range(cycles):
        by_hand(probe, i)
    asyncio.run(under_loop(probe, task_cycles))


def test_cycles_leave_memory_and_live_objects_flat():
    run_all(1_000, 100)  # warm caches, interned names, the executor and loop machinery
    blocks, live = settle()
    run_all(CYCLES, TASK_CYCLES)
    blocks_after, live_after = settle()
    assert live_after == live
    assert blocks_after - blocks < BLOCK_GROWTH_BOUND
