"""The baseline: talvo's pipeline written in plain Python asyncio.

A producer thread iterates the renderer and moves frames onto a bounded ``queue.Queue`` with
0.5 s timed puts that keep watching a stop event; the stream takes items on the default
executor (``get(timeout=1.0)``), ends on an end marker, and ``stop`` sets the event, drains the
queue and joins the thread (5.0 s) on the executor.
"""

from __future__ import annotations

import asyncio
import functools
import queue
import threading
from collections.abc import AsyncIterator

from talvo.api import VideoFrame

from bench.frames import Source

END = object()
PUT_TIMEOUT = 0.5
TAKE_TIMEOUT = 1.0
JOIN_TIMEOUT = 5.0


def _drain(q: queue.Queue) -> None:
    while True:
        try:
            q.get_nowait()
        except queue.Empty:
            return


class PlainStream:
    name = "plain"

    def __init__(self, source: Source, output_buffer_size: int = 6) -> None:
        self._source = source
        self._queue: queue.Queue = queue.Queue(output_buffer_size)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._running = False

    def queue_full(self) -> bool:
        return self._queue.full()

    def _put(self, item: object) -> bool:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=PUT_TIMEOUT)
                return True
            except queue.Full:
                continue
        return False

    def _produce(self) -> None:
        try:
            for frame in self._source():
                if self._stop.is_set() or not self._put(frame):
                    break
        except Exception as exc:  # the stream raises it on the loop
            self._queue.put(exc)
        for _ in range(10):  # leave the end marker, dropping the oldest frame for room
            try:
                self._queue.put(END, timeout=PUT_TIMEOUT)
                return
            except queue.Full:
                _drain_one(self._queue)

    async def start(self) -> None:
        if self._running:
            return
        _drain(self._queue)
        self._stop.clear()
        self._running = True
        self._thread = threading.Thread(target=self._produce, name="plain-frame-producer", daemon=True)
        self._thread.start()

    async def run(self) -> AsyncIterator[VideoFrame]:
        await self.start()
        loop = asyncio.get_running_loop()
        take = functools.partial(self._queue.get, timeout=TAKE_TIMEOUT)
        try:
            while True:
                try:
                    item = await loop.run_in_executor(None, take)
                except queue.Empty:
                    if self._thread is not None and self._thread.is_alive():
                        continue
                    return
                if item is END:
                    return
                if isinstance(item, Exception):
                    raise item
                yield item
        except asyncio.CancelledError:
            await self.stop()
            raise

    async def stop(self) -> None:
        if not self._running:
            return
        self._stop.set()
        _drain(self._queue)
        thread = self._thread
        if thread is not None and thread.is_alive():
            await asyncio.get_running_loop().run_in_executor(None, thread.join, JOIN_TIMEOUT)
        self._running = False
        self._thread = None


def _drain_one(q: queue.Queue) -> None:
    try:
        q.get_nowait()
    except queue.Empty:
        pass
