"""`python -m bench.serve --transport webrtc`: N aiortc peers in this process against one
`serve --transport webrtc` process, each speaking the built-in utterance over and over. Per N:
fps per session (min, median), latency from the renderer's deadline to the first packet of
each frame (p50, p99), the server's CPU per frame beside two costs measured here before the
row's server starts: the renderer alone (as many runtimes) and the bare encode of its frames;
the video bitrate, and the frames dropped for peers that fell behind.

Runs itself again inside a network namespace of its own holding only loopback, so ICE finds no
other address and nothing leaves the machine.
"""

from __future__ import annotations

import asyncio
import fractions
import multiprocessing
import os
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

from bench.serve import cpu_seconds, p, start_server, stop_server, write_json

INSIDE = "TALVO_BENCH_OWN_NETNS"
FPS = 25


@dataclass
class Row:
    sessions: int
    connected: int
    fps_min: float
    fps_median: float
    latency_p50_ms: float
    latency_p99_ms: float
    server_cpu_percent: float  # of one core, all sessions
    server_ms_per_frame: float  # server CPU over the video frames that reached the peers
    encode_ms_per_frame: float
    render_ms_per_frame: float  # the renderer alone, the same number of runtimes
    dropped: int
    client_cpu_percent: float
    video_kbps: float  # per session, RTP payload


async def _render(path: str, runtimes: int, frames: int) -> tuple[list, float]:
    """`frames` frames of the speech utterance (so the mouth moves) from each of `runtimes`
    runtimes at once, taken and dropped; one runtime's frames, and the CPU per frame of all
    once every runtime has loaded its model (as in a server's sessions after their start)."""
    from talvo.demo.audio import speech_like
    from talvo.runtime_async import AsyncTalvo

    loaded = asyncio.Barrier(runtimes + 1)

    async def one(keep: list | None) -> int:
        async with await AsyncTalvo.create(model_path=path, frame_wait="loop") as rt:
            await rt.load_data_async()
            await rt.push_audio(speech_like(frames / FPS + 1), 16000)
            await rt.flush()
            await loaded.wait()
            count = 0
            async for frame in rt.run(lambda: True):
                count += 1
                if keep is not None:
                    keep.append(frame)
                if count == frames:
                    break
            return count

    kept: list = []
    drawing = [asyncio.create_task(one(kept if i == 0 else None)) for i in range(runtimes)]
    await loaded.wait()
    start = time.process_time()
    drawn = sum(await asyncio.gather(*drawing))
    return kept, (time.process_time() - start) * 1000 / drawn


def bare_costs(model: str, codec: str, runtimes: int) -> tuple[float, float]:
    """CPU per frame of the renderer alone (`runtimes` at once, as the server runs them) and of
    aiortc's own encoder on the renderer's frames, converted from RGB as the server's encoder
    gets them: three passes, the first (keyframe, set-up) left out."""
    import av
    import numpy as np
    from aiortc.codecs import get_encoder
    from aiortc.rtcrtpparameters import RTCRtpCodecParameters

    drawn, render_ms = asyncio.run(_render(model, runtimes, 3 * FPS))
    encoder = get_encoder(RTCRtpCodecParameters(mimeType=f"video/{codec.upper()}", clockRate=90000))
    start = 0.0
    for n in range(3):
        if n == 1:
            start = time.process_time()
        for f in drawn:
            pixels = np.frombuffer(f.image, np.uint8).reshape(f.height, f.width, 3)
            out = av.VideoFrame.from_numpy_buffer(pixels, format="rgb24")
            out.pts, out.time_base = (n * len(drawn) + f.index) * 3600, fractions.Fraction(1, 90000)
            encoder.encode(out)
    return render_ms, (time.process_time() - start) * 1000 / (2 * len(drawn))


async def speak(peer, stop: asyncio.Event) -> None:
    """The built-in utterance again each time the last one has ended."""
    spoken = -1
    while not stop.is_set():
        ended = max((t.get("utterances", 0) for t in peer.texts if t["type"] == "delivery"), default=0)
        if ended > spoken:
            spoken = ended
            await peer.send(type="builtin")
        await asyncio.sleep(0.1)


