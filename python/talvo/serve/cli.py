"""`python -m talvo serve`: argument parsing, start-up checks, a clean Ctrl-C and a SIGTERM
that drains."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import ipaddress
import os
import signal
import sys
import tempfile
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, NoReturn

from talvo.exceptions import TalvoError

if TYPE_CHECKING:
    from aiohttp import web

    from talvo.serve.settings import Settings


class ServeError(Exception):
    """A start-up problem: reported as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, not a usage dump
        self.exit(2, f"talvo serve: error: {message} (see --help)\n")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = _Parser(
        prog="python -m talvo serve",
        description=("Serve the talking avatar live to browsers: one AsyncTalvo session per tab."),
    )
    p.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8080, help="port to bind, 0 for any (default 8080)")
    p.add_argument("--model", metavar="PATH", help="Orrin .imx model (default: pack a demo model)")
    p.add_argument(
        "--frame-wait",
        choices=("loop", "executor"),
        default="loop",
        help="how each session waits for frames (default: loop)",
    )
    p.add_argument(
        "--max-sessions",
        type=int,
        default=32,
        help="sessions served at once; more tabs are refused (default 32)",
    )
    p.add_argument(
        "--allow-origin",
        action="append",
        default=[],
        metavar="ORIGIN",
        help="a page origin (scheme://host[:port]) besides its own that may open sessions; repeatable",
    )
    p.add_argument(
        "--allow-host",
        action="append",
        default=[],
        metavar="NAME",
        help="a host name the server answers to besides loopback names and addresses; repeatable",
    )
    p.add_argument(
        "--transport",
        choices=("websocket", "webrtc"),
        default="websocket",
        help="how frames reach the page: raw over the WebSocket, or compressed over WebRTC "
        "(needs talvo[webrtc]) (default: websocket)",
    )
    p.add_argument(
        "--codec", choices=("vp8", "h264"), default="vp8", help="webrtc: the video codec (default: vp8)"
    )
    p.add_argument(
        "--ice-server",
        metavar="URL",
        action="append",
        default=[],
        help="webrtc: a STUN or TURN server, stun:HOST[:PORT] or "
        "turn:USER:PASSWORD@HOST[:PORT][?transport=tcp]; repeatable (default: none)",
    )
    p.add_argument(
        "--ice-loopback",
        action="store_true",
        help="webrtc: offer loopback candidates too, for a browser on this machine",
    )
    p.add_argument(
        "--workers",
        type=int,
        default=1,
        help="processes serving the port, each with its own --max-sessions (default 1)",
    )
    p.add_argument(
        "--drain-timeout",
        type=float,
        default=30.0,
        metavar="SECONDS",
        help="on SIGTERM, how long utterances under way may finish before sessions close (default 30)",
    )
    p.add_argument("--verbose", action="store_true", help="show the runtime's debug log")
    p.add_argument("--worker-of", help=argparse.SUPPRESS)  # FD:PID, set by the supervisor
    args = p.parse_args(argv)
    for origin in args.allow_origin:
        scheme, sep, rest = origin.partition("://")
        if scheme not in ("http", "https") or not sep or not rest or "/" in rest:
            p.error(f"--allow-origin must be http://host[:port] or https://host[:port], not {origin!r}")
    try:
        args.ice_servers = tuple(parse_ice_server(url) for url in args.ice_server)
    except ValueError as e:
        p.error(str(e))
    if not 0 <= args.port <= 65535:
        p.error("--port must be between 0 and 65535")
    if not 1 <= args.max_sessions <= 1024:
        p.error("--max-sessions must be between 1 and 1024")
    if not 1 <= args.workers <= 64:
        p.error("--workers must be between 1 and 64")
    if not 0 <= args.drain_timeout <= 3600:
        p.error("--drain-timeout must be between 0 and 3600 seconds")
    return args


LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


def allowed_hosts(bind: str, extra: list[str]) -> frozenset[str] | None:
    """Host names served. Bound to loopback, only loopback names (and addresses) unless told
    more: a page whose name an attacker rebinds to 127.0.0.1 is refused. Bound elsewhere, any
    name, unless --allow-host lists them."""
    try:
        loopback = bind == "localhost" or ipaddress.ip_address(bind.strip("[]")).is_loopback
    except ValueError:
        loopback = False
    if not loopback and not extra:
        return None
    return frozenset(name.lower().strip("[]") for name in (*LOOPBACK_NAMES, bind, *extra))


