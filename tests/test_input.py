"""Input forwarding: one message per call into the renderer's awaitable input buffer."""

import asyncio
import inspect
import warnings
from unittest import mock

import pytest
import talvo.runtime_async as ra
from talvo.api import VideoControl

pytestmark = pytest.mark.asyncio


class RecordingBuffer:
    """An input buffer that accepts each item after one loop turn and records it."""

    def __init__(self):
        self.items = []
        self.loops = []

    async def aput(self, item):
        await asyncio.sleep(0)
        self.items.append(item)

    def set_loop(self, loop):
        self.loops.append(loop)


@pytest.fixture
def runtime():
    t = ra.AsyncTalvo()
    t._input_buffer = RecordingBuffer()
    return t


class TestPushAudio:
    async def test_builds_the_message_with_from_audio_by_position(self, runtime):
        with mock.patch("talvo.runtime_async.VideoControl") as control:
            await runtime.push_audio(b"\x01\x00", 16000, False)
            await runtime.push_audio(b"\x02\x00", 8000)
        assert control.from_audio.call_args_list == [
            mock.call(b"\x01\x00", 16000, False),
            mock.call(b"\x02\x00", 8000, True),  # last_chunk defaults to true
        ]
        assert runtime._input_buffer.items == [control.from_audio.return_value] * 2

    async def test_keywords_and_real_message(self, runtime):
        assert await runtime.push_audio(data=b"\0\0", sample_rate=16000, last_chunk=True) is None
        (msg,) = runtime._input_buffer.items
        assert isinstance(msg, VideoControl)
        assert (msg.audio, msg.sample_rate, msg.last_chunk) == (b"\0\0", 16000, True)

    async def test_bad_audio_puts_nothing(self, runtime):
        with pytest.raises((TypeError, ValueError)):
            await runtime.push_audio("not bytes", 16000)
        assert runtime._input_buffer.items == []


class TestPushAndFlush:
    async def test_push_passes_any_object_unchanged(self, runtime):
        marker = object()
        await runtime.push(marker)
        await runtime.push(control=42)
        assert runtime._input_buffer.items[0] is marker
        assert runtime._input_buffer.items[1] == 42

    async def test_two_flushes_put_two_end_of_speech_messages(self, runtime):
        await runtime.flush()
        await runtime.flush()
        assert len(runtime._input_buffer.items) == 2
        for msg in runtime._input_buffer.items:
            assert msg.end_of_speech is True and msg.audio is None and not msg.last_chunk

    async def test_flush_uses_the_end_of_speech_keyword(self, runtime):
        with mock.patch("talvo.runtime_async.VideoControl") as control:
            await runtime.flush()
        control.assert_called_once_with(end_of_speech=True)

    async def test_none_checks_whether_the_runtime_started(self, runtime):
        assert runtime._running is False
        await runtime.push_audio(b"\0\0", 16000)
        await runtime.push(1)
        await runtime.flush()
        assert len(runtime._input_buffer.items) == 3
        assert runtime._input_buffer.loops == []

    async def test_errors_from_aput_reach_the_caller_unchanged(self, runtime):
        error = RuntimeError("buffer closed")

        async def failing(item):
            raise error

        runtime._input_buffer.aput = failing
        with mock.patch("talvo.runtime_async.logger") as logger:
            with pytest.raises(RuntimeError) as raised:
                await runtime.push(1)
        assert raised.value is error
        assert not logger.method_calls

    async def test_cancellation_while_the_put_waits(self, runtime):
        gate = asyncio.Event()

        async def blocked(item):
            await gate.wait()

        runtime._input_buffer.aput = blocked
        task = asyncio.create_task(runtime.push(1))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    async def test_real_buffer_holds_back_without_blocking_the_loop(self):
        t = ra.AsyncTalvo(input_buffer_size=1)
        await t.push(1)  # fills the buffer
        put = asyncio.create_task(t.push(2))
        ticks = 0
        while not put.done() and ticks < 20:
            ticks += 1
            await asyncio.sleep(0.005)  # the loop keeps running while the put waits
        assert not put.done()
        assert t._input_buffer.get_nowait() == 1
        await asyncio.wait_for(put, 2)
        assert t._input_buffer.get_nowait() == 2


class TestSetIdentity:
    MESSAGE = (
        "set_identity() is only supported for Velda models. Orrin models bake the reference "
        "face into the .imx at pack time \u2014 re-pack with a different --reference-face to "
        "change it."
    )

    @pytest.mark.parametrize("identity", [None, "face.png"])
    async def test_fails_when_awaited(self, runtime, identity):
        with pytest.raises(NotImplementedError) as raised:
            await runtime.set_identity(identity)
        assert str(raised.value) == self.MESSAGE

    async def test_calling_without_awaiting_raises_nothing(self, runtime):
        coro = runtime.set_identity("face.png")
        coro.close()

    async def test_missing_argument_is_a_type_error_at_call_time(self, runtime):
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'identity'"):
            runtime.set_identity()


class TestArgumentLists:
    @pytest.mark.parametrize(
        "call",
        [
            lambda t: t.push_audio(b""),
            lambda t: t.push_audio(b"", 1, True, 4),
            lambda t: t.push_audio(b"", 1, chunk=True),
            lambda t: t.push(),
            lambda t: t.flush(1),
        ],
    )
    async def test_wrong_lists_fail_at_call_time(self, runtime, call):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(TypeError):
                call(runtime)

    async def test_signatures(self):
        sig = inspect.signature(ra.AsyncTalvo.push_audio)
        assert list(sig.parameters) == ["self", "data", "sample_rate", "last_chunk"]
        assert sig.parameters["last_chunk"].default is True
        assert ra.AsyncTalvo.push_audio.__doc__.startswith("Push audio data to the runtime asynchronously.")
        assert ra.AsyncTalvo.push.__doc__.startswith("Push a VideoControl to the runtime asynchronously.")
        assert ra.AsyncTalvo.flush.__doc__ == "Flush the audio buffer, indicating end of speech."
        assert ra.AsyncTalvo.set_identity.__doc__.startswith(
            "Placeholder for API compatibility with the Velda runtime."
        )
