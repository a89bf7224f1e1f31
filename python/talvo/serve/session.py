"""One browser tab: its own runtime, frames out through its delivery, speech in from the page."""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import math
import os
import time
from collections.abc import Callable
from typing import Any

from aiohttp import WSCloseCode, WSMsgType, web
from loguru import logger

from talvo.serve import metrics, protocol, runtimes, transports, wav
from talvo.serve.budget import Budget
from talvo.serve.settings import Settings

CHUNK_SECONDS = 0.1  # speech pushed per push_audio when the server paces an utterance
LEAD_SECONDS = 0.2  # pushed ahead of real time, so the renderer never waits mid-word

_numbers = itertools.count(1)


class Session:
    def __init__(
        self,
        ws: web.WebSocketResponse,
        settings: Settings,
        transport: asyncio.Transport | None,
        on_finished: Callable[[Session], None] = lambda session: None,
    ) -> None:
        self.ws = ws
        self._transport = transport
        self._on_finished = on_finished
        self.settings = settings
        self.number = next(_numbers)
        self.runtime: Any = None
        self.delivery = transports.open_delivery(ws, settings, self.number)  # how frames leave
        self.finished = asyncio.Event()
        self._releasing: asyncio.Future[None] | None = None
        self._feeder: asyncio.Task[None] | None = None
        self._sender: asyncio.Task[None] | None = None
        self._upload_size: int | None = None  # announced; the next binary message is the file
        self._stream_rate: int | None = None  # a streamed (microphone) utterance is open
        self._streamed_bytes = 0
        self._refused = Budget(settings.refusals_per_second)
        self._refusals_muted = False  # refused faster than answered: the page is told nothing now
        # No utterance under way: set once the frame ending the last one has gone out. A drain
        # lets a session finish what it is saying, and takes no new utterance meanwhile.
        self.quiet = asyncio.Event()
        self.quiet.set()
        self.delivery.utterance_ended = self.quiet.set
        self.draining = False
        metrics.session_opened()

    # -- lifetime ------------------------------------------------------------------------------

    async def serve(self) -> None:
        """Run until the socket closes; the runtime is stopped before this returns."""
        workers: list[asyncio.Task[None]] = []
        try:
            try:
                self.runtime = await runtimes.open_runtime(self.settings)
            except Exception as e:  # a model that opened at start-up can still fail per session
                logger.error("session {}: cannot open the model: {}", self.number, e)
                await self._close_with("error", f"cannot open the model: {e}", code=1011)
                return
            width, height = self.runtime.video_graph.width, self.runtime.video_graph.height
            hello = protocol.dumps(
                "hello",
                session=self.number,
                worker=os.getpid(),
                width=width,
                height=height,
                fps=25,
                frame_wait=self.settings.frame_wait,
                max_upload_bytes=self.settings.max_upload_bytes,
                max_utterance_seconds=self.settings.max_utterance_seconds,
                max_chunk_bytes=self.settings.max_chunk_bytes,
                **self.delivery.hello(),
            )
            try:
                await self.ws.send_str(hello)
            except ConnectionError:  # the tab left while its runtime was opening
                return
            self._sender = asyncio.create_task(self._send(), name=f"talvo-serve-send-{self.number}")
            workers = [
                asyncio.create_task(self._pump(), name=f"talvo-serve-pump-{self.number}"),
                self._sender,
            ]
            await self._receive()
        finally:
            # Its own task: the server may cancel this handler again (client gone, shutdown),
            # and that must not cut the runtime's stop short or leave `finished` unset.
            self._releasing = asyncio.ensure_future(self._release(workers))
            self._releasing.add_done_callback(self._released)
            await asyncio.shield(self._releasing)

    def _released(self, _: asyncio.Future[None]) -> None:
        metrics.session_closed(self.delivery.unreported_drops())
        self.finished.set()
        self._on_finished(self)

    async def _release(self, workers: list[asyncio.Task[None]]) -> None:
        tasks = [t for t in (self._feeder, *workers) if t is not None]
        for task in tasks:
            task.cancel()
        # The pump's stream stops the runtime as its cancellation passes; stop() again covers a
        # pump that had already ended, and is cheap on a stopped runtime.
        await asyncio.gather(*tasks, return_exceptions=True)
        if self.runtime is not None:
            try:
                await self.runtime.stop()
            except Exception as e:
                logger.error("session {}: stopping the runtime failed: {}", self.number, e)
        if not self.ws.closed:
            await self._close(WSCloseCode.OK, "")
        await self.delivery.close()
        logger.info(
            "session {} closed after {} frames ({} dropped)",
            self.number,
            self.frames_sent,
            self.outbox.dropped,
        )

    @property
    def outbox(self) -> Any:
        return self.delivery.outbox

    @property
    def frames_sent(self) -> int:
        return self.delivery.sent

    async def shutdown(self, message: str = "the server is stopping") -> None:
        """Close the socket (the session then stops its runtime) and wait until it has."""
        if not self.ws.closed:
            await self._close(WSCloseCode.GOING_AWAY, message)
        await self.finished.wait()

    async def drain(self, seconds: float) -> None:
        """Tell the page the server is stopping, let an utterance under way end (for up to
        `seconds`), then close the session."""
        self.draining = True
        with contextlib.suppress(Exception):
            await self.ws.send_str(protocol.dumps("draining", seconds=seconds))
        with contextlib.suppress(TimeoutError):
            async with asyncio.timeout(seconds):
                await self.quiet.wait()
        await self.shutdown("the server is restarting: reload to reconnect")

    async def _close_with(self, kind: str, message: str, code: int) -> None:
        await self._close(code, message, notice=protocol.dumps(kind, message=message))

    async def _close(self, code: int, message: str, notice: str | None = None) -> None:
        """Send the notice, then close the socket, and wait until both have left this process,
        so the page learns why even when the server exits right after (its stop).

        Both queue behind frames the page has not read yet. A page that reads nothing for
        close_timeout is cut off instead, as is one whose close is interrupted: a stalled tab
        can neither keep its session and runtime alive (its heartbeat ends with the close)
        nor hold up the server's stop.
        """
        if self.ws.closed:  # another task is closing it, under the same bound
            return
        # aiohttp's writers share one drain waiter, and a sender cancelled while it waits
        # cancels that waiter for every writer: the sender goes first, not during the close.
        sender = self._sender
        if sender is not None and sender is not asyncio.current_task():
            sender.cancel()
            await asyncio.gather(sender, return_exceptions=True)
        transport, sent = self._transport, False
        try:
            async with asyncio.timeout(self.settings.close_timeout):
                if notice is not None:
                    with contextlib.suppress(Exception):
                        await self.ws.send_str(notice)
                if transport is not None and not transport.is_closing():
                    transport.set_write_buffer_limits(high=0)  # close's drain then waits for all
                with contextlib.suppress(Exception):
                    await self.ws.close(code=code, message=message[:120].encode())
                sent = True
        except TimeoutError:
            logger.warning(
                "session {}: the page read nothing for {} s while its socket closed; cut off",
                self.number,
                self.settings.close_timeout,
            )
        finally:
            if not sent and transport is not None:
                transport.abort()  # ends the session's receive loop too

    # -- frames out ----------------------------------------------------------------------------

    async def _pump(self) -> None:
        runtime, delivery = self.runtime, self.delivery
        frames = runtime._frame_queue

        def out_buffer_empty() -> bool:  # idle frames only for a tab that keeps up
            return not delivery.pending() and frames.empty()

        # The renderer stamps each frame with its deadline on its own clock; the frame taken
        # soonest after its deadline fixes that clock's offset to ours.
        offset = math.inf
        try:
            async for frame in runtime.run(out_buffer_empty):
                offset = min(offset, time.perf_counter() - frame.timestamp)
                delivery.put(frame, offset + frame.timestamp)
        except Exception as e:
            logger.error("session {}: the renderer failed: {}", self.number, e)
            await self._close_with("error", f"the renderer failed: {e}", code=1011)
            return
        await self._close_with("error", "the renderer ended the stream", code=1011)

    async def _send(self) -> None:
        try:
            await self.delivery.run(self.runtime)
        except transports.SessionEnded as e:
            await self._close_with("error", str(e), code=e.code)

    # -- speech in -----------------------------------------------------------------------------

    async def _receive(self) -> None:
        async for msg in self.ws:
            try:
                if msg.type == WSMsgType.TEXT:
                    await self._on_text(protocol.parse_text(msg.data))
                elif msg.type == WSMsgType.BINARY:
                    await self._on_binary(msg.data)
                elif msg.type == WSMsgType.ERROR:  # e.g. a message over the size limit
                    logger.warning("session {}: socket error: {}", self.number, self.ws.exception())
                    return
            except (protocol.MessageError, wav.WavError) as e:
                if not await self._refuse(str(e)):
                    return
            except ConnectionError:
                return
            except Exception as e:  # the runtime refused input: this session ends, no other
                logger.error("session {}: {}: {}", self.number, type(e).__name__, e)
                await self._close_with("error", f"the session failed: {e}", code=1011)
                return
            # Messages already buffered are read without waiting: a tab that sends thousands
            # at once must still let every other tab's frames out between them.
            await asyncio.sleep(0)

    async def _refuse(self, message: str) -> bool:
        """Answer a refused message, a burst of them and then at a bounded rate (the rest go
        unanswered and unlogged); close a tab that goes on far beyond. False once closed."""
        settings = self.settings
        level = self._refused.spend()
        if level <= settings.refusal_burst:
            self._refusals_muted = False
            logger.info("session {}: refused input: {}", self.number, message)
            with contextlib.suppress(ConnectionError):
                await self.ws.send_str(protocol.dumps("error", message=message))
        elif level <= settings.flood_limit:
            if not self._refusals_muted:
                self._refusals_muted = True
                logger.warning("session {}: refusing input too often; not answering it for now", self.number)
        else:
            logger.warning("session {}: closed: it kept sending input that is refused", self.number)
            await self._close_with("error", "too many refused messages", code=WSCloseCode.POLICY_VIOLATION)
            return False
        return True

    def _busy(self) -> bool:
        return (
            (self._feeder is not None and not self._feeder.done())
            or self._stream_rate is not None
            or self._upload_size is not None
        )

    def _check_idle(self) -> None:
        if self.draining:
            raise protocol.MessageError("the server is restarting: it takes no new utterance")
        if self._busy():
            raise protocol.MessageError("already speaking: wait for the current utterance to end")

    async def _on_text(self, message: dict[str, Any]) -> None:
        kind = message["type"]
        if kind == "builtin":
            self._check_idle()
            pcm, rate = runtimes.builtin_utterance()
            await self._start_feeder(pcm, rate, "the built-in utterance", "builtin")
        elif kind == "upload":
            self._check_idle()
            size = message.get("size")
            limit = self.settings.max_upload_bytes
            if isinstance(size, bool) or not isinstance(size, int) or size <= 0:
                raise protocol.MessageError("upload: size must be a positive integer")
            if size > limit:
                raise wav.WavError(f"the upload is too large: {protocol.quote(size)} bytes (limit {limit})")
            self._upload_size = size
            self.quiet.clear()
        elif kind == "audio_start":
            self._check_idle()
            self._stream_rate = wav.check_rate(message.get("sample_rate"))
            self._streamed_bytes = 0
            self.quiet.clear()
            metrics.utterance_started("microphone")
            await self.ws.send_str(protocol.dumps("speaking", source="microphone"))
        elif kind == "interrupt":
            await self._interrupt()
        elif kind in transports.SIGNALLING:
            await self.delivery.on_message(message)
        elif kind == "audio_end":
            if self._stream_rate is None:
                raise protocol.MessageError("audio_end without audio_start")
            self._stream_rate = None
            await self.runtime.flush()

    async def _interrupt(self) -> None:
        """Stop speaking now: no more of the utterance is pushed, none of it rendered or sent."""
        feeder, self._feeder = self._feeder, None
        if feeder is not None and feeder.cancel():
            await asyncio.gather(feeder, return_exceptions=True)
        self._stream_rate = self._upload_size = None  # a microphone's later chunks are refused
        result = await self.runtime.interrupt()
        # Frames of it already past the runtime, waiting for the socket, go too.
        unsent = self.delivery.discard_speech()
        metrics.interrupted()
        self.quiet.set()  # nothing more of it will be said: a drain need not wait for it
        logger.info("session {}: interrupted after {:.2f} s", self.number, result.played_seconds)
        await self.ws.send_str(
            protocol.dumps(
                "interrupted",
                played_seconds=round(max(0.0, result.played_seconds - unsent), 3),
                dropped_seconds=round(result.dropped_seconds + unsent, 3),
            )
        )

    async def _on_binary(self, data: bytes) -> None:
        if self._upload_size is not None:
            size, self._upload_size = self._upload_size, None
            if len(data) != size:
                self.quiet.set()
                raise wav.WavError(f"the upload holds {len(data)} bytes, {size} were announced")
            try:
                pcm, rate = wav.parse_wav(
                    data,
                    max_bytes=self.settings.max_upload_bytes,
                    max_seconds=self.settings.max_utterance_seconds,
                )
            except wav.WavError:
                self.quiet.set()  # nothing will be said
                raise
            await self._start_feeder(pcm, rate, "the uploaded file", "upload")
        elif self._stream_rate is not None:
            rate = self._stream_rate
            if len(data) > self.settings.max_chunk_bytes:
                raise protocol.MessageError(
                    f"audio chunk too large: {len(data)} bytes (limit {self.settings.max_chunk_bytes})"
                )
            if len(data) % 2:
                raise protocol.MessageError(
                    f"audio chunk must hold whole 16-bit samples, got {len(data)} bytes"
                )
            self._streamed_bytes += len(data)
            if self._streamed_bytes / 2 / rate > self.settings.max_utterance_seconds:
                self._stream_rate = None
                await self.runtime.flush()  # what came in time is still spoken
                raise protocol.MessageError(
                    f"utterance too long (limit {self.settings.max_utterance_seconds:g} s): ended"
                )
            await self.runtime.push_audio(data, rate, False)
        else:
            raise protocol.MessageError(
                'unexpected binary message: send {"type": "upload"} or {"type": "audio_start"} first'
            )

    async def _start_feeder(self, pcm: bytes, rate: int, what: str, source: str) -> None:
        self.quiet.clear()
        metrics.utterance_started(source)
        self._feeder = asyncio.create_task(self._speak(pcm, rate), name=f"talvo-serve-speak-{self.number}")
        self._feeder.add_done_callback(self._feeder_done)
        seconds = len(pcm) / 2 / rate
        logger.info("session {}: speaking {} ({:.1f} s)", self.number, what, seconds)
        with contextlib.suppress(ConnectionError):
            await self.ws.send_str(protocol.dumps("speaking", source=what, seconds=round(seconds, 2)))

    def _feeder_done(self, task: asyncio.Task[None]) -> None:
        if not task.cancelled() and task.exception() is not None:
            self.quiet.set()  # no end of speech will come
            logger.error("session {}: pushing speech failed: {}", self.number, task.exception())

    async def _speak(self, pcm: bytes, rate: int) -> None:
        """Push a whole utterance at the pace it is spoken, then end it."""
        runtime = self.runtime
        step = max(2, int(rate * CHUNK_SECONDS) * 2)
        start = time.perf_counter()
        pushed = 0.0
        for i in range(0, len(pcm), step):
            chunk = pcm[i : i + step]
            await runtime.push_audio(chunk, rate, i + step >= len(pcm))
            pushed += len(chunk) / 2 / rate
            delay = start + pushed - LEAD_SECONDS - time.perf_counter()
            if delay > 0:
                await asyncio.sleep(delay)
        await runtime.flush()