def parse_ice_server(url: str) -> tuple[str, str | None, str | None]:
    """(url, username, credential) from stun:HOST[:PORT] or turn[s]:USER:PASSWORD@HOST[:PORT]."""
    scheme, _, rest = url.partition(":")
    user = password = None
    if "@" in rest:
        credentials, _, rest = rest.rpartition("@")
        user, _, password = credentials.partition(":")
    if scheme not in ("stun", "stuns", "turn", "turns") or not rest or rest.startswith("/"):
        raise ValueError(f"--ice-server {url!r}: expected stun:HOST[:PORT] or turn:USER:PASSWORD@HOST[:PORT]")
    if scheme.startswith("turn") and not (user and password):
        raise ValueError(f"--ice-server {url!r}: a TURN server needs USER:PASSWORD@ before its host")
    if scheme.startswith("stun") and user is not None:
        raise ValueError(f"--ice-server {url!r}: a STUN server takes no credentials")
    return f"{scheme}:{rest}", user, password


def _url(host: str, port: int) -> str:
    shown = "127.0.0.1" if host in ("", "0.0.0.0") else host
    return f"http://[{shown}]:{port}/" if ":" in shown else f"http://{shown}:{port}/"


async def serve(
    settings: Settings,
    host: str,
    port: int,
    ready: Callable[[str], None] = print,
    worker_of: str | None = None,
) -> None:
    """Serve until SIGINT, or SIGTERM and a drain, then stop every session before returning.
    `worker_of` makes this one of several workers sharing the port (see workers.py)."""
    from aiohttp import web

    from talvo.serve import app as app_mod
    from talvo.serve import drain, probes, runtimes, workers

    loop = asyncio.get_running_loop()
    if settings.frame_wait == "executor":
        # Each session's wait for its next frame holds one worker; size the pool to match.
        loop.set_default_executor(ThreadPoolExecutor(max_workers=settings.max_sessions + 4))
    try:  # open the model once here, so a bad one is reported now rather than per tab
        probe = await runtimes.open_runtime(settings)
    except (TalvoError, ValueError, OSError) as e:  # a Velda model, for one
        raise ServeError(str(e)) from None
    await probe.stop()
    await loop.run_in_executor(None, runtimes.builtin_utterance)

    app = app_mod.make_app(settings)
    # By the time aiohttp waits for connections, on_shutdown has stopped every session; what it
    # still waits for is a refusal (bounded) or a connection accepted just before the listening
    # socket closed, whose request aiohttp ignores once shutting down and would hold for 60 s.
    runner = web.AppRunner(app, access_log=None, handle_signals=False, shutdown_timeout=2.0)
    await runner.setup()
    draining: asyncio.Task[None] | None = None
    site: web.TCPSite | None = None
    try:
        site = web.TCPSite(runner, host, port, reuse_port=worker_of is not None)
        try:
            await site.start()
        except OSError as e:
            raise ServeError(f"cannot listen on {host}:{port}: {e.strerror or e}") from None
        bound_port = runner.addresses[0][1] if runner.addresses else port
        stopping = asyncio.Event()

        def on_sigterm() -> None:
            nonlocal draining
            if draining is None:
                draining = asyncio.ensure_future(drain.drain(app[probes.ADMISSION], settings.drain_timeout))
                draining.add_done_callback(lambda _: stopping.set())
            else:  # a second SIGTERM ends the drain at once
                stopping.set()

        # Kept until every session has stopped: a second Ctrl-C must not abandon runtimes
        # half-stopped (each stop is bounded anyway).
        loop.add_signal_handler(signal.SIGINT, stopping.set)
        loop.add_signal_handler(signal.SIGTERM, on_sigterm)
        if worker_of is not None:

            def supervisor_gone() -> None:  # from the watching thread
                loop.call_soon_threadsafe(stopping.set)

            workers.watch_supervisor(worker_of, supervisor_gone)
        ready(
            f"talvo serve: {_url(host, bound_port)}  ({settings.transport}, "
            f"frame wait: {settings.frame_wait}, up to {settings.max_sessions} sessions; "
            "Ctrl-C stops, SIGTERM drains)"
        )
        await stopping.wait()
    finally:
        app[probes.ADMISSION].close()  # from now on a new socket is refused at once
        try:
            if draining is not None and not draining.done():
                draining.cancel()
                await asyncio.gather(draining, return_exceptions=True)
            await _stop_accepting(site)
            await runner.cleanup()  # on_shutdown closes every session and waits for its runtime
        finally:
            for sig in (signal.SIGINT, signal.SIGTERM):
                loop.remove_signal_handler(sig)


