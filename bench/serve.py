"""Load on `python -m talvo serve`: N simulated browser tabs (WebSocket clients in this process)
against one server process, each speaking the built-in utterance over and over and receiving
frames at 25 fps. Per mode and N: fps per session, p99 frame latency, server CPU.

    python -m bench.serve [--quick] [--sessions 1 8 32 64] [--modes loop executor] [--json PATH]
    python -m bench.serve --transport webrtc [--size 512] [--codec vp8] [--sessions 1 4 8 16]
    python -m bench.serve --workers 1,2 [--quick] [--json PATH]

With --workers, for each worker count: the largest N at which every session holds >= 24.5 fps
with a p99 latency <= 40 ms (loop mode; N doubled until it fails, then bisected). The clients
run on the same machine as the workers and take their share of its cores.

Latency is the time from a frame's deadline on the renderer's clock to its arrival here, both on
CLOCK_MONOTONIC (perf_counter on Linux), so it covers the server's queue, outbox and socket.

With --transport webrtc the tabs are aiortc peers (this process, the server in its own), the
whole run inside a network namespace of its own holding only loopback; latency is to the first
packet of each frame (aiortc then holds a frame until the next one starts), and the server's
CPU per session is set against the bare cost of encoding the same frames, measured here.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from collections import Counter
from dataclasses import asdict, dataclass
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):
    sys.path.insert(0, str(_ROOT))

import aiohttp  # noqa: E402
from talvo.serve import protocol  # noqa: E402
from talvo.serve.runtimes import frame_wait_modes  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


@dataclass
class Point:
    mode: str
    sessions: int
    seconds: float
    fps_min: float
    fps_median: float
    latency_p50_ms: float
    latency_p99_ms: float
    server_latency_p99_ms: float
    server_cpu_percent: float  # of one core
    client_cpu_percent: float
    dropped: int
    refused: int
    per_worker: str = ""  # sessions each worker took, largest first ("52/52")


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime + stime


def server_cpu_seconds(pid: int) -> float:
    """The server's CPU time, its workers' included (those alive now)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(x) for x in f.read().split()]
    except OSError:
        children = []
    total = cpu_seconds(pid)
    for child in children:
        try:
            total += cpu_seconds(child)
        except OSError:  # ended meanwhile
            pass
    return total


def write_json(path: str | None, load_before: tuple, load_after: tuple, **rows: list) -> None:
    """The figures of a run, with the machine's load around it, where --json asked for them."""
    if path:
        with open(path, "w") as f:
            figures = {name: [asdict(row) for row in items] for name, items in rows.items()}
            json.dump({"load_before": load_before, "load_after": load_after, **figures}, f, indent=2)


def start_server(mode: str, sessions: int, *extra: str, workers: int = 1) -> tuple[subprocess.Popen, str]:
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "talvo",
            "serve",
            "--port",
            "0",
            "--frame-wait",
            mode,
            "--max-sessions",
            str(sessions),
            *extra,
            "--workers",
            str(workers),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        text=True,
    )
    line = proc.stdout.readline()
    if "http://" not in line:
        proc.kill()
        raise SystemExit(f"the server did not start: {line!r}")
    return proc, line.split()[2]


def stop_server(proc: subprocess.Popen) -> None:
    """Ctrl-C, as a user would stop it; killed if it has not ended within a minute."""
    proc.send_signal(signal.SIGINT)
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.stdout.close()


class Client:
    def __init__(self) -> None:
        self.arrivals: list[float] = []
        self.latencies: list[float] = []
        self.server_latencies: list[float] = []
        self.dropped = 0
        self.refused = False
        self.worker: int | None = None

    async def run(self, http: aiohttp.ClientSession, url: str, stop: asyncio.Event) -> None:
        async with http.ws_connect(url + "ws", max_msg_size=0) as ws:
            hello = await ws.receive_json()
            if hello["type"] != "hello":
                self.refused = True
                return
            self.worker = hello.get("worker")
            await ws.send_str(json.dumps({"type": "builtin"}))
            while not stop.is_set():
                msg = await ws.receive()
                now = time.perf_counter()
                if msg.type == aiohttp.WSMsgType.BINARY:
                    (_, _, _, flags, _, _, dropped, _, _, deadline, server_ms) = (
                        protocol.FRAME_HEADER.unpack_from(msg.data)
                    )
                    self.arrivals.append(now)
                    self.latencies.append(now - deadline)
                    self.server_latencies.append(server_ms / 1000)
                    self.dropped = dropped
                    if flags & protocol.END_OF_SPEECH:
                        await ws.send_str(json.dumps({"type": "builtin"}))
                elif msg.type != aiohttp.WSMsgType.TEXT:
                    return


