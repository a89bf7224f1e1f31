import asyncio
import math
import struct
import threading
import time
import weakref

import pytest
from talvo.api import VideoControl, VideoFrame
from talvo.engine.video_reader import ImxFormatError, pack_demo_model, write_imx
from talvo.exceptions import VeldaModelNotSupported
from talvo.runtime import Talvo


def tone(samples, amplitude=20000, period=16.0):
    return b"".join(
        struct.pack("<h", int(amplitude * math.sin(i / period * 2 * math.pi))) for i in range(samples)
    )


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "orrin.imx"
    pack_demo_model(path, width=48, height=40)
    return path


def ready(model, **kwargs):
    talvo = Talvo(
        model_path=None, input_buffer_size=kwargs.pop("input_buffer_size", 0), num_threads=0, batch_workers=1
    )
    talvo.set_model(model)
    talvo.load_data()
    return talvo


def push(talvo, *items):
    for item in items:
        talvo._input_buffer.put_nowait(item)


def speech(frames):
    return [f for f in frames if f.speech]


def test_idle_frames_are_paced_at_25_fps(model):
    talvo = ready(model)
    start = time.perf_counter()
    frames = [f for f, _ in zip(talvo.run(lambda: True), range(20))]
    assert 0.6 <= time.perf_counter() - start <= 1.6
    assert [f.index for f in frames] == list(range(20))
    assert all(not f.speech and f.audio == b"" and len(f.image) == 48 * 40 * 3 for f in frames)
    assert weakref.ref(frames[0])() is frames[0] and not hasattr(frames[0], "__dict__")


def test_idle_timeout_ends_the_run_and_idle_frames_wait_for_the_output_side(model):
    talvo = ready(model)
    start = time.perf_counter()
    frames = list(talvo.run(lambda: True, idle_timeout=0.2))
    assert 0.15 <= time.perf_counter() - start <= 1.5 and 2 <= len(frames) <= 20
    # With the output side never empty only speech is produced.
    push(talvo, VideoControl.from_audio(tone(640), 16000, True), VideoControl(end_of_speech=True))
    frames = list(talvo.run(lambda: False, idle_timeout=0.2))
    assert [(f.speech, f.end_of_speech) for f in frames] == [(True, True)]