async def _stop_accepting(site: web.BaseSite | None) -> None:
    """Stop taking connections, and let those already taken reach the server before it closes.

    asyncio attaches each accepted connection to its server one loop step after the accept; a
    server closed in between leaves that transport half-made, and collecting it later raises
    inside asyncio (CPython gh-109564), which a Ctrl-C amid arriving tabs met one time in three."""
    server = getattr(site, "_server", None)  # the asyncio server aiohttp's site listens with
    if server is None:
        return
    loop = asyncio.get_running_loop()
    for sock in server.sockets:
        loop.remove_reader(sock.fileno())
    await asyncio.sleep(0)  # the accept tasks already made run their first step, attaching


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    args.argv = list(sys.argv[1:] if argv is None else argv)  # what workers are started with
    try:
        return _serve_command(args)
    except KeyboardInterrupt:  # Ctrl-C before the server was listening (imports included)
        return 130


def _serve_command(args: argparse.Namespace) -> int:
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        print("talvo serve: error: needs aiohttp: pip install 'talvo[serve]'", file=sys.stderr)
        return 1
    from talvo._commands import log_to_stderr
    from talvo.serve import runtimes, transports

    if (needed := transports.missing(args.transport)) is not None:
        print(f"talvo serve: error: {needed}", file=sys.stderr)
        return 1
    from talvo.serve.settings import Settings

    log_to_stderr(
        "DEBUG" if args.verbose else "INFO",
        runtime_level="DEBUG" if args.verbose else "WARNING",
        # With several processes on one terminal, each line says whose it is.
        format="{time:HH:mm:ss.SSS} {level: <7} "
        + ("[{process}] " if args.workers > 1 or args.worker_of else "")
        + "{message}",
    )
    try:
        frame_wait = runtimes.choose_frame_wait(args.frame_wait)
        with tempfile.TemporaryDirectory(prefix="talvo-serve-") as tmp:
            model = args.model
            if model is None:
                from talvo.engine.video_reader import pack_demo_model

                model = os.path.join(tmp, "demo.imx")
                pack_demo_model(model)
            elif not os.path.isfile(model):
                raise ServeError(f"{model}: no such model file")
            if args.workers > 1:
                return _supervise(args, model, tmp)
            settings = Settings(
                model_path=model,
                frame_wait=frame_wait,
                max_sessions=args.max_sessions,
                allowed_hosts=allowed_hosts(args.host, args.allow_host),
                allow_origins=frozenset(o.lower() for o in args.allow_origin),
                transport=args.transport,
                codec=args.codec,
                ice_servers=args.ice_servers,
                ice_loopback=args.ice_loopback,
                drain_timeout=args.drain_timeout,
            )
            asyncio.run(
                serve(
                    settings,
                    args.host,
                    args.port,
                    ready=_say if args.worker_of is None else _tell_supervisor,
                    worker_of=args.worker_of,
                )
            )
    except (ServeError, ValueError) as e:
        print(f"talvo serve: error: {e}", file=sys.stderr)
        return 1
    if args.worker_of is None:  # a worker's supervisor says it once for all
        print("talvo serve: stopped", flush=True)
    return 0


def _say(line: str) -> None:
    print(line, flush=True)


def _tell_supervisor(line: str) -> None:
    # Its supervisor reads this from a pipe; one that has just died is noticed by the watch.
    with contextlib.suppress(OSError):
        print(line, flush=True)


def _supervise(args: argparse.Namespace, model: str, tmp: str) -> int:
    from talvo.serve import metrics, workers

    try:
        reservation, port = workers.reserve_port(args.host, args.port)
    except OSError as e:
        raise ServeError(f"cannot listen on {args.host}:{args.port}: {e.strerror or e}") from None
    metrics_dir = os.path.join(tmp, "metrics")
    os.mkdir(metrics_dir)

    def command(worker_of: str) -> list[str]:
        # Every option as the user gave it, so each worker serves alike; the later ones win.
        line = [sys.executable, "-m", "talvo", "serve", *args.argv, "--workers", "1", "--port", str(port)]
        return line + ["--model", model, "--worker-of", worker_of]

    supervisor = workers.Supervisor(
        args.workers, command, {**os.environ, metrics.MULTIPROC_ENV: metrics_dir}, metrics_dir
    )
    ready = (
        f"talvo serve: {_url(args.host, port)}  ({args.workers} workers, frame wait: {args.frame_wait}, "
        f"up to {args.max_sessions} sessions each; Ctrl-C stops, SIGTERM drains)"
    )
    with reservation:
        status = asyncio.run(supervisor.run(lambda: print(ready, flush=True)))
    if status == 0:
        print("talvo serve: stopped", flush=True)
    return status