def window(values: list[float], times: list[float], start: float, end: float) -> list[float]:
    return [v for v, t in zip(values, times) if start <= t < end]


def p(values: list[float], q: float) -> float:
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))] * 1000 if values else float("nan")


async def measure(mode: str, n: int, warmup: float, seconds: float, *extra: str, workers: int = 1) -> Point:
    proc, url = start_server(mode, n, *extra, workers=workers)
    try:
        clients = [Client() for _ in range(n)]
        stop = asyncio.Event()
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0)) as http:
            tasks = [asyncio.create_task(c.run(http, url, stop)) for c in clients]
            await asyncio.sleep(warmup)
            start, cpu0, mine0 = time.perf_counter(), server_cpu_seconds(proc.pid), time.process_time()
            await asyncio.sleep(seconds)
            end, cpu1, mine1 = time.perf_counter(), server_cpu_seconds(proc.pid), time.process_time()
            stop.set()
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
    finally:
        stop_server(proc)
    span = end - start
    served = [c for c in clients if not c.refused]
    fps = [len(window(c.arrivals, c.arrivals, start, end)) / span for c in served] or [0.0]
    lat = [x for c in served for x in window(c.latencies, c.arrivals, start, end)]
    server_lat = [x for c in served for x in window(c.server_latencies, c.arrivals, start, end)]
    return Point(
        mode,
        n,
        round(span, 2),
        round(min(fps), 2),
        round(statistics.median(fps), 2),
        round(p(lat, 0.5), 2),
        round(p(lat, 0.99), 2),
        round(p(server_lat, 0.99), 2),
        round(100 * (cpu1 - cpu0) / span, 1),
        round(100 * (mine1 - mine0) / span, 1),
        sum(c.dropped for c in served),
        n - len(served),
        "/".join(str(k) for k in sorted(Counter(c.worker for c in served).values(), reverse=True)),
    )


FPS_TARGET, P99_TARGET_MS = 24.5, 40.0


def holds(x: Point) -> bool:
    return x.refused == 0 and x.fps_min >= FPS_TARGET and x.latency_p99_ms <= P99_TARGET_MS


def search(counts: list[int], warmup: float, seconds: float, start: int, limit: int) -> dict:
    """For each worker count: the largest N that holds, and every point measured on the way.

    The counts are probed in turn at each step, so a change of load on the shared machine hits
    all of them; a failing N is measured again and counts as failed only if it fails twice.
    """
    bounds = {w: [0, None] for w in counts}  # largest N that held, smallest that failed
    points: dict[int, list[Point]] = {w: [] for w in counts}

    def next_n(w: int) -> int | None:
        good, bad = bounds[w]
        if bad is None:
            n = good * 2 if good else start
            return n if n <= limit else None
        # Bisect to within a tenth (at least 4 sessions): each probe costs a server start and a window.
        return (good + bad) // 2 if bad - good > max(4, good // 10) else None

    while todo := [(w, n) for w in counts if (n := next_n(w)) is not None]:
        for w, n in todo:
            held = False
            for _ in range(2):
                print(f"{w} worker(s) x {n} sessions ...", file=sys.stderr, flush=True)
                points[w].append(asyncio.run(measure("loop", n, warmup, seconds, workers=w)))
                if held := holds(points[w][-1]):
                    break
            bounds[w][0 if held else 1] = n
    return {w: (bounds[w][0], bounds[w][1], points[w]) for w in counts}


