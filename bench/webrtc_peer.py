"""A page's end of a `serve --transport webrtc` session, in Python (aiortc): the WebSocket for
signalling and control, a peer connection receiving the video and audio tracks, and when each
frame arrived. The load benchmark's client (bench/serve_webrtc.py), and the tests' (they too
run it inside a network namespace that holds only loopback)."""

from __future__ import annotations

import asyncio
import json
import time

import numpy as np
from aiohttp import WSMsgType
from aiortc import RTCConfiguration, RTCPeerConnection, RTCSessionDescription
from talvo.serve.transports.webrtc import offer_loopback_candidates


class Peer:
    def __init__(self, ws, *, look: bool = False) -> None:
        self.ws = ws
        self.look = look  # keep a picture of each frame's mouth (tests), or only the timing
        self.texts: list[dict] = []
        self.video: list[tuple[float, int, np.ndarray | None]] = []  # arrival, RTP pts, mouth box
        self.audio: list[tuple[float, int, float]] = []  # arrival, pts, RMS
        # kind -> RTP timestamp -> arrival of its first packet (the frames above come later:
        # aiortc holds a video frame until the next one starts, audio for four packets)
        self.packets: dict[str, dict[int, float]] = {}
        self.payload_bytes: dict[str, int] = {}  # kind -> RTP payload bytes received so far
        self.pc: RTCPeerConnection | None = None
        self.closed = asyncio.Event()  # the socket ended
        self._new_text = asyncio.Event()
        self._tasks = [asyncio.create_task(self._read())]

    async def _read(self) -> None:
        try:
            async for msg in self.ws:
                if msg.type == WSMsgType.TEXT:
                    self.texts.append(json.loads(msg.data))
                    self._new_text.set()
        finally:
            self.closed.set()
            self._new_text.set()

    async def text(self, kind: str, timeout: float = 15.0) -> dict:
        """The first message of this type, waiting for it if need be."""
        async with asyncio.timeout(timeout):
            while True:
                found = next((t for t in self.texts if t["type"] == kind), None)
                if found is not None:
                    return found
                if self.closed.is_set():
                    raise AssertionError(f"the socket closed before a {kind!r} message: {self.texts}")
                self._new_text.clear()
                await self._new_text.wait()

    async def send(self, **message) -> None:
        await self.ws.send_str(json.dumps(message))

    async def make_offer(self, kinds: tuple[str, ...] = ("video", "audio")) -> str:
        """A complete offer (every candidate in it) to receive the given tracks."""
        await self.text("hello")
        offer_loopback_candidates()
        self.pc = pc = RTCPeerConnection(RTCConfiguration(iceServers=[]))
        for kind in kinds:
            self._watch(pc.addTransceiver(kind, direction="recvonly").receiver, kind)
        pc.on("track", lambda track: self._tasks.append(asyncio.create_task(self._consume(track))))
        await pc.setLocalDescription(await pc.createOffer())
        return pc.localDescription.sdp

    async def offer(self) -> dict:
        """Send an offer; the server's answer (not yet applied)."""
        await self.send(type="webrtc_offer", sdp=await self.make_offer())
        return await self.text("webrtc_answer")

    async def connect(self, timeout: float = 15.0) -> None:
        answer = await self.offer()
        await self.pc.setRemoteDescription(RTCSessionDescription(sdp=answer["sdp"], type="answer"))
        async with asyncio.timeout(timeout):
            while not (self.video and self.audio):
                await asyncio.sleep(0.02)

    def _watch(self, receiver, kind: str) -> None:
        """Note when the first packet of each frame arrives, before any buffering, by the pts
        the frame will have (aiortc counts them from the track's first timestamp)."""
        handle, first = receiver._handle_rtp_packet, self.packets.setdefault(kind, {})
        self.payload_bytes[kind] = 0
        origin: list[int] = []

        async def noted(packet, arrival_time_ms: int) -> None:
            if not origin:
                origin.append(packet.timestamp)
            first.setdefault((packet.timestamp - origin[0]) % 2**32, time.perf_counter())
            self.payload_bytes[kind] += len(packet.payload)
            await handle(packet, arrival_time_ms)

        receiver._handle_rtp_packet = noted

    async def _consume(self, track) -> None:
        while True:
            frame = await track.recv()
            now = time.perf_counter()
            if track.kind == "video":
                box = None
                if self.look:  # the mouth's box of the luma plane, every other pixel
                    w, h = frame.width, frame.height
                    luma = frame.to_ndarray(format="gray")
                    box = luma[int(h * 0.56) : int(h * 0.8) : 2, int(w * 0.3) : int(w * 0.7) : 2].astype(
                        np.int16
                    )
                self.video.append((now, frame.pts, box))
            else:
                pcm = np.frombuffer(bytes(frame.planes[0]), np.int16)[: frame.samples * 2]
                self.audio.append((now, frame.pts, float(np.sqrt(np.mean(pcm.astype(np.float64) ** 2)))))

    def latencies(self) -> list[tuple[float, float]]:
        """(arrival, arrival - the frame's renderer deadline) of each video frame, from the
        server's note of its first frame (which is the first received on loopback)."""
        first = next((t["first"] for t in self.texts if t["type"] == "delivery" and "first" in t), None)
        if first is None or not self.video:
            return []
        deadline0, pts0 = first[1], self.video[0][1]
        return [(at, at - (deadline0 + ((pts - pts0) % 2**32) / 90000)) for at, pts, _ in self.video]

    async def close(self) -> None:
        if self.pc is not None:
            await self.pc.close()
        for task in self._tasks:
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