async def measure(
    n: int, size_model: str, codec: str, warmup: float, seconds: float, bare: tuple[float, float]
) -> Row:
    render_ms, encode_ms = bare
    import aiohttp

    from bench.webrtc_peer import Peer

    proc, url = start_server(
        "loop", n, "--transport", "webrtc", "--ice-loopback", "--codec", codec, "--model", size_model
    )
    peers: list = []
    try:
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as http:
            stop = asyncio.Event()
            peers = [Peer(await http.ws_connect(url + "ws")) for _ in range(n)]
            done = await asyncio.gather(*(peer.connect(timeout=30) for peer in peers), return_exceptions=True)
            live = [peer for peer, d in zip(peers, done) if d is None]
            speakers = [asyncio.create_task(speak(peer, stop)) for peer in live]
            await asyncio.sleep(warmup)
            start, cpu0, mine0 = time.perf_counter(), cpu_seconds(proc.pid), time.process_time()
            bytes0 = sum(peer.payload_bytes["video"] for peer in live)
            await asyncio.sleep(seconds)
            end, cpu1, mine1 = time.perf_counter(), cpu_seconds(proc.pid), time.process_time()
            video_bytes = sum(peer.payload_bytes["video"] for peer in live) - bytes0
            stop.set()
            await asyncio.gather(*speakers, return_exceptions=True)
            dropped = sum(
                max((t.get("dropped", 0) for t in x.texts if t["type"] == "delivery"), default=0)
                for x in live
            )
            for peer in peers:
                await peer.close()
    finally:
        stop_server(proc)
    span = end - start
    frames = [len([1 for at, _, _ in x.video if start <= at < end]) for x in live]
    fps = [f / span for f in frames] or [0.0]
    latencies = []
    for x in live:
        first = next((t["first"] for t in x.texts if t["type"] == "delivery" and "first" in t), None)
        if first is not None:  # packets are keyed by pts from the first frame, which is the server's first
            latencies += [
                at - (first[1] + pts / 90000)
                for pts, at in x.packets.get("video", {}).items()
                if start <= at < end
            ]
    server = 100 * (cpu1 - cpu0) / span
    return Row(
        n,
        len(live),
        round(min(fps), 2),
        round(statistics.median(fps), 2),
        round(p(latencies, 0.5), 1),
        round(p(latencies, 0.99), 1),
        round(server, 1),
        round((cpu1 - cpu0) * 1000 / max(1, sum(frames)), 2),
        round(encode_ms, 2),
        round(render_ms, 2),
        dropped,
        round(100 * (mine1 - mine0) / span, 1),
        round(video_bytes * 8 / 1000 / span / max(1, len(live))),
    )


def main(args, argv: list[str]) -> int:
    if os.environ.get(INSIDE) != "1":
        command = 'ip link set lo up && exec "$@"'
        env = {**os.environ, INSIDE: "1"}
        inner = [sys.executable, "-m", "bench.serve", *argv]
        return subprocess.call(["unshare", "--net", "--", "sh", "-c", command, "sh", *inner], env=env)
    size = args.size or 512
    sessions = args.sessions or [1, 4, 8, 16]
    warmup, seconds = (3.0, 4.0) if args.quick else (4.0, 10.0)
    load_before = os.getloadavg()
    rows = []
    with tempfile.TemporaryDirectory(prefix="talvo-bench-") as tmp:
        from talvo.engine.video_reader import pack_demo_model

        model = os.path.join(tmp, "m.imx")
        pack_demo_model(model, width=size, height=size)
        for n in sessions:
            print(f"webrtc x {n} ...", file=sys.stderr, flush=True)
            # In a process of its own before the server starts, so that its CPU time is the
            # renderer's and the encoder's (threads included) and nothing else's.
            with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
                bare = pool.submit(bare_costs, model, args.codec, n).result()
            rows.append(asyncio.run(measure(n, model, args.codec, warmup, seconds, bare)))
    load_after = os.getloadavg()
    print(
        f"CPU: {os.cpu_count()} cores; load average before {load_before[0]:.2f}, after {load_after[0]:.2f}; "
        f"Python {sys.version.split()[0]}; {size}x{size}, {args.codec}"
    )
    print(
        "| sessions | fps per session, min / median | latency p50 / p99 (ms) | server CPU (% of a core) "
        "| server CPU per frame sent (ms) | renderer alone | bare encode | x bare encode "
        "| without the renderer | dropped | client CPU | video kbit/s |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        connected = "" if r.connected == r.sessions else f" ({r.connected} connected)"
        delivery = r.server_ms_per_frame - r.render_ms_per_frame
        print(
            f"| {r.sessions}{connected} | {r.fps_min} / {r.fps_median} | {r.latency_p50_ms} / {r.latency_p99_ms} "
            f"| {r.server_cpu_percent} | {r.server_ms_per_frame} | {r.render_ms_per_frame} | {r.encode_ms_per_frame} "
            f"| {r.server_ms_per_frame / r.encode_ms_per_frame:.2f} | {delivery / r.encode_ms_per_frame:.2f} "
            f"| {r.dropped} | {r.client_cpu_percent} | {r.video_kbps:g} |"
        )
    write_json(args.json, load_before, load_after, rows=rows)
    return 0