def main_workers(counts: list[int], warmup: float, seconds: float, args: argparse.Namespace) -> int:
    load_before = os.getloadavg()
    found = search(counts, warmup, seconds, args.start, args.limit)
    load_after = os.getloadavg()
    print(
        f"CPU: {os.cpu_count()} cores, shared with the clients; load average before "
        f"{load_before[0]:.2f}, after {load_after[0]:.2f}; Python {sys.version.split()[0]}"
    )
    print(
        f"| workers | largest N (>= {FPS_TARGET} fps, p99 <= {P99_TARGET_MS:g} ms) | fps min at N "
        "| latency p99 at N (ms) | sessions per worker | server CPU at N (% of a core) | client CPU "
        "| first N that failed |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for w, (n, bad, points) in found.items():
        at = next((x for x in reversed(points) if x.sessions == n and holds(x)), None)
        # The smallest N that failed twice, as its second try measured it.
        failed = next((x for x in reversed(points) if x.sessions == bad), None)
        miss = f"{bad} ({failed.fps_min} fps, {failed.latency_p99_ms} ms)" if failed else "-"
        if at is None:
            print(f"| {w} | none | | | | | | {miss} |")
        else:
            print(
                f"| {w} | {n} | {at.fps_min} | {at.latency_p99_ms} | {at.per_worker} | {at.server_cpu_percent} "
                f"| {at.client_cpu_percent} | {miss} |"
            )
    if len(found) > 1 and found[counts[0]][0]:
        base = found[counts[0]][0]
        print(", ".join(f"{w} workers: {n / base:.2f} x {counts[0]}" for w, (n, _, _) in found.items()))
    if args.json:
        with open(args.json, "w") as f:
            body = {
                w: {"largest": n, "points": [asdict(x) for x in points]}
                for w, (n, _, points) in found.items()
            }
            json.dump({"load_before": load_before, "load_after": load_after, "workers": body}, f, indent=2)
    return 0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.serve", description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="2 s warm-up, 4 s windows (default 3 s, 10 s)")
    ap.add_argument(
        "--sessions", type=int, nargs="+", default=None, help="default: 1 8 32 64 (webrtc: 1 4 8 16)"
    )
    ap.add_argument("--modes", nargs="+", default=None, help="default: loop, then executor")
    ap.add_argument("--json", metavar="PATH", help="also write the figures here")
    ap.add_argument("--transport", choices=("websocket", "webrtc"), default="websocket")
    ap.add_argument("--size", type=int, default=None, help="model width and height (default: the demo's 96)")
    ap.add_argument("--codec", choices=("vp8", "h264"), default="vp8", help="webrtc: the video codec")
    ap.add_argument("--workers", metavar="N,N", help="find the largest N that holds for these worker counts")
    ap.add_argument("--start", type=int, default=32, help="with --workers: the first N tried (default 32)")
    ap.add_argument(
        "--limit", type=int, default=1024, help="with --workers: the largest N tried (default 1024)"
    )
    args = ap.parse_args(argv if argv is not None else sys.argv[1:])
    if args.transport == "webrtc":
        from bench import serve_webrtc

        return serve_webrtc.main(args, argv if argv is not None else sys.argv[1:])
    args.sessions = args.sessions or [1, 8, 32, 64]
    model = tempfile.TemporaryDirectory(prefix="talvo-bench-")
    extra = ()
    if args.size:
        from talvo.engine.video_reader import pack_demo_model

        pack_demo_model(os.path.join(model.name, "m.imx"), width=args.size, height=args.size)
        extra = ("--model", os.path.join(model.name, "m.imx"))
    modes = args.modes or list(frame_wait_modes())
    warmup, seconds = (2.0, 4.0) if args.quick else (3.0, 10.0)
    if args.workers:
        try:
            counts = [int(w) for w in args.workers.split(",")]
        except ValueError:
            ap.error(f"--workers takes counts separated by commas, like 1,2; not {args.workers!r}")
        if not counts or min(counts) < 1:
            ap.error("--workers counts must be at least 1")
        return main_workers(counts, warmup, seconds, args)
    load_before = os.getloadavg()
    points = []
    for n in args.sessions:
        for mode in modes:  # modes side by side at each N, so a change of load hits both
            print(f"{mode} x {n} ...", file=sys.stderr, flush=True)
            points.append(asyncio.run(measure(mode, n, warmup, seconds, *extra)))
    load_after = os.getloadavg()
    print(
        f"CPU: {os.cpu_count()} cores; load average before {load_before[0]:.2f}, "
        f"after {load_after[0]:.2f}; Python {sys.version.split()[0]}"
    )
    print(
        "| frame wait | sessions | fps per session, min / median | latency p50 / p99 (ms) "
        "| server's own p99 (ms) | server CPU (% of a core) | client CPU | dropped |"
    )
    print("|---|---|---|---|---|---|---|---|")
    for x in points:
        refused = f" ({x.refused} refused)" if x.refused else ""
        print(
            f"| {x.mode} | {x.sessions}{refused} | {x.fps_min} / {x.fps_median} | "
            f"{x.latency_p50_ms} / {x.latency_p99_ms} | {x.server_latency_p99_ms} | "
            f"{x.server_cpu_percent} | {x.client_cpu_percent} | {x.dropped} |"
        )
    write_json(args.json, load_before, load_after, points=points)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
