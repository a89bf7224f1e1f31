"""The same pipeline on ``janus``: the producer thread puts through the queue's sync side and
the stream awaits its async side on the loop, so a take needs no executor worker. Capacity,
put, take and join time-outs match talvo's (the take's 1.0 s is an ``asyncio.timeout``)."""

from __future__ import annotations

import asyncio
import queue
import threading
from collections.abc import AsyncIterator

import janus
from talvo.api import VideoFrame

from bench.frames import Source
from bench.peers.plain import END, JOIN_TIMEOUT, PUT_TIMEOUT, TAKE_TIMEOUT


class JanusStream:
    name = "janus"

    def __init__(self, source: Source, output_buffer_size: int = 6) -> None:
        self._source = source
        self._queue: janus.Queue = janus.Queue(output_buffer_size)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._running = False

    def queue_full(self) -> bool:
        return self._queue.sync_q.full()

    def _drain(self) -> None:
        while True:
            try:
                self._queue.sync_q.get_nowait()
            except queue.Empty:
                return

    def _put(self, item: object) -> bool:
        put = self._queue.sync_q.put
        while not self._stop.is_set():
            try:
                put(item, timeout=PUT_TIMEOUT)
                return True
            except queue.Full:
                continue
        return False

    def _produce(self) -> None:
        sync_q = self._queue.sync_q
        try:
            for frame in self._source():
                if self._stop.is_set() or not self._put(frame):
                    break
        except Exception as exc:
            sync_q.put(exc)
        for _ in range(10):
            try:
                sync_q.put(END, timeout=PUT_TIMEOUT)
                return
            except queue.Full:
                try:
                    sync_q.get_nowait()
                except queue.Empty:
                    pass

    async def start(self) -> None:
        if self._running:
            return
        self._drain()
        self._stop.clear()
        self._running = True
        self._thread = threading.Thread(target=self._produce, name="janus-frame-producer", daemon=True)
        self._thread.start()

    async def run(self) -> AsyncIterator[VideoFrame]:
        await self.start()
        get = self._queue.async_q.get
        try:
            while True:
                try:
                    async with asyncio.timeout(TAKE_TIMEOUT):
                        item = await get()
                except TimeoutError:
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
        self._drain()
        thread = self._thread
        if thread is not None and thread.is_alive():
            await asyncio.get_running_loop().run_in_executor(None, thread.join, JOIN_TIMEOUT)
        self._running = False
        self._thread = None
