"""Opening one session's runtime, and which frame-wait modes this build of talvo offers."""

from __future__ import annotations

import inspect
from typing import Any

from talvo import runtime_async
from talvo.demo import audio as demo_audio
from talvo.serve.settings import Settings


def frame_wait_modes() -> tuple[str, ...]:
    """The `frame_wait` values `AsyncTalvo.create` accepts, best first.

    Builds before the loop-side delivery have no such parameter and always wait on the executor.
    """
    params = inspect.signature(runtime_async.AsyncTalvo.create).parameters
    return ("loop", "executor") if "frame_wait" in params else ("executor",)


def choose_frame_wait(requested: str | None) -> str:
    """The mode the server runs, or ValueError naming what this build lacks."""
    modes = frame_wait_modes()
    if requested is None:
        return modes[0]
    if requested not in modes:
        raise ValueError(f"--frame-wait {requested} is not supported by this build of talvo "
                         f"(it offers: {', '.join(modes)})")
    return requested


async def open_runtime(settings: Settings) -> Any:
    """A runtime with its model open and loaded; stopped by the caller."""
    kwargs: dict[str, Any] = {"model_path": settings.model_path,
                              "input_buffer_size": settings.input_buffer_size}
    if settings.frame_wait is not None and "frame_wait" in inspect.signature(
            runtime_async.AsyncTalvo.create).parameters:
        kwargs["frame_wait"] = settings.frame_wait
    runtime = await runtime_async.AsyncTalvo.create(**kwargs)
    await runtime.load_data_async()
    return runtime


_BUILTIN: dict[str, tuple[bytes, int]] = {}


def builtin_utterance() -> tuple[bytes, int]:
    """Three seconds of the demo's speech-like audio, made once (it takes a while in pure Python)."""
    if "speech" not in _BUILTIN:
        _BUILTIN["speech"] = (demo_audio.speech_like(3.0), demo_audio.SAMPLE_RATE)
    return _BUILTIN["speech"]