@pytest.mark.parametrize("rate", [16000, 8000])
def test_speech_frames_carry_exactly_the_pushed_audio(model, rate):
    talvo = ready(model)
    first, second = tone(rate // 10 + 77), tone(rate // 25 * 2, amplitude=3000)
    cuts = [0, 1, 500, 501, 1700, len(first) // 2]
    for a, b in zip(cuts, cuts[1:] + [len(first) // 2]):
        push(talvo, VideoControl.from_audio(first[2 * a : 2 * b], rate))
    push(
        talvo,
        "junk",
        VideoControl(end_of_speech=True),
        VideoControl.from_audio(second, rate, True),
        VideoControl(end_of_speech=True),
    )
    frames = speech(talvo.run(lambda: True, idle_timeout=0.2))
    assert b"".join(f.audio for f in frames) == first + second
    assert [f.end_of_speech for f in frames].count(True) == 2
    ends = [i for i, f in enumerate(frames) if f.end_of_speech]
    assert b"".join(f.audio for f in frames[: ends[0] + 1]) == first and ends[1] == len(frames) - 1
    assert all(
        len(f.audio) == rate // 25 * 2 and f.sample_rate == rate for f in frames if not f.end_of_speech
    )
    loud, quiet = frames[0].image, frames[-1].image
    assert loud != quiet  # mouth follows loudness


def test_end_after_the_audio_was_shown_gets_a_closing_frame(model):
    talvo = ready(model)
    push(talvo, VideoControl.from_audio(tone(1280), 16000))
    frames = talvo.run(lambda: True)
    assert [(len(f.audio), f.end_of_speech) for f in (next(frames), next(frames))] == [(1280, False)] * 2
    assert not next(frames).speech
    push(talvo, VideoControl(end_of_speech=True))
    closing = next(frames)
    assert (closing.speech, closing.audio, closing.end_of_speech) == (True, b"", True)
    assert not next(frames).speech


def test_unfinished_utterance_and_rate_change_lose_nothing(model):
    talvo = ready(model)
    a, b = tone(960), tone(200)
    push(talvo, VideoControl.from_audio(a, 16000), VideoControl.from_audio(b, 8000))
    frames = speech(talvo.run(lambda: True, idle_timeout=0.2))
    assert [(len(f.audio), f.sample_rate, f.end_of_speech) for f in frames] == [
        (1280, 16000, False),
        (640, 16000, True),
        (400, 8000, True),
    ]
    assert b"".join(f.audio for f in frames) == a + b


def test_cleanup_drops_the_untold_audio(model):
    talvo = ready(model)
    push(talvo, VideoControl.from_audio(tone(300), 16000))
    frames = talvo.run(lambda: True)
    assert not next(frames).speech
    talvo.cleanup()
    push(talvo, VideoControl(end_of_speech=True))
    assert not next(frames).speech


def test_model_lifecycle(model, tmp_path):
    talvo = Talvo(model_path=None, input_buffer_size=0, num_threads=2, batch_workers=1)
    assert (talvo.video_graph, talvo._video_loaded, talvo._model_hash, talvo.transaction_id) == (
        None,
        False,
        None,
        "",
    )
    assert talvo._regenerate_transaction_id() not in ("", talvo._regenerate_transaction_id())
    for bad, error in [
        ({"num_threads": 1.5}, TypeError),
        ({"input_buffer_size": -1}, ValueError),
        ({"batch_workers": 0}, ValueError),
    ]:
        with pytest.raises(error):
            Talvo(**bad)
    with pytest.raises(RuntimeError, match="set_model"):
        talvo.load_data()
    other = tmp_path / "other.imx"
    pack_demo_model(other, width=32, height=32)
    talvo.set_model(model)
    with pytest.raises(RuntimeError, match="load_data"):
        talvo.run(lambda: True)
    talvo.load_data()
    talvo._video_loaded = True
    graph = talvo.video_graph
    pack_demo_model(tmp_path / "velda.imx", model_type="velda")
    (tmp_path / "plain.bin").write_bytes(b"not a model")
    write_imx(tmp_path / "noframes.imx", {"x": b""}, {"model_type": "orrin"})
    for bad, error in [
        (None, ValueError),
        (tmp_path / "missing.imx", FileNotFoundError),
        (tmp_path / "plain.bin", ImxFormatError),
        (tmp_path / "velda.imx", VeldaModelNotSupported),
        (tmp_path / "noframes.imx", ImxFormatError),
    ]:
        with pytest.raises(error):
            talvo.set_model(bad)
        assert talvo.video_graph is graph and talvo._video_loaded
    talvo.set_model(model)  # same file again keeps the loaded data
    assert talvo._video_loaded and talvo.video_graph is graph
    talvo.set_model(other)
    assert not talvo._video_loaded and talvo.video_graph.width == 32
    with pytest.raises(RuntimeError, match="load_data"):
        talvo.run(lambda: True)


def test_input_buffer_back_pressure_keeps_order_and_the_loop_free(model):
    buffer = Talvo(input_buffer_size=1)._input_buffer

    async def scenario():
        loop = asyncio.get_running_loop()
        buffer.set_loop(loop)
        await asyncio.wait_for(buffer.aput("a"), 1)
        waiting = [asyncio.create_task(buffer.aput(x)) for x in "bcd"]
        ticks = 0
        for _ in range(10):
            await asyncio.sleep(0.005)
            ticks += 1
        assert ticks == 10 and not any(t.done() for t in waiting)
        taken = [await loop.run_in_executor(None, buffer.get_nowait)]
        await asyncio.wait_for(waiting[0], 1)
        assert not waiting[1].done()
        waiting[2].cancel()
        taken.append(await loop.run_in_executor(None, buffer.get_nowait))
        await asyncio.wait_for(waiting[1], 1)
        taken += buffer.drain()
        with pytest.raises(asyncio.CancelledError):
            await waiting[2]
        return taken

    assert asyncio.run(scenario()) == ["a", "b", "c"]
    assert len(buffer) == 0


def test_aput_feeds_a_running_renderer(model):
    talvo = ready(model, input_buffer_size=1)
    pcm = tone(640 * 6 + 100)
    frames, started = [], threading.Event()

    def render():
        started.set()
        frames.extend(talvo.run(lambda: True, idle_timeout=0.5))

    thread = threading.Thread(target=render)
    thread.start()

    async def produce():
        started.wait()
        for at in range(0, len(pcm), 700):
            await talvo._input_buffer.aput(VideoControl.from_audio(pcm[at : at + 700], 16000))
        await talvo._input_buffer.aput(VideoControl(end_of_speech=True))

    asyncio.run(produce())
    thread.join(5)
    assert not thread.is_alive()
    assert b"".join(f.audio for f in speech(frames)) == pcm and speech(frames)[-1].end_of_speech


@pytest.mark.parametrize(
    "args, error",
    [
        ((b"abc", 16000), ValueError),
        (("text", 16000), TypeError),
        ((None, 16000), TypeError),
        ((b"ab", 0), ValueError),
        ((b"ab", 16000.0), TypeError),
        ((b"ab", True), TypeError),
        ((b"ab", None), TypeError),
        ((b"ab", 16000, "yes"), TypeError),
    ],
)
def test_video_control_rejects_bad_audio(args, error):
    with pytest.raises(error):
        VideoControl.from_audio(*args)


def test_video_control_copies_and_defaults():
    source = bytearray(b"\x01\x02")
    message = VideoControl.from_audio(source, 16000, True)
    source[0] = 9
    assert (message.audio, message.sample_rate, message.last_chunk) == (b"\x01\x02", 16000, True)
    assert VideoControl(end_of_speech=True) == VideoControl(None, None, False, True)
    assert VideoFrame(0, 1, 1, b"abc").speech is False
