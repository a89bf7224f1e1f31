"""Raw frames on the session's own WebSocket: the RGB24 image and the PCM slice of each frame
in one binary message (protocol.encode_frame), for a page on the same machine or network."""

from __future__ import annotations

import asyncio
import time
from typing import Any

from loguru import logger

from talvo.serve import protocol
from talvo.serve.settings import Settings
from talvo.serve.transports import Delivery as _Base
from talvo.serve.transports import SessionEnded


class Delivery(_Base):
    name = "websocket"

    def __init__(self, ws: Any, settings: Settings, number: int) -> None:
        super().__init__(ws, settings, number, settings.outbox_frames)
        self._sending: asyncio.Future[None] | None = None  # the frame on its way out

    async def run(self, runtime: Any) -> None:
        queue = runtime._frame_queue
        while True:
            frame, deadline = await self.outbox.get()
            now = time.perf_counter()
            data = protocol.encode_frame(
                frame,
                depth=len(self.outbox) + queue.qsize(),
                dropped=self.outbox.dropped,
                deadline=deadline,
                latency_ms=(now - deadline) * 1000.0,
            )
            # Shielded: a send cancelled while it waits for the page would cancel the drain
            # waiter aiohttp shares among all writes on this socket, failing the close's too.
            self._sending = asyncio.ensure_future(self.ws.send_bytes(data))
            try:
                async with asyncio.timeout(self.settings.send_timeout):
                    await asyncio.shield(self._sending)
            except TimeoutError:
                logger.warning(
                    "session {}: the page took no frame for {} s, closing",
                    self.number,
                    self.settings.send_timeout,
                )
                raise SessionEnded("the page stopped reading frames", 1008) from None
            except ConnectionError:  # the page went away; the receive side ends the session
                return
            except Exception as e:  # anything else would leave the page with a frozen face
                logger.error("session {}: sending a frame failed: {}", self.number, e)
                raise SessionEnded(f"sending a frame failed: {e}") from None
            self.count_sent(frame, len(data), now - deadline)

    async def close(self) -> None:
        if self._sending is not None and self._sending.cancel():  # the socket is gone by now
            await asyncio.gather(self._sending, return_exceptions=True)
