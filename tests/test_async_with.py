"""`async with runtime:` enters without starting anything and leaves through `stop()`, however
the block ends; the block's own error is never swallowed."""

import asyncio
from unittest import mock

import pytest
from talvo.runtime_async import AsyncTalvo


async def loaded(model) -> AsyncTalvo:
    runtime = await AsyncTalvo.create(model_path=model)
    await runtime.load_data_async()
    return runtime


def stopped(runtime: AsyncTalvo) -> bool:
    return runtime._running is False and runtime._thread is None


@pytest.mark.asyncio
async def test_enter_gives_the_runtime_and_starts_nothing_exit_stops_it(model):
    async with await loaded(model) as runtime:
        assert isinstance(runtime, AsyncTalvo) and stopped(runtime)
        async for _ in runtime.run(idle_timeout=0.2):
            break  # leaving the stream early leaves the runtime running...
        assert runtime._running and runtime._thread is not None
    assert stopped(runtime)  # ...until the block ends


@pytest.mark.asyncio
async def test_a_block_that_raises_is_stopped_and_its_error_passes_through(model):
    runtime = await loaded(model)
    error = KeyError("from the block")
    with pytest.raises(KeyError) as caught:
        async with runtime:
            await runtime.start()
            raise error
    assert caught.value is error
    assert stopped(runtime)


@pytest.mark.asyncio
async def test_a_cancelled_block_is_stopped_and_stays_cancelled(model):
    runtime = await loaded(model)
    entered = asyncio.Event()

    async def block():
        async with runtime:
            await runtime.start()
            entered.set()
            await asyncio.Event().wait()

    task = asyncio.create_task(block())
    await entered.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelled() and stopped(runtime)


@pytest.mark.asyncio
async def test_exit_awaits_the_stop_found_on_the_instance():
    runtime = AsyncTalvo()
    with mock.patch.object(AsyncTalvo, "stop", autospec=True) as stop:
        async with runtime as entered:
            assert entered is runtime
        stop.assert_awaited_once_with(runtime)

    class Failing(AsyncTalvo):
        async def stop(self):
            raise RuntimeError("stop failed")

    with pytest.raises(RuntimeError, match="stop failed") as caught:
        async with Failing():
            raise KeyError("block")
    assert isinstance(caught.value.__context__, KeyError)  # the block's error is kept
