"""Compressed video and Opus audio over WebRTC (aiortc), signalled on the session's WebSocket.

One peer connection per session, with one video and one audio track in one media stream, so
the browser keeps mouth and sound together from the shared RTCP clock. Both tracks are stamped
from the renderer's clock and paced by it (no pacing of aiortc's own: its helper assumes 30 fps):
video pts are each frame's timestamp on a 90 kHz clock, and each frame's PCM slice (silence for
idle frames) leaves as two 20 ms Opus packets stamped on the 48 kHz RTP clock. The track encodes
them itself, mono at the renderer's rate, and aiortc sends them as they are: its own encoder
works in stereo at 48 kHz on a thread of the executor, which cost more than the encode.

Needs `pip install 'talvo[webrtc]'`; imported only when the server runs --transport webrtc.
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import fractions
import time
from collections import deque
from typing import Any

import aioice.ice
import av
import numpy as np
from aiortc import (
    MediaStreamTrack,
    RTCConfiguration,
    RTCIceServer,
    RTCPeerConnection,
    RTCRtpSender,
    RTCSessionDescription,
)
from loguru import logger

from talvo.serve import metrics, protocol
from talvo.serve.settings import Settings
from talvo.serve.transports import Delivery as _Base
from talvo.serve.transports import SessionEnded

VIDEO_CLOCK = 90000
AUDIO_RATE = 48000
AUDIO_SAMPLES = AUDIO_RATE // 50  # 20 ms on the RTP clock
OPUS_RATES = (8000, 12000, 16000, 24000, 48000)  # what Opus encodes as it is; others go to 48 kHz
OPUS_BITRATE = 32000  # mono speech
OPUS_COMPLEXITY = "5"  # of 10: about 0.1 ms a packet here, against 0.14 at 10
FRAME_SECONDS = 0.04  # the renderer's period
MAX_AUDIO_FRAMES = 250  # 5 s: only a sender that stopped pulling altogether gets here
MAX_ENCODE_WAIT = 0.1  # the sound waits for the picture's encoder at most this long
MAX_GAP_FRAMES = 50  # silence put in for a pause of the renderer, at most 1 s; longer ones jump
CODECS = {"vp8": "video/VP8", "h264": "video/H264"}

# aioice leaves loopback addresses out of its host candidates; a session (or a test's client)
# that wants them sets this in its own context, which the candidate gathering inherits.
_LOOPBACK = contextvars.ContextVar("talvo_ice_loopback", default=False)
_host_addresses = aioice.ice.get_host_addresses


def _with_loopback(use_ipv4: bool, use_ipv6: bool) -> list[str]:
    addresses = _host_addresses(use_ipv4=use_ipv4, use_ipv6=use_ipv6)
    if _LOOPBACK.get():
        addresses += [a for a, wanted in (("127.0.0.1", use_ipv4), ("::1", use_ipv6)) if wanted]
    return addresses


aioice.ice.get_host_addresses = _with_loopback


def offer_loopback_candidates(on: bool = True) -> None:
    """Peer connections gathered from the current context on offer loopback candidates."""
    _LOOPBACK.set(on)


def ice_servers(settings: Settings) -> list[RTCIceServer]:
    # An empty list, never None: given None, aiortc asks a public STUN server.
    return [RTCIceServer(urls=u, username=user, credential=cred) for u, user, cred in settings.ice_servers]


class _VideoTrack(MediaStreamTrack):
    kind = "video"

    def __init__(self, delivery: Delivery) -> None:
        super().__init__()
        self._delivery = delivery
        self._handed: float | None = None  # when the last frame went to the encoder

    async def recv(self) -> av.VideoFrame:
        # aiortc asks again once the last frame is encoded and sent: the sound waits as long,
        # so that the sender reports of both tracks tie a timestamp to the same moment.
        if self._handed is not None:
            took = min(time.perf_counter() - self._handed, MAX_ENCODE_WAIT)
            self._delivery.audio.delay += (took - self._delivery.audio.delay) / 8
        # Paced by the renderer: the next frame is there when it has been drawn.
        frame, deadline = await self._delivery.outbox.get()
        # The picture as it is, no copy: aiortc's encoder converts it on its thread.
        pixels = np.frombuffer(frame.image, np.uint8).reshape(frame.height, frame.width, 3)
        out = av.VideoFrame.from_numpy_buffer(pixels, format="rgb24")
        out.pts = round(frame.timestamp * VIDEO_CLOCK)
        out.time_base = fractions.Fraction(1, VIDEO_CLOCK)
        self._delivery.video_sent(frame, deadline)
        self._handed = time.perf_counter()
        return out


class _AudioTrack(MediaStreamTrack):
    """The frames' sound as 20 ms Opus packets, encoded here on the loop: a small mono encode at
    the renderer's own rate costs less than handing aiortc's stereo 48 kHz encoder a thread."""

    kind = "audio"

    def __init__(self) -> None:
        super().__init__()
        self._frames: deque[tuple[float, int, bytes, int]] = deque(maxlen=MAX_AUDIO_FRAMES)
        self._ready = asyncio.Event()
        self._next_pts: int | None = None
        self._opus: _Opus | None = None
        self._rate = AUDIO_RATE  # of the sound queued: the last speech's, kept through idle frames
        self.delay = 0.0  # what the picture takes to be encoded and sent, on average

    def put(self, frame: Any, deadline: float) -> None:
        """The frame's slice as two 20 ms frames, after silence for any pause before it."""
        if frame.audio:
            self._rate = frame.sample_rate if frame.sample_rate in OPUS_RATES else AUDIO_RATE
        rate = self._rate
        size = 2 * rate // 50  # bytes in 20 ms
        start = round(frame.timestamp * AUDIO_RATE)
        # Continuous unless the renderer paused for long: rounding never moves a frame back.
        if self._next_pts is None or start - self._next_pts >= MAX_GAP_FRAMES * AUDIO_SAMPLES:
            self._next_pts = start
        while start - self._next_pts >= AUDIO_SAMPLES:  # the renderer drew nothing for a while
            self._frames.append((deadline, self._next_pts, bytes(size), rate))
            self._next_pts += AUDIO_SAMPLES
        pcm = frame.audio
        if pcm and rate != frame.sample_rate:
            pcm = to_48k(pcm, frame.sample_rate)
        pcm = pcm[: 2 * size].ljust(2 * size, b"\0")
        for i in (0, 1):
            due = deadline + i * FRAME_SECONDS / 2
            self._frames.append((due, self._next_pts, pcm[i * size : (i + 1) * size], rate))
            self._next_pts += AUDIO_SAMPLES
        self._ready.set()

    def silence(self) -> None:
        """Quiet the sound still queued for the encoder, keeping its timing (an interrupt)."""
        quiet = ((due, pts, bytes(len(pcm)), rate) for due, pts, pcm, rate in self._frames)
        self._frames = deque(quiet, maxlen=MAX_AUDIO_FRAMES)

    async def recv(self) -> av.Packet[Any]:
        while True:
            while not self._frames:
                self._ready.clear()
                await self._ready.wait()
            due, pts, pcm, rate = self._frames.popleft()
            # The second half of a frame leaves 20 ms after the first, as if captured live: the
            # sender reports (RTCP) tie each timestamp to the moment it is sent.
            delay = due + self.delay - time.perf_counter()
            if delay > 0:
                await asyncio.sleep(delay)
            if self._opus is None or self._opus.rate != rate:
                self._opus = _Opus(rate)
            packet = self._opus.encode(pcm, pts)
            if packet is not None:
                return packet


