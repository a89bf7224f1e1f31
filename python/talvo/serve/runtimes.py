"""Opening one session's runtime, and the frame-wait modes a server can run."""

from __future__ import annotations

from typing import Any

from talvo import runtime_async
from talvo.demo import audio as demo_audio
from talvo.serve.settings import FrameWait, Settings


def frame_wait_modes() -> tuple[FrameWait, ...]:
    """The `frame_wait` values `AsyncTalvo.create` accepts, best first: in loop mode a session
    holds no executor worker, so the server needs no executor sized to its sessions."""
    return ("loop", "executor")


def choose_frame_wait(requested: str | None) -> FrameWait:
    """The mode the server runs: the one asked for, else the best."""
    modes = frame_wait_modes()
    if requested is None:
        return modes[0]
    for mode in modes:
        if requested == mode:
            return mode
    raise ValueError(f"--frame-wait must be one of {', '.join(modes)}, not {requested!r}")


async def open_runtime(settings: Settings) -> Any:
    """A runtime with its model open and loaded; stopped by the caller."""
    runtime = await runtime_async.AsyncTalvo.create(
        model_path=settings.model_path,
        input_buffer_size=settings.input_buffer_size,
        frame_wait=settings.frame_wait,
    )
    await runtime.load_data_async()
    return runtime


_BUILTIN: dict[str, tuple[bytes, int]] = {}


def builtin_utterance() -> tuple[bytes, int]:
    """Three seconds of the demo's speech-like audio, made once (it takes a while in pure Python)."""
    if "speech" not in _BUILTIN:
        _BUILTIN["speech"] = (demo_audio.speech_like(3.0), demo_audio.SAMPLE_RATE)
    return _BUILTIN["speech"]
