"""The whole pipeline against the stand-in renderer: a model on disk, speech in, frames out."""

import asyncio
import json
import math
import struct
import subprocess
import sys

import pytest
from talvo.engine.video_reader import pack_demo_model
from talvo.runtime_async import AsyncTalvo

RATE = 16000
SAMPLES_PER_FRAME = RATE // 25


def speech(seconds: float) -> bytes:
    n = int(seconds * RATE)
    return b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * 220 * i / RATE)))
                    for i in range(n))


@pytest.fixture
def model(tmp_path):
    path = str(tmp_path / "orrin.imx")
    pack_demo_model(path)
    return path


async def speak(runtime, pcm: bytes, chunk: int = 3200) -> None:
    for i in range(0, len(pcm), chunk):
        await runtime.push_audio(pcm[i:i + chunk], RATE, i + chunk >= len(pcm))
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
    assert frames[last_speech + 1:] and not any(f.speech for f in frames[last_speech + 1:])
    assert runtime._running is False and runtime._thread is None


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


def test_the_demo_runs(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.run(
        [sys.executable, "-m", "talvo", "--seconds", "0.6", "--idle-timeout", "0.3",
         "--scale", "1", "--out", str(out)],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    summary = json.loads((out / "summary.json").read_text())
    assert summary["audio_intact"] and summary["speech_frames"] > 0
    assert summary["returned_to_idle"]
    for name in ("frames.png", "contact_sheet.png"):
        assert (out / name).read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


@pytest.mark.parametrize("args,needle", [
    (["--audio", "/nonexistent.wav"], "no such file"),
    (["--model", "/nonexistent.imx"], "no such model file"),
    (["--seconds", "0"], "--seconds"),
])
def test_the_demo_reports_bad_input_in_one_line(tmp_path, args, needle):
    proc = subprocess.run([sys.executable, "-m", "talvo", "--out", str(tmp_path), *args],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode != 0
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and needle in lines[0]
