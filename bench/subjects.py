"""The implementations under test behind one shape: ``start()``, ``run()`` (an async iterator
of frames), ``stop()`` and ``queue_full()``, each built over a fake renderer (``Source``)."""

from __future__ import annotations

from collections.abc import AsyncIterator, Callable, Iterator
from contextlib import contextmanager

from talvo.api import VideoFrame
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo

from bench.frames import Source
from bench.peers.janus_peer import JanusStream
from bench.peers.plain import PlainStream


@contextmanager
def fake_renderer() -> Iterator[None]:
    """Makes the base renderer's ``run`` hand out each instance's ``_bench_source`` frames."""

    original = Talvo.run

    def run(
        self: Talvo, out_buffer_empty: Callable[[], bool], idle_timeout: float | None = None
    ) -> Iterator[VideoFrame]:
        return self._bench_source()  # type: ignore[attr-defined]

    Talvo.run = run  # type: ignore[method-assign]
    try:
        yield
    finally:
        Talvo.run = original  # type: ignore[method-assign]


class TalvoStream:
    """``AsyncTalvo`` itself, in its default mode; needs ``fake_renderer()`` in force."""

    name = "talvo"
    frame_wait = "executor"

    def __init__(self, source: Source, output_buffer_size: int = 6) -> None:
        self.runtime = AsyncTalvo(output_buffer_size=output_buffer_size, frame_wait=self.frame_wait)
        self.runtime._bench_source = source

    def queue_full(self) -> bool:
        return self.runtime._frame_queue.full()

    async def start(self) -> None:
        await self.runtime.start()

    def run(self) -> AsyncIterator[VideoFrame]:
        return self.runtime.run()

    async def stop(self) -> None:
        await self.runtime.stop()


class TalvoLoopStream(TalvoStream):
    """``AsyncTalvo(frame_wait="loop")``: the stream waits on the loop, woken by the producer."""

    name = "talvo-loop"
    frame_wait = "loop"


IMPLEMENTATIONS = {cls.name: cls for cls in (TalvoStream, TalvoLoopStream, PlainStream, JanusStream)}
PEERS = ("plain", "janus")
