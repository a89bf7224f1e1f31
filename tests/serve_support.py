"""Helpers for the serve tests: a server on the aiohttp test client, and a page's side of the
socket that reads frames and JSON messages in order."""

from __future__ import annotations

import asyncio
import base64
import io
import json
import os
import shutil
import socket
import subprocess
import sys
import wave
from contextlib import asynccontextmanager

from aiohttp import WSMsgType
from aiohttp.test_utils import TestClient, TestServer
from talvo.serve import protocol, runtimes
from talvo.serve.app import SESSIONS, make_app
from talvo.serve.settings import Settings


def wav_bytes(pcm: bytes, rate: int = 16000, channels: int = 1, width: int = 2) -> bytes:
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(pcm)
    return out.getvalue()


def pcm_ramp(samples: int, seed: int = 1) -> bytes:
    """Distinct, loud-enough samples, so a reordered or lost byte shows."""
    return b"".join(
        ((i * 7919 + seed * 104729) % 20000 - 10000).to_bytes(2, "little", signed=True)
        for i in range(samples)
    )


@asynccontextmanager
async def serving(model: str, frame_wait: str | None = None, **overrides):
    settings = Settings(model_path=model, frame_wait=runtimes.choose_frame_wait(frame_wait), **overrides)
    app = make_app(settings)
    async with TestClient(TestServer(app)) as client:
        yield client, app[SESSIONS]


class Page:
    """The page's end of one socket."""

    def __init__(self, ws):
        self.ws = ws
        self.frames: list[protocol.DecodedFrame] = []
        self.texts: list[dict] = []

    async def receive(self, timeout: float = 10.0):
        msg = await asyncio.wait_for(self.ws.receive(), timeout)
        if msg.type == WSMsgType.BINARY:
            frame = protocol.decode_frame(msg.data)
            self.frames.append(frame)
            return frame
        if msg.type == WSMsgType.TEXT:
            self.texts.append(json.loads(msg.data))
            return self.texts[-1]
        return msg  # close, closed or error

    async def text(self, timeout: float = 10.0) -> dict:
        """The next JSON message, reading past frames."""
        while True:
            item = await self.receive(timeout)
            if isinstance(item, dict):
                return item
            if not isinstance(item, protocol.DecodedFrame):
                raise AssertionError(f"socket ended while waiting for a message: {item}")

    async def frame(self, timeout: float = 10.0) -> protocol.DecodedFrame:
        while True:
            item = await self.receive(timeout)
            if isinstance(item, protocol.DecodedFrame):
                return item
            if not isinstance(item, dict):
                raise AssertionError(f"socket ended while waiting for a frame: {item}")

    async def utterance(self, timeout: float = 30.0) -> tuple[list[protocol.DecodedFrame], bytes]:
        """Frames up to the end of the next utterance, and the audio its speech frames carry."""
        spoken = []
        while True:
            frame = await self.frame(timeout)
            if frame.speech:
                spoken.append(frame)
                if frame.end_of_speech:
                    return spoken, b"".join(f.audio for f in spoken)

    async def close_code(self, timeout: float = 10.0) -> int | None:
        """Reads to the end of the socket: the code of the server's close frame. (The client's
        own close_code turns 1006 when the connection is gone before the client could answer
        the close, which the server does not wait for, and a busy machine makes likely.)"""
        while True:
            item = await self.receive(timeout)
            if not isinstance(item, (dict, protocol.DecodedFrame)):
                return item.data if item.type == WSMsgType.CLOSE else self.ws.close_code

    async def send(self, **message) -> None:
        await self.ws.send_str(json.dumps(message))


@asynccontextmanager
async def tab_that_reads_nothing(client):
    """A tab that opens its socket and then reads nothing (until the test reads the stream's
    raw bytes), behind a small receive buffer, so the server's writes back up within a frame."""
    loop = asyncio.get_running_loop()
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.setblocking(False)
    await loop.sock_connect(sock, (client.host, client.port))
    reader, writer = await asyncio.open_connection(sock=sock, limit=4096)
    key = base64.b64encode(os.urandom(16)).decode()
    writer.write(
        f"GET /ws HTTP/1.1\r\nHost: {client.host}:{client.port}\r\nUpgrade: websocket\r\n"
        f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
        "Sec-WebSocket-Version: 13\r\n\r\n".encode()
    )
    assert b" 101 " in await reader.readuntil(b"\r\n\r\n")
    try:
        yield reader
    finally:
        writer.close()


async def wait_for(condition, timeout: float = 10.0) -> None:
    async with asyncio.timeout(timeout):
        while not condition():
            await asyncio.sleep(0.01)


def start_server(*args: str) -> tuple[subprocess.Popen, str]:
    """`python -m talvo serve` on a free port, and the URL it printed."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "talvo", "serve", "--port", "0", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    line = proc.stdout.readline()
    if "http://" not in line:
        proc.kill()
        raise AssertionError(f"no URL: {line!r} {proc.communicate(timeout=30)}")
    return proc, line.split()[2]


def namespace_missing() -> str | None:
    """Why this machine cannot give a test a network namespace of its own, or None."""
    if os.geteuid() != 0 or not (shutil.which("unshare") and shutil.which("ip")):
        return "a network namespace of its own needs root, unshare and ip"
    return None


def isolated(script: str, case: str, *args: str, dev: bool = True) -> dict:
    """Run `script case args...` in a fresh network namespace holding only loopback (ICE there
    finds no other address, and nothing leaves the machine); the JSON on its last line."""
    flags = ["-X", "dev"] if dev else []  # a timing case runs without debug mode's overhead
    argv = [sys.executable, *flags, "-W", "error::RuntimeWarning", script, case, *args]
    command = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", *argv]
    proc = subprocess.run(command, capture_output=True, text=True, timeout=150)
    assert proc.returncode == 0, f"{case} {args}: status {proc.returncode}\n{proc.stderr[-6000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])
