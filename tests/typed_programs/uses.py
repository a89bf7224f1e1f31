"""Every operation of AsyncTalvo used as the documentation shows: both checkers must pass it."""

import asyncio
import contextlib
from pathlib import Path
from typing import assert_type

from talvo.api import Interruption, VideoControl, VideoFrame
from talvo.runtime_async import AsyncTalvo


class Mine(AsyncTalvo):
    pass


async def session(model: Path) -> list[VideoFrame]:
    runtime = AsyncTalvo(model_path=model, output_buffer_size=4)
    assert_type(await runtime.set_model(model), AsyncTalvo)
    await runtime.set_model("other.imx")
    await runtime.load_data_async()
    await runtime.push_audio(b"\0\0", 16000)
    await runtime.push_audio(bytearray(2), 16000, last_chunk=False)
    await runtime.push_audio(memoryview(b"\0\0"), 16000, False)
    await runtime.push(VideoControl.from_audio(b"", 16000))
    await runtime.flush()
    assert_type(await runtime.interrupt(), Interruption)
    await runtime.set_identity("face.png")
    await runtime.start(lambda: True, idle_timeout=1.0, loop=asyncio.get_running_loop())
    await runtime.stop()
    await runtime.shutdown()

    frames: list[VideoFrame] = []
    async with contextlib.aclosing(runtime.run(idle_timeout=0.5)) as stream:
        async for frame in stream:
            frames.append(frame)
    await runtime.run().aclose()

    async with await AsyncTalvo.create(model_path=model, quality="high") as created:
        assert_type(created, AsyncTalvo)
        frames.append(await anext(created.run()))
    async with Mine() as mine:
        assert_type(mine, Mine)
    created_mine: Mine = await Mine.create(model_path=model)  # a subclass builds its own kind
    assert_type(await created_mine.set_model(model), Mine)
    async with asyncio.timeout(1.0):
        await runtime.stop()
    return frames
