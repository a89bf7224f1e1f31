"""interrupt(): nothing of the interrupted utterance reaches the application after the call, nothing
pushed after it is lost, and played + dropped accounts for what was pushed."""

import asyncio
import random
import struct

import pytest
import talvo.runtime as renderer
from pipeline_harness import wait_until
from talvo.api import Interruption, VideoControl
from talvo.runtime_async import AsyncTalvo
from volume import scaled

FPS = 250  # the stand-in paced ten times faster: same code, more interrupts per second
RATE = 16000
RUNTIMES = 8
INTERRUPTS = scaled(1_000, 40, multiple_of=RUNTIMES)


def tagged(tag: int, samples: int) -> bytes:
    """Audio whose every sample is `tag`: a frame tells which utterance it came from."""
    return struct.pack("<h", tag) * samples


async def loaded(model, mode, **kw):
    runtime = await AsyncTalvo.create(model_path=model, frame_wait=mode, **kw)
    await runtime.load_data_async()
    return runtime


@pytest.fixture
def fast(monkeypatch):
    monkeypatch.setattr(renderer, "FPS", FPS)


async def speaker(runtime, rng, rounds, counts):
    """Speaks `rounds` utterances, interrupting most of them after a random number of frames."""
    frame_s = 1 / FPS
    seen: dict[int, int] = {}  # utterance tag -> bytes of it the stream has yielded
    state = {"cut": 0, "frames": 0}
    progress = asyncio.Event()

    async def consume():
        async for frame in runtime.run():
            state["frames"] += 1
            if frame.speech:
                tag = struct.unpack_from("<h", frame.audio)[0] if frame.audio else state["speaking"]
                assert tag > state["cut"], "a frame of an interrupted utterance came after the call"
                assert frame.audio == tagged(tag, len(frame.audio) // 2)
                seen[tag] = seen.get(tag, 0) + len(frame.audio)
                if frame.end_of_speech:
                    state["ended"] = tag
            progress.set()

    async def step():
        progress.clear()
        await progress.wait()

    consumer = asyncio.create_task(consume())
    consumer.add_done_callback(lambda _: progress.set())
    for tag in range(1, rounds + 1):
        state["speaking"] = tag
        pushed = 0
        for _ in range(rng.randint(1, 4)):
            samples = rng.randint(1, 3 * RATE // FPS)
            await runtime.push_audio(tagged(tag, samples), RATE)
            pushed += 2 * samples
        await runtime.flush()
        interrupt = rng.random() < 0.85
        wait = rng.randint(0, pushed // (2 * RATE // FPS)) if interrupt else None
        while state.get("ended") != tag and (wait is None or seen.get(tag, 0) < wait * 2 * RATE // FPS):
            await step()
            assert not consumer.done(), consumer.exception()
        if state.get("ended") == tag:  # spoke to its end: rendered whole
            assert seen[tag] == pushed
            counts["whole"] += 1
            continue
        before = seen.get(tag, 0)
        result = await runtime.interrupt()
        state["cut"] = tag
        assert result.played_seconds == pytest.approx(before / 2 / RATE)
        assert abs(result.played_seconds + result.dropped_seconds - pushed / 2 / RATE) <= frame_s + 1e-9
        counts["interrupts"] += 1
        for _ in range(rng.randint(0, 2)):  # the runtime goes on: frames keep coming
            await step()
    await runtime.stop()
    await consumer


@pytest.mark.parametrize("mode", ["executor", "loop"])
@pytest.mark.asyncio
async def test_random_interruptions(model, fast, mode):
    counts = {"interrupts": 0, "whole": 0}
    runtimes = [await loaded(model, mode) for _ in range(RUNTIMES)]
    rounds = INTERRUPTS * 100 // 85 // RUNTIMES
    await asyncio.gather(*(speaker(rt, random.Random(i), rounds, counts) for i, rt in enumerate(runtimes)))
    print(f"{mode}: {counts['interrupts']} interrupts, {counts['whole']} utterances spoken whole")
    # An utterance the renderer finishes before its chosen moment is spoken whole instead: how many
    # do depends on the machine's speed, so the count of interrupts is only bounded from below.
    assert counts["interrupts"] >= INTERRUPTS * 0.5 and counts["whole"] > 0


async def _collect(streams, until=lambda frame: False):
    """Frames the streams yield (read at once) until one satisfies `until` or they end."""
    frames = []

    async def read(stream):
        async for frame in stream:
            frames.append(frame)
            if until(frame):
                return

    tasks = [asyncio.ensure_future(read(s)) for s in streams]
    await asyncio.wait(tasks, timeout=5.0, return_when=asyncio.FIRST_COMPLETED)
    for task in tasks:
        task.cancel()
    await asyncio.gather(*tasks, return_exceptions=True)
    return frames


EDGES = [
    "stopped",
    "no_base_method",
    "cancelled",
    "end_of_utterance",
    "held_frame",
    "stop_race",
    "streams",
    "concurrent_push",
    "busy_output",
]


@pytest.mark.parametrize("mode", ["executor", "loop"])
@pytest.mark.parametrize("edge", EDGES)
@pytest.mark.asyncio
async def test_interrupt_edges(model, monkeypatch, mode, edge):
    rt = await loaded(model, mode, output_buffer_size=1 if edge == "held_frame" else 6)
    utterance, spoken = (
        tagged(7, RATE // 5),
        lambda f: f.speech and f.audio[:1] == b"\x08" and f.end_of_speech,
    )
    if edge in ("stopped", "no_base_method", "cancelled"):
        await rt.push_audio(utterance, RATE)
        await rt.push(VideoControl(end_of_speech=True))
        await rt.push("note")
    if edge == "stopped":  # drops the queued speech, keeps the other messages
        assert await rt.interrupt() == Interruption(0.0, 0.2)
        assert [type(m) for m in rt._input_buffer.drain()] == [VideoControl, str]
    elif edge == "no_base_method":  # a clear error, nothing changed
        monkeypatch.delattr(renderer.Talvo, "interrupt")
        with pytest.raises(NotImplementedError, match="interrupt"):
            await rt.interrupt()
        assert len(rt._input_buffer) == 3 and rt._interrupt_generation == 0
    elif edge == "cancelled":  # cancelled before it ran: nothing done
        task = asyncio.ensure_future(rt.interrupt())
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert len(rt._input_buffer) == 3
    else:
        stream = rt.run((lambda: False) if edge == "busy_output" else None)  # busy: idle frames only when due
        if edge in ("end_of_utterance", "held_frame"):
            await rt.start(idle_timeout=0.3 if edge == "end_of_utterance" else None)
        await rt.push_audio(utterance, RATE)
        await rt.flush()
        if edge == "end_of_utterance":  # its last frame and the end marker already queued
            await asyncio.to_thread(wait_until, lambda: not rt._thread.is_alive())
        elif edge == "held_frame":  # the queue full, the producer holding a speech frame
            await asyncio.to_thread(
                wait_until, lambda: getattr(rt, "_producer_frame_count", 0) >= 2 and rt._speech_frames
            )
        else:
            await _collect([stream], lambda f: f.speech)
        if edge == "stop_race":
            results = await asyncio.gather(rt.stop(), rt.interrupt())
            assert isinstance(results[1], Interruption) and not rt._running
            assert await rt.interrupt() == Interruption(0.0, 0.0)  # what the run left is not counted
            return
        if edge == "concurrent_push":  # from another task: dropped whole or rendered whole
            await asyncio.gather(rt.interrupt(), rt.push_audio(tagged(9, RATE // 5), RATE), rt.flush())
        else:
            result = await rt.interrupt()
            assert abs(result.played_seconds + result.dropped_seconds - 0.2) <= 1 / 25 + 1e-9
        streams = [stream, rt.run()] if edge == "streams" else [stream]
        if edge != "end_of_utterance":
            await rt.push_audio(tagged(8, RATE // 10), RATE)
            await rt.flush()
        frames = await _collect(streams, spoken)
        tags = [f.audio[0] for f in frames if f.speech and f.audio]
        assert 7 not in tags and tags.count(9) in (0, 5)
        if edge != "end_of_utterance":  # pushed after the call: rendered whole
            assert b"".join(f.audio for f in frames if f.audio[:1] == b"\x08") == tagged(8, RATE // 10)
    await rt.stop()
