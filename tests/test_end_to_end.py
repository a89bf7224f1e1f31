"""The whole pipeline against the stand-in renderer: a model on disk, speech in, frames out."""

import asyncio
import math
import struct
import threading
from unittest import mock

import pytest
from pipeline_harness import collect, ready
from talvo.runtime_async import AsyncTalvo

RATE = 16000
SAMPLES_PER_FRAME = RATE // 25


def speech(seconds: float) -> bytes:
    n = int(seconds * RATE)
    return b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 220 * i / RATE))) for i in range(n))


async def speak(runtime, pcm: bytes, chunk: int = 3200) -> None:
    for i in range(0, len(pcm), chunk):
        await runtime.push_audio(pcm[i : i + chunk], RATE, i + chunk >= len(pcm))
        await asyncio.sleep(0.05)  # faster than real time: the renderer paces itself
    await runtime.flush()


@pytest.mark.asyncio
async def test_speech_frames_carry_every_pushed_sample_in_order(model):
    runtime = await AsyncTalvo.create(model_path=model)
    await runtime.load_data_async()
    pcm = speech(2.0)
    frames = []
    speaker = None
    async for frame in runtime.run(idle_timeout=1.0):
        if speaker is None:
            speaker = asyncio.create_task(speak(runtime, pcm))
        frames.append(frame)
    await speaker
    await runtime.stop()

    speech_frames = [f for f in frames if f.speech]
    assert b"".join(f.audio for f in speech_frames) == pcm  # none lost, none twice
    assert len(speech_frames) == len(pcm) // 2 // SAMPLES_PER_FRAME
    assert [f.index for f in frames] == sorted(f.index for f in frames)
    assert speech_frames[-1].end_of_speech
    last_speech = frames.index(speech_frames[-1])
    assert frames[last_speech + 1 :] and not any(f.speech for f in frames[last_speech + 1 :])
    assert runtime._running is False and runtime._thread is None


@pytest.mark.asyncio
@pytest.mark.parametrize("mode", ["executor", "loop"])
async def test_stop_ends_an_idle_renderer_whose_output_side_stays_busy(model, mode):
    runtime = await AsyncTalvo.create(model_path=model, frame_wait=mode)
    await runtime.load_data_async()
    asked = threading.Event()
    await runtime.start(lambda: asked.set() or False)
    assert await asyncio.to_thread(asked.wait, 10)
    thread = runtime._thread
    await runtime.stop()
    assert not thread.is_alive()


def test_two_event_loops_in_a_row_on_one_instance(model):
    """stop forgets its loop, so the next loop's set_model and load_data_async work."""
    runtime = AsyncTalvo(model_path=model)

    async def session():
        await runtime.set_model()
        await runtime.load_data_async()
        frames = []
        async for frame in runtime.run(idle_timeout=0.2):
            frames.append(frame)
        await runtime.stop()
        return frames

    assert asyncio.run(session())
    assert runtime._loop is None
    runtime._video_loaded = False  # load again under the second loop
    assert asyncio.run(session())


class TestWithTheStandInRenderer:
    @pytest.mark.asyncio
    async def test_frames_flow_at_25_fps_until_the_idle_timeout(self, model):
        t = ready(model)
        with mock.patch("talvo.runtime_async.logger") as logger:
            taken = await collect(t.run(idle_timeout=0.3))
            await t.stop()
        assert [f.index for f in taken] == list(range(len(taken))) and len(taken) >= 2
        stamps = [f.timestamp for f in taken]
        assert all(b - a >= 0.04 - 1e-9 for a, b in zip(stamps, stamps[1:]))  # paced, no burst
        assert stamps[-1] < 0.3
        assert all(not f.speech and f.width == 32 for f in taken)
        logger.warning.assert_not_called()

    @pytest.mark.asyncio
    async def test_stop_while_frames_flow_ends_the_producer(self, model):
        t = ready(model)
        with mock.patch("talvo.runtime_async.logger") as logger:
            assert len(await collect(t.run(), limit=3)) == 3
            thread = t._thread
            await t.stop()
        assert not thread.is_alive() and t._running is False
        logger.warning.assert_not_called()

    @pytest.mark.asyncio
    async def test_pushed_audio_comes_back_in_speech_frames(self, model):
        t = ready(model)
        audio = b"".join(struct.pack("<h", (i * 97) % 20000 - 10000) for i in range(4000))
        with mock.patch("talvo.runtime_async.logger"):
            await t.push_audio(audio, 16000, last_chunk=True)
            await t.flush()
            spoken = []
            async for frame in t.run(idle_timeout=0.2):
                if frame.speech:
                    spoken.append(frame)
            await t.stop()
        assert b"".join(f.audio for f in spoken) == audio
        assert [f.end_of_speech for f in spoken] == [False] * (len(spoken) - 1) + [True]
