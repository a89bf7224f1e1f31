"""The benchmark's implementations behave alike, so the figures compare like with like: every
frame in order and then the end, a renderer error raised to the consumer, and a stop that
ends the producer even while it waits on a full queue."""

import asyncio
import threading

import pytest

pytest.importorskip("janus")

from talvo.runtime import Talvo

from bench.frames import POOL, POOL_SIZE, Stamps, free_running, paced, silent
from bench.subjects import IMPLEMENTATIONS, fake_renderer

NAMES = sorted(IMPLEMENTATIONS)


@pytest.fixture(autouse=True)
def renderer():
    with fake_renderer():
        yield


async def wait_until(condition, timeout=5.0):
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not condition():
        assert loop.time() < deadline, "condition not met in time"
        await asyncio.sleep(0.001)


def producer_thread(stream):
    return getattr(stream, "runtime", stream)._thread


@pytest.mark.parametrize("name", NAMES)
class TestStream:
    @pytest.mark.asyncio
    async def test_every_frame_in_order_then_the_end(self, name):
        count = POOL_SIZE + 10
        stream = IMPLEMENTATIONS[name](free_running(count))
        got = [frame async for frame in stream.run()]
        await stream.stop()
        assert [f.index for f in got] == [i % POOL_SIZE for i in range(count)]
        assert all(f is POOL[f.index] for f in got)

    @pytest.mark.asyncio
    async def test_renderer_error_reaches_the_consumer(self, name):
        def broken():
            yield POOL[0]
            raise ValueError("renderer broke")

        stream = IMPLEMENTATIONS[name](broken)
        got = []
        with pytest.raises(ValueError, match="renderer broke"):
            async for frame in stream.run():
                got.append(frame)
        await stream.stop()
        assert got == [POOL[0]]

    @pytest.mark.asyncio
    async def test_stop_on_a_full_queue_ends_the_producer(self, name):
        stream = IMPLEMENTATIONS[name](free_running(10**9))
        await stream.start()
        thread = producer_thread(stream)
        await wait_until(stream.queue_full)
        await stream.stop()
        assert not thread.is_alive()

    @pytest.mark.asyncio
    async def test_silent_renderer_ends_once_released(self, name):
        release = threading.Event()
        stream = IMPLEMENTATIONS[name](silent(release))

        async def collect():
            return [frame async for frame in stream.run()]

        consumer = asyncio.create_task(collect())
        await wait_until(lambda: producer_thread(stream) is not None)
        assert not consumer.done()
        release.set()
        assert await asyncio.wait_for(consumer, 5.0) == []
        await stream.stop()


class TestFrames:
    def test_paced_stamps_each_frame_before_it_is_yielded(self):
        stamps = Stamps()
        frames = paced(stamps, count=3, fps=1000)()
        for i in range(3):
            frame = next(frames)
            assert frame is POOL[i] and stamps.at[i] > 0
        assert next(frames, None) is None

    def test_fake_renderer_restores_the_base_run(self):
        original = Talvo.run
        with fake_renderer():
            assert Talvo.run is not original
        assert Talvo.run is original
