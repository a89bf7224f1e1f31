"""`python -m talvo serve`: sessions over a real WebSocket, bad input, limits, and the command."""

from __future__ import annotations

import asyncio
import contextlib
import os
import random
import signal
import socket
import struct
import subprocess
import sys

import pytest

pytest.importorskip("aiohttp", reason="the serve extra (aiohttp) is not installed")

from aiohttp import ClientError, ClientSession, WSServerHandshakeError  # noqa: E402
from serve_support import (  # noqa: E402
    Page,
    pcm_ramp,
    serving,
    start_server,
    tab_that_reads_nothing,
    wait_for,
    wav_bytes,
)
from talvo.engine.video_reader import pack_demo_model  # noqa: E402
from talvo.serve import runtimes, wav  # noqa: E402
from talvo.serve.outbox import Outbox  # noqa: E402
from talvo.serve.settings import Settings  # noqa: E402


@pytest.fixture
def model(tmp_path):
    path = tmp_path / "demo.imx"
    pack_demo_model(path)
    return str(path)


# -- sessions -------------------------------------------------------------------------------------


@pytest.mark.asyncio
@pytest.mark.parametrize("mode", runtimes.frame_wait_modes())
@pytest.mark.parametrize("source", ["stream", "upload", "builtin"])
async def test_speech_comes_back_in_the_frames_byte_for_byte(model, source, mode):
    async with serving(model, mode) as (client, sessions), client.ws_connect("/ws") as ws:
        page = Page(ws)
        hello = await page.text()
        assert hello["type"] == "hello" and (hello["width"], hello["height"]) == (96, 96)
        assert hello["frame_wait"] == mode
        idle = await page.frame()  # the face is alive before anyone speaks
        assert not idle.speech and len(idle.image) == 96 * 96 * 3 and idle.audio == b""
        if source == "stream":
            pcm, rate = pcm_ramp(16000 * 3 // 4 + 5), 16000  # not a whole number of frames
            await page.send(type="audio_start", sample_rate=rate)
            for i in range(0, len(pcm), 3202):
                await ws.send_bytes(pcm[i : i + 3202])
            await page.send(type="audio_end")
        elif source == "upload":
            pcm, rate = pcm_ramp(22050 // 2, seed=3), 22050
            data = wav_bytes(pcm, rate)
            await page.send(type="upload", size=len(data))
            await ws.send_bytes(data)
        else:
            pcm, rate = runtimes.builtin_utterance()
            await page.send(type="builtin")
        spoken, audio = await page.utterance()
        assert audio == pcm
        assert {f.sample_rate for f in spoken} == {rate}
        indexes = [f.index for f in page.frames]
        assert indexes == sorted(indexes) and page.frames[-1].dropped == 0
        assert not (await page.frame()).speech  # back to idle
        if source != "stream":
            assert any(t["type"] == "speaking" for t in page.texts)


@pytest.mark.asyncio
@pytest.mark.parametrize("mode", runtimes.frame_wait_modes())
async def test_an_interrupt_message_cuts_the_utterance_and_the_next_one_is_whole(model, mode):
    async with serving(model, mode) as (client, sessions), client.ws_connect("/ws") as ws:
        page = Page(ws)
        await page.text()
        builtin, rate = runtimes.builtin_utterance()
        await page.send(type="builtin")
        while not (await page.frame()).speech:
            pass
        await page.send(type="interrupt")
        while (reply := await page.text())["type"] != "interrupted":
            pass
        # What the server had pushed of it when the message came (it paces the utterance).
        assert 0 < reply["played_seconds"] + reply["dropped_seconds"] <= len(builtin) / 2 / rate
        assert not any([(await page.frame()).speech for _ in range(5)])  # idle at once, nothing stale
        pcm = pcm_ramp(8000)
        await page.send(type="audio_start", sample_rate=16000)
        await ws.send_bytes(pcm)
        await page.send(type="audio_end")
        assert (await page.utterance())[1] == pcm


@pytest.mark.asyncio
@pytest.mark.parametrize("mode", runtimes.frame_wait_modes())
async def test_closing_the_socket_mid_utterance_stops_the_runtime(model, mode):
    async with serving(model, mode) as (client, sessions):
        ws = await client.ws_connect("/ws")
        page = Page(ws)
        await page.text()
        await page.send(type="builtin")
        while not any(f.speech for f in page.frames):
            await page.frame()
        (session,) = sessions
        runtime, thread = session.runtime, session.runtime._thread
        assert thread.is_alive()
        await ws.close()
        await asyncio.wait_for(session.finished.wait(), 10)
        assert not thread.is_alive() and not runtime._running
        assert not sessions
        # and the next tab gets a runtime of its own
        async with client.ws_connect("/ws") as again:
            page = Page(again)
            assert (await page.text())["type"] == "hello"
            await page.frame()
            (other,) = sessions
            assert other is not session and other.runtime is not runtime


@pytest.mark.asyncio
@pytest.mark.parametrize("mode", runtimes.frame_wait_modes())
async def test_a_tab_that_stopped_reading_is_bounded_and_still_stops_at_once(model, mode):
    async with serving(model, mode, outbox_frames=4) as (client, sessions), client.ws_connect("/ws") as ws:
        page = Page(ws)
        await page.text()
        await page.frame()
        (session,) = sessions
        stalled = asyncio.Event()

        async def never_sent(data):  # a socket whose reader went away without closing
            stalled.set()
            await asyncio.Event().wait()

        session.ws.send_bytes = never_sent
        await stalled.wait()
        # Speech frames are drawn regardless of the outbox, and the oldest dropped; after the
        # utterance no idle frame is drawn while the outbox holds frames.
        await page.send(type="audio_start", sample_rate=16000)
        await ws.send_bytes(pcm_ramp(16000 * 8 // 25))
        await page.send(type="audio_end")
        await wait_for(lambda: session.outbox._items and session.outbox._items[-1][0].end_of_speech)
        assert len(session.outbox) == 4 and session.outbox.dropped >= 4
        thread = session.runtime._thread
        await ws.close()
        # Frames left in the outbox must not keep the renderer from seeing the stop.
        await asyncio.wait_for(session.finished.wait(), 4.0)
        assert not thread.is_alive()


@pytest.mark.asyncio
@pytest.mark.parametrize("ending", ["the send times out", "the server stops", "it reads again"])
async def test_a_tab_that_reads_nothing_is_cut_off_and_its_runtime_stopped(model, ending):
    # Closing such a socket waits for the page to read what is ahead of the close frame: a
    # bounded wait, or a page that reads again gets the close frame after its last frame.
    send_timeout = 0.5 if ending == "the send times out" else 60.0
    close_timeout = 30.0 if ending == "it reads again" else 0.5
    async with (
        serving(model, send_timeout=send_timeout, close_timeout=close_timeout) as (client, sessions),
        tab_that_reads_nothing(client) as stream,
    ):
        await wait_for(lambda: sessions and next(iter(sessions)).frames_sent)
        (session,) = sessions
        thread, transport = session.runtime._thread, session._transport
        transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        # backed up: a frame waits for the page (in aiohttp's drain)
        await wait_for(lambda: transport.get_write_buffer_size() > 0 and not session.delivery._sending.done())
        if ending == "the send times out":
            await asyncio.wait_for(session.finished.wait(), 10)
        else:
            stopping = asyncio.create_task(session.shutdown())
            if ending == "it reads again":
                await wait_for(lambda: session.ws.closed)
                assert (await stream.read()).endswith(b"\x88\x18\x03\xe9the server is stopping")
            await asyncio.wait_for(stopping, 10)
        assert not thread.is_alive() and not sessions


@pytest.mark.asyncio
async def test_beyond_max_sessions_a_tab_is_refused_and_others_carry_on(model):
    async with serving(model, max_sessions=1) as (client, sessions):
        async with client.ws_connect("/ws") as first:
            page = Page(first)
            await page.text()
            async with client.ws_connect("/ws") as second:
                refused = await Page(second).text()
                assert refused["type"] == "refused" and "The server is full" in refused["message"]
                assert await Page(second).close_code() == 1013
            for _ in range(3):
                await page.frame()
        await wait_for(lambda: not sessions)
        async with client.ws_connect("/ws") as third:
            assert (await Page(third).text())["type"] == "hello"


BAD_INPUT = [
    ("text", "hello", "malformed message: not JSON"),
    ("text", "[1, 2]", "expected a JSON object"),
    ("json", {"type": "dance"}, "unknown message type 'dance'"),
    ("json", {"no": "type"}, "unknown message type None"),
    ("bytes", b"\x00\x01", "unexpected binary message"),
    ("json", {"type": "audio_end"}, "audio_end without audio_start"),
    ("json", {"type": "audio_start", "sample_rate": 44.1}, "sample rate must be an integer"),
    ("json", {"type": "audio_start", "sample_rate": 200000}, "sample rate must be an integer"),
    ("json", {"type": "upload", "size": "big"}, "size must be a positive integer"),
    ("json", {"type": "upload", "size": 10**9}, "the upload is too large"),
    ("upload", b"ID3\x04not a wav at all", "not a WAV file"),
    ("upload", wav_bytes(bytes(400), channels=2), "need 16-bit PCM mono, got 2 channel(s)"),
    ("upload", wav_bytes(bytes(400), width=1), "need 16-bit PCM mono, got 1 channel(s) of 8-bit"),
    ("upload", wav_bytes(bytes(400), rate=4000), "sample rate must be an integer"),
    ("upload", wav_bytes(b""), "holds no audio"),
    ("upload", wav_bytes(bytes(4000))[:30], "not a readable 16-bit PCM WAV"),
    # a fmt chunk whose size lies
    ("upload", wav_bytes(b"")[:16] + b"\x10\x00\x00\x9e" + wav_bytes(b"")[20:], "not a readable"),
    ("text", "[" * 100000 + "]" * 100000, "malformed message: 200000 characters"),
    ("text", "[" * 2000 + "]" * 2000, "malformed message"),  # nested too deeply, or no object
    # a client's value is quoted in part, so a flood of bytes is not answered and logged whole
    ("json", {"type": "x" * 4000}, "unknown message type 'xxxx"),
    ("json", {"type": "audio_start", "sample_rate": "9" * 4000}, "sample rate must be an integer"),
    ("json", {"type": "upload", "size": 10**4000}, "the upload is too large: 1000"),
]


@pytest.mark.asyncio
async def test_bad_input_gets_a_clear_message_and_the_session_carries_on(model):
    async with (
        serving(model, refusal_burst=100) as (client, sessions),
        client.ws_connect("/ws") as ws,
        client.ws_connect("/ws") as bystander,
    ):
        page, other = Page(ws), Page(bystander)
        await page.text()
        await other.text()
        for kind, payload, needle in BAD_INPUT:
            if kind == "text":
                await ws.send_str(payload)
            elif kind == "json":
                await page.send(**payload)
            elif kind == "bytes":
                await ws.send_bytes(payload)
            else:
                await page.send(type="upload", size=len(payload))
                await ws.send_bytes(payload)
            reply = await page.text()
            assert reply["type"] == "error" and needle in reply["message"], (kind, str(payload)[:80], reply)
            assert len(reply["message"]) < 200
        # mid-stream faults: an odd chunk, a second utterance, an upload of another size
        await page.send(type="audio_start", sample_rate=16000)
        assert (await page.text())["type"] == "speaking"
        await ws.send_bytes(b"\x01\x02\x03")
        assert "whole 16-bit samples" in (await page.text())["message"]
        await page.send(type="builtin")
        assert "already speaking" in (await page.text())["message"]
        await ws.send_bytes(pcm_ramp(2000))
        await page.send(type="audio_end")
        _, audio = await page.utterance()
        assert audio == pcm_ramp(2000)  # what was refused left nothing behind
        await page.send(type="upload", size=100)
        await ws.send_bytes(wav_bytes(pcm_ramp(80)))
        assert "were announced" in (await page.text())["message"]
        # a flood of refused messages gets a burst of answers, then none, then the tab is closed
        for _ in range(20000):
            await ws.send_str("x")
        assert await page.close_code() == 1008
        assert "too many refused" in page.texts[-1]["message"] and len(page.texts) < 150
        # the other session never noticed
        for _ in range(25):
            await other.frame()
        assert not [t for t in other.texts if t["type"] == "error"]


@pytest.mark.asyncio
async def test_oversized_messages_close_only_their_own_socket(model):
    async with (
        serving(model, max_upload_bytes=2000, max_chunk_bytes=1000) as (client, sessions),
        client.ws_connect("/ws") as bystander,
    ):
        other = Page(bystander)
        await other.text()
        async with client.ws_connect("/ws") as ws:
            page = Page(ws)
            await page.text()
            await page.send(type="audio_start", sample_rate=16000)
            assert (await page.text())["type"] == "speaking"
            await ws.send_bytes(bytes(1002))
            assert "audio chunk too large" in (await page.text())["message"]
            await ws.send_bytes(bytes(2000 + 4096 + 2))  # over the socket's message limit
            assert await page.close_code() == 1009
        await wait_for(lambda: len(sessions) == 1)
        await other.frame()


@pytest.mark.asyncio
async def test_a_runtime_that_refuses_input_ends_only_its_own_session(model):
    async with (
        serving(model) as (client, sessions),
        client.ws_connect("/ws") as ws,
        client.ws_connect("/ws") as bystander,
    ):
        page, other = Page(ws), Page(bystander)
        number = (await page.text())["session"]
        await other.text()
        broken = next(s for s in sessions if s.number == number)
        runtime, thread = broken.runtime, broken.runtime._thread

        async def refuse(*args, **kwargs):
            raise RuntimeError("input buffer closed")

        runtime.push_audio = refuse
        await page.send(type="audio_start", sample_rate=16000)
        await ws.send_bytes(pcm_ramp(320))
        replies = [await page.text(), await page.text()]
        assert replies[-1] == {"type": "error", "message": "the session failed: input buffer closed"}
        assert await page.close_code() == 1011
        await asyncio.wait_for(broken.finished.wait(), 10)
        assert not thread.is_alive() and len(sessions) == 1
        await other.frame()


@pytest.mark.asyncio
async def test_a_streamed_utterance_is_ended_at_the_length_limit(model):
    async with serving(model, max_utterance_seconds=0.25) as (client, _), client.ws_connect("/ws") as ws:
        page = Page(ws)
        await page.text()
        await page.send(type="audio_start", sample_rate=8000)
        assert (await page.text())["type"] == "speaking"
        await ws.send_bytes(pcm_ramp(1600))  # 0.2 s
        await ws.send_bytes(pcm_ramp(800))  # 0.3 s in all
        assert "utterance too long" in (await page.text())["message"]
        _, audio = await page.utterance()
        assert audio == pcm_ramp(1600)
        await page.send(type="builtin")  # the session is free again
        assert (await page.text())["type"] == "speaking"


# -- the parts ------------------------------------------------------------------------------------


@pytest.mark.asyncio
async def test_outbox_keeps_the_newest_frames_and_counts_the_rest():
    box = Outbox(3)
    waiter = asyncio.create_task(box.get())
    await asyncio.sleep(0)
    assert not waiter.done()
    box.put(0)
    assert await waiter == 0
    for i in range(1, 6):
        box.put(i)
    assert (len(box), box.dropped) == (3, 2)
    assert [await box.get() for _ in range(3)] == [3, 4, 5]
    with pytest.raises(ValueError):
        Outbox(0)


def test_wav_limits():
    pcm = pcm_ramp(800)
    assert wav.parse_wav(wav_bytes(pcm, 8000), max_bytes=10_000, max_seconds=1) == (pcm, 8000)
    with pytest.raises(wav.WavError, match="too long: 0.1 s"):
        wav.parse_wav(wav_bytes(pcm, 8000), max_bytes=10_000, max_seconds=0.05)
    with pytest.raises(wav.WavError, match="too large"):
        wav.parse_wav(wav_bytes(pcm, 8000), max_bytes=100, max_seconds=1)
    rng = random.Random(19)
    for data in (bytearray(wav_bytes(pcm, 8000)) for _ in range(2000)):  # any malformed header:
        data[rng.randrange(44)] = rng.randrange(256)  # a WavError, never another exception
        with contextlib.suppress(wav.WavError):
            wav.parse_wav(bytes(data), max_bytes=10_000, max_seconds=1)


def test_frame_wait_defaults_to_the_loop():
    assert runtimes.choose_frame_wait(None) == "loop" == Settings(model_path="m.imx").frame_wait
    with pytest.raises(ValueError, match="--frame-wait must be one of loop, executor, not 'lop'"):
        runtimes.choose_frame_wait("lop")


# -- the command ----------------------------------------------------------------------------------


async def speak_until_stopped(proc: subprocess.Popen, url: str) -> tuple[str, int, Page]:
    async with ClientSession() as http:
        async with http.get(url) as r:
            page = await r.text()
        async with http.get(url + "static/..%2Fsettings.py") as r:
            escaped = r.status
        async with http.ws_connect(url + "ws") as ws:
            talk = Page(ws)
            await talk.text()
            await talk.send(type="builtin")
            while not any(f.speech for f in talk.frames):
                await talk.frame()
            proc.send_signal(signal.SIGINT)  # mid-utterance, socket open: the server closes it
            assert await talk.close_code() == 1001
        return page, escaped, talk


@pytest.mark.parametrize("mode", runtimes.frame_wait_modes())
def test_serve_command_serves_the_page_and_stops_cleanly_on_ctrl_c(mode):
    proc, url = start_server("--max-sessions", "4", "--frame-wait", mode)
    try:
        assert url.startswith("http://127.0.0.1:")
        page, escaped, talk = asyncio.run(speak_until_stopped(proc, url))
        assert "<canvas" in page and "/static/app.js" in page and escaped == 404
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode in (0, 130), err
    assert "Traceback" not in err and "stopping 1 session(s)" in err and "closed after" in err
    assert "stopped" in out


async def hostile_tabs(proc: subprocess.Popen, url: str) -> None:
    async with ClientSession() as http:
        # a name rebound to loopback and a foreign page are refused; loopback names and addresses,
        # the page's own origin, an allowed one and clients that are no page (no Origin) are served
        cases = "Host attacker.example 421, Host localhost 101, Host [::1] 101, Origin null 403, "
        cases += (
            f"Origin http://attacker.example 403, Origin {url[:-1]} 101, Origin http://embed.example 101, "
        )
        cases += f"Origin {url[:-1].replace('http:', 'https:')} 101"  # behind a proxy that ends TLS
        for name, value, status in (case.split() for case in cases.split(", ")):
            try:
                async with http.ws_connect(url + "ws", headers={name: value}) as ws:
                    assert (await Page(ws).text())["type"] == "hello" and status == "101", value
            except WSServerHandshakeError as e:
                assert str(e.status) == status, value
        for wait in [False, True] * 5:  # tabs that leave during the handshake, or right after it
            with socket.create_connection(("127.0.0.1", int(url[:-1].rsplit(":", 1)[1])), timeout=10) as sock:
                sock.sendall(
                    b"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"
                )
                if wait:
                    sock.recv(1024)
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset
        # Ctrl-C while tabs keep connecting: the sockets that arrive as it stops are refused
        hellos, stopped = [], asyncio.Event()

        async def tab() -> None:
            while not stopped.is_set():
                try:
                    async with http.ws_connect(url + "ws") as ws:
                        hellos.append(await ws.receive())
                except (ClientError, OSError):
                    await asyncio.sleep(0.01)

        tabs = [asyncio.create_task(tab()) for _ in range(20)]
        await wait_for(lambda: len(hellos) >= 40, 30)
        proc.send_signal(signal.SIGINT)
        await asyncio.to_thread(proc.wait, 20)  # not aiohttp's 60 s wait for a forgotten socket
        stopped.set()
        await asyncio.gather(*tabs)


def test_serve_command_refuses_foreign_pages_and_names_and_stops_at_once_amid_new_tabs():
    proc, url = start_server("--allow-origin", "http://embed.example")
    try:
        asyncio.run(hostile_tabs(proc, url))
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.communicate()
    assert proc.returncode == 0 and "stopped" in out, err
    assert "Traceback" not in err and "Error handling request" not in err, err
    assert "refused a request for host 'attacker.example'" in err and "refused a socket from" in err


@pytest.mark.parametrize(
    "args,needle",
    [
        (["--model", "/nonexistent.imx"], "no such model file"),
        (["--model", "velda"], "Velda"),
        (["--max-sessions", "0"], "--max-sessions"),
        (["--frame-wait", "sideways"], "invalid choice"),
        (["--allow-origin", "embed.example"], "--allow-origin must be http://host[:port]"),
    ],
)
def test_serve_command_reports_bad_options_in_one_line(args, needle, tmp_path):
    if "velda" in args:
        pack_demo_model(tmp_path / "velda.imx", model_type="velda")
        args = ["--model", str(tmp_path / "velda.imx")]
    proc = subprocess.run(
        [sys.executable, "-m", "talvo", "serve", *args], capture_output=True, text=True, timeout=60
    )
    assert proc.returncode in (1, 2)
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and needle in lines[0], proc.stderr


def test_the_demo_command_is_still_the_default():
    proc = subprocess.run(
        [sys.executable, "-m", "talvo", "--help"],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ},
    )
    assert proc.returncode == 0 and "--seconds" in proc.stdout
