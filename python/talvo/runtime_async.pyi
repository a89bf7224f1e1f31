"""Asyncio front end of the Talvo renderer."""

import asyncio
import os
import queue
import threading
from types import TracebackType
from typing import AsyncGenerator, Callable, Final, Literal, Optional, Self

from loguru import logger as logger

from talvo.api import Interruption as Interruption
from talvo.api import VideoControl as VideoControl
from talvo.api import VideoFrame as VideoFrame
from talvo.exceptions import VeldaModelNotSupported as VeldaModelNotSupported
from talvo.runtime import Talvo as Talvo

__all__ = ["AsyncTalvo"]

BufferEmptyCallback = Callable[[], bool]

_STREAM_END: Final[object]

def _peek_model_type(model_path: str | os.PathLike[str]) -> str | None: ...
def _reject_if_velda_model(model_path: str | os.PathLike[str]) -> None: ...

class AsyncTalvo(Talvo):
    """Asynchronous wrapper for Talvo Runtime."""

    _model_path: str | os.PathLike[str] | None
    _model_hash: str | None
    _stop_event: threading.Event
    _thread: threading.Thread | None
    _frame_queue: queue.Queue[object]
    _running: bool
    _loop: asyncio.AbstractEventLoop | None
    _frame_wait: Literal["executor", "loop"]
    _frame_waiters: list[asyncio.Future[bool | None]]
    _start_gate: threading.Lock
    _producer_frame_count: int
    _producer_gen_time: float
    _interrupt_generation: int
    _interrupting: bool
    _interrupt_idle: threading.Event
    _speech_frames: dict[int, VideoFrame]
    _interrupted_frames: dict[int, VideoFrame]
    _played_seconds: float

    def __init__(
        self,
        *,
        model_path: str | os.PathLike[str] | None = None,
        input_buffer_size: int = 0,
        output_buffer_size: int = 6,
        load_model: bool = False,
        num_threads: int = 0,
        batch_workers: int = 1,
        frame_wait: Literal["executor", "loop"] = "executor",
    ) -> None: ...
    @classmethod
    async def create(
        cls,
        *,
        model_path: str | os.PathLike[str] | None = None,
        input_buffer_size: int = 0,
        output_buffer_size: int = 6,
        num_threads: int = 0,
        batch_workers: int = 1,
        quality: str = "medium",
        identity: str | None = None,
        frame_wait: Literal["executor", "loop"] = "executor",
    ) -> Self: ...
    async def set_model(self, model_path: str | os.PathLike[str] | None = None) -> Self: ...  # type: ignore[override]
    async def push_audio(
        self, data: bytes | bytearray | memoryview, sample_rate: int, last_chunk: bool = True
    ) -> None: ...
    async def push(self, control: VideoControl) -> None: ...
    async def flush(self) -> None: ...
    def run(  # type: ignore[override]
        self,
        out_buffer_empty: Optional[BufferEmptyCallback] = None,
        *,
        idle_timeout: float | None = None,
        loop: Optional[asyncio.AbstractEventLoop] = None,
    ) -> AsyncGenerator[VideoFrame, None]:  # noqa: UP043 (older checkers want both)
        """Stream video frames asynchronously; starts the runtime if it is not running.

        Ends after idle_timeout idle seconds (never with None), leaving the runtime running:
        a second run() then yields nothing (it ends after about 1 s with a warning), and
        speech pushed meanwhile waits for the run after stop(). Await stop() (or leave
        `async with`) between utterances that end by idle_timeout. Two run()s at once on
        one runtime split its frames between them.
        """
    async def start(
        self,
        out_buffer_empty: Optional[BufferEmptyCallback] = None,
        *,
        idle_timeout: float | None = None,
        loop: Optional[asyncio.AbstractEventLoop] = None,
    ) -> None: ...
    async def stop(self) -> None: ...
    async def shutdown(self) -> None: ...
    async def __aenter__(self) -> Self: ...
    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> None: ...
    async def set_identity(self, identity: object) -> None: ...
    def _frame_producer(
        self,
        out_buffer_empty: Optional[BufferEmptyCallback] = None,
        *,
        idle_timeout: float | None = None,
    ) -> None: ...
    async def load_data_async(self) -> None: ...
    async def interrupt(self) -> Interruption: ...  # type: ignore[override]