class _Opus:
    """Mono speech to Opus, one packet per 20 ms, stamped on the 48 kHz RTP clock."""

    def __init__(self, rate: int) -> None:
        self.rate = rate
        self._codec = codec = av.CodecContext.create("libopus", "w")
        codec.sample_rate = rate
        codec.layout = "mono"
        codec.format = "s16"
        codec.bit_rate = OPUS_BITRATE
        codec.time_base = fractions.Fraction(1, rate)
        codec.options = {"application": "voip", "compression_level": OPUS_COMPLEXITY}

    def encode(self, pcm: bytes, pts: int) -> av.Packet[Any] | None:
        frame = av.AudioFrame(format="s16", layout="mono", samples=len(pcm) // 2)
        frame.planes[0].update(pcm)
        frame.sample_rate = self.rate
        packets = self._codec.encode(frame)
        if not packets:
            return None
        packet: av.Packet[Any] = packets[-1]
        packet.pts = pts
        packet.time_base = fractions.Fraction(1, AUDIO_RATE)
        return packet


def to_48k(pcm: bytes, rate: int) -> bytes:
    """16-bit mono PCM at `rate` as 48 kHz (linear interpolation: speech, not music)."""
    if rate == AUDIO_RATE:
        return pcm
    x = np.frombuffer(pcm, "<i2").astype(np.float32)
    n = round(len(x) * AUDIO_RATE / rate)
    t = np.arange(n, dtype=np.float64) * (rate / AUDIO_RATE)
    return np.interp(t, np.arange(len(x)), x).astype("<i2").tobytes()


class Delivery(_Base):
    name = "webrtc"

    def __init__(self, ws: Any, settings: Settings, number: int) -> None:
        super().__init__(ws, settings, number, settings.video_frames)
        self.pc: RTCPeerConnection | None = None
        self.video = _VideoTrack(self)
        self.audio = _AudioTrack()
        self._connected = asyncio.Event()
        self._lost = asyncio.Event()
        self._news = asyncio.Event()  # an utterance ended, or the connection was lost
        self.utterances = 0  # ended, in the frames handed to the tracks
        self._bytes_counted = 0  # of the senders' bytesSent, already in the metrics
        self._first: tuple[float, float] | None = None  # (timestamp, deadline) of the first frame sent

    def hello(self) -> dict[str, Any]:
        servers = [
            {"urls": url, **({"username": user, "credential": cred} if user else {})}
            for url, user, cred in self.settings.ice_servers
        ]
        return {"transport": self.name, "codec": self.settings.codec, "ice_servers": servers}

    def put(self, frame: Any, deadline: float) -> None:
        if not self._connected.is_set() or self._lost.is_set():
            return  # no peer to show it to: the renderer keeps drawing idle frames meanwhile
        self.outbox.put((frame, deadline))
        self.audio.put(frame, deadline)
        if frame.end_of_speech:  # the page learns it from the status, which goes out now
            self.utterances += 1
            self._news.set()

    def discard_speech(self) -> float:
        unsent = super().discard_speech()
        self.audio.silence()
        return unsent

    def video_sent(self, frame: Any, deadline: float) -> None:
        # Its bytes are counted from the senders' statistics, once the encoder has made them.
        self.count_sent(frame, 0, time.perf_counter() - deadline)
        if self._first is None:
            self._first = (frame.timestamp, deadline)

    async def run(self, runtime: Any) -> None:
        bound = self.settings.connect_timeout
        try:
            async with asyncio.timeout(bound):
                await self._connected.wait()
        except TimeoutError:
            logger.warning("session {}: no WebRTC peer connected within {} s, closing", self.number, bound)
            raise SessionEnded(f"no WebRTC connection within {bound:g} s", 1008) from None
        logger.info("session {}: WebRTC peer connected ({})", self.number, self.settings.codec)
        while not self._lost.is_set():
            # What the page shows and a client needs to time its frames: the counts, and the
            # renderer deadline (server clock) of the first frame's timestamp.
            self._news.clear()
            counts: dict[str, Any] = {"sent": self.sent, "dropped": self.outbox.dropped}
            counts["utterances"] = self.utterances
            if self._first is not None:
                counts["first"] = list(self._first)
            status = protocol.dumps("delivery", **counts)
            await self._count_bytes()
            try:
                await self.ws.send_str(status)
            except ConnectionError:  # the page went away; the receive side ends the session
                return
            with contextlib.suppress(TimeoutError):
                async with asyncio.timeout(1.0):
                    await self._news.wait()
        raise SessionEnded("the WebRTC connection was lost")

    async def _count_bytes(self) -> None:
        """The bytes the senders have put on the wire since last asked, into the metrics."""
        if self.pc is None:
            return
        total = 0
        for sender in self.pc.getSenders():
            report = await sender.getStats()
            total += sum(getattr(s, "bytesSent", 0) for s in report.values() if s.type == "outbound-rtp")
        metrics.bytes_sent(total - self._bytes_counted, self.name)
        self._bytes_counted = total

    async def on_message(self, message: dict[str, Any]) -> None:
        sdp = message.get("sdp")
        if self.pc is not None:
            raise protocol.MessageError("this session already has a WebRTC peer")
        if not isinstance(sdp, str) or not sdp.strip():
            raise SessionEnded("webrtc_offer: sdp must be a non-empty string", 1008)
        self.pc = pc = RTCPeerConnection(RTCConfiguration(iceServers=ice_servers(self.settings)))
        pc.on("connectionstatechange", self._state_changed)
        offer_loopback_candidates(self.settings.ice_loopback)
        try:
            async with asyncio.timeout(self.settings.connect_timeout):
                # Ours first, so that the offer's media take them, codec preference included.
                video = pc.addTransceiver(self.video, direction="sendonly")
                wanted = (CODECS[self.settings.codec], "video/rtx")
                caps = RTCRtpSender.getCapabilities("video").codecs
                video.setCodecPreferences([c for c in caps if c.mimeType in wanted])
                pc.addTransceiver(self.audio, direction="sendonly")
                await pc.setRemoteDescription(RTCSessionDescription(sdp=sdp, type="offer"))
                media = sorted((t.kind, t.mid is not None) for t in pc.getTransceivers())
                if media != [("audio", True), ("video", True)]:
                    raise ValueError("the offer must receive exactly one audio and one video track")
                await pc.setLocalDescription(await pc.createAnswer())  # gathers every candidate
        except TimeoutError:
            raise SessionEnded("webrtc_offer: no answer could be made in time") from None
        except Exception as e:  # aiortc raises ValueError and others for what it cannot read
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            logger.info("session {}: bad WebRTC offer: {}", self.number, first)
            raise SessionEnded(f"webrtc_offer: the offer cannot be used: {first}", 1008) from None
        await self.ws.send_str(protocol.dumps("webrtc_answer", sdp=pc.localDescription.sdp))

    async def _state_changed(self) -> None:
        state = self.pc.connectionState if self.pc is not None else "closed"
        if state == "connected":
            self._connected.set()
        elif state in ("failed", "closed"):
            self._lost.set()
            self._news.set()

    async def close(self) -> None:
        pc, self.pc = self.pc, None
        self._lost.set()
        if pc is None:
            return
        try:
            async with asyncio.timeout(self.settings.close_timeout):
                await pc.close()
        except Exception as e:
            logger.warning("session {}: closing the peer connection: {}", self.number, e)
        self.video.stop()
        self.audio.stop()
