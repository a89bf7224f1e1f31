"""The aiohttp application: the page, its static files, and one WebSocket per session."""

from __future__ import annotations

import asyncio
import contextlib
import ipaddress
from importlib import resources

from aiohttp import web
from aiohttp.typedefs import Handler
from loguru import logger

from talvo.serve import metrics, probes, protocol
from talvo.serve.budget import Budget
from talvo.serve.probes import ADMISSION, Admission
from talvo.serve.session import Session
from talvo.serve.settings import Settings

SETTINGS = web.AppKey("settings", Settings)
SESSIONS = web.AppKey("sessions", set[Session])
REFUSED = web.AppKey("refused", Budget)  # requests refused for their Host or Origin

STATIC = resources.files("talvo.serve") / "static"


async def index(request: web.Request) -> web.Response:
    return web.Response(text=(STATIC / "index.html").read_text(encoding="utf-8"), content_type="text/html")


async def static_file(request: web.Request) -> web.Response:
    name = request.match_info["name"]
    kinds = {".js": "text/javascript", ".css": "text/css"}
    kind = next((k for suffix, k in kinds.items() if name.endswith(suffix)), None)
    path = STATIC / name
    # Only the page's own files by name: no directories, so no path ever leaves the package.
    if kind is None or "/" in name or name.startswith(".") or not path.is_file():
        raise web.HTTPNotFound()
    return web.Response(text=path.read_text(encoding="utf-8"), content_type=kind)


def host_name(header: str) -> str:
    """The name in a Host header: lower case, without its port or an IPv6 literal's brackets."""
    host = header.strip().lower()
    if host.startswith("["):
        return host[1 : host.find("]")] if "]" in host else host
    return host.rsplit(":", 1)[0] if host.count(":") == 1 else host


def host_allowed(header: str, allowed: frozenset[str] | None) -> bool:
    name = host_name(header)
    if allowed is None or name in allowed:
        return True
    try:
        ipaddress.ip_address(name)  # an address literal names no domain anyone can rebind
    except ValueError:
        return False
    return True


def _log_refused(app: web.Application, message: str, value: str) -> None:
    settings = app[SETTINGS]
    if app[REFUSED].spend() <= settings.refusal_burst:  # a flood of them writes a few lines
        logger.warning(message, protocol.quote(value))


@web.middleware
async def check_host(request: web.Request, handler: Handler) -> web.StreamResponse:
    host = request.headers.get("Host", "")
    if not host_allowed(host, request.app[SETTINGS].allowed_hosts):
        _log_refused(request.app, "refused a request for host {}", host)
        raise web.HTTPMisdirectedRequest(
            text="This server does not answer to that host name (see its --allow-host option).\n"
        )
    return await handler(request)


def origin_allowed(request: web.Request) -> bool:
    """A page may open a session from the server's own origin or one it was told to allow; a
    client that is no page (it sends no Origin) may too."""
    origin = request.headers.get("Origin")
    if origin is None:
        return True
    origin = origin.strip().lower()
    host = request.headers.get("Host", "").strip().lower()
    # Either scheme: behind a proxy that ends TLS the page is https while this server sees http.
    return origin in (f"http://{host}", f"https://{host}") or origin in request.app[SETTINGS].allow_origins


async def _refuse(ws: web.WebSocketResponse, request: web.Request, message: str, code: int) -> None:
    """Tell the page why and close, within a second: a tab that reads nothing cannot hold up a
    stop or keep its handler."""
    with contextlib.suppress(Exception):  # TimeoutError, or a tab already gone
        async with asyncio.timeout(1.0):
            await ws.send_str(protocol.dumps("refused", message=message))
            await ws.close(code=code, message=message[:120].encode())
    if not ws.closed and request.transport is not None:
        request.transport.abort()


async def socket(request: web.Request) -> web.StreamResponse:
    app = request.app
    settings, sessions, admission = app[SETTINGS], app[SESSIONS], app[ADMISSION]
    if not origin_allowed(request):
        origin = request.headers.get("Origin", "")
        _log_refused(app, "refused a socket from a page at {}", origin)
        raise web.HTTPForbidden(
            text="This server takes sockets from its own page only (see its --allow-origin option).\n"
        )
    if not admission.accepting:
        # Refused before the upgrade: a balancer takes the 503 as "try the next server", so
        # the page lands on one that is staying (the page itself asks /readyz why).
        metrics.session_refused(admission.reason or "stopping")
        body = {"type": "refused", "message": admission.refusal}
        return web.json_response(body, status=503, headers={"Retry-After": "5"})
    # Frames are raw RGB: per-message compression would cost more CPU than the bytes it saves.
    ws = web.WebSocketResponse(max_msg_size=settings.max_message_bytes, compress=False, heartbeat=20.0)
    try:
        await ws.prepare(request)
    except ConnectionError:  # the tab left during the handshake: nothing to tell anyone
        logger.debug("a tab left while its socket was opening")
        return web.Response()  # aiohttp's own write of it fails quietly on the gone connection
    # Asked again, and from here to sessions.add nothing awaits: sessions may have opened, or a
    # stop or drain begun, during the upgrade; one begun later finds this session in its set.
    refusal = admission.not_ready()
    if refusal is not None:
        reason, message = refusal
        logger.warning("refused a session ({}): {} sessions open", reason, len(sessions))
        metrics.session_refused(reason)
        await _refuse(ws, request, message, code=1013 if reason == "full" else 1001)
        return ws
    # Counted from here, so the limit holds; uncounted only once its runtime has stopped, so a
    # server shutdown waits for it even if this handler is cancelled first.
    session = Session(ws, settings, request.transport, on_finished=sessions.discard)
    sessions.add(session)
    logger.info("session {} opened ({} of {})", session.number, len(sessions), settings.max_sessions)
    await session.serve()
    return ws


async def stop_sessions(app: web.Application) -> None:
    """Refuse new sockets, close every open one and wait until each session has stopped its
    runtime."""
    app[ADMISSION].close()
    open_now: set[Session] = app[SESSIONS]
    sessions = list(open_now)
    if sessions:
        logger.info("stopping {} session(s)", len(sessions))
        await asyncio.gather(*(s.shutdown() for s in sessions), return_exceptions=True)


def make_app(settings: Settings) -> web.Application:
    app = web.Application(middlewares=[check_host])
    app[SETTINGS] = settings
    sessions: set[Session] = set()
    app[SESSIONS] = sessions
    app[ADMISSION] = Admission(settings, sessions)
    app[REFUSED] = Budget(settings.refusals_per_second)
    app.router.add_get("/", index)
    app.router.add_get("/static/{name}", static_file)
    app.router.add_get("/ws", socket)
    app.router.add_get("/healthz", probes.healthz)
    app.router.add_get("/readyz", probes.readyz)
    app.router.add_get("/metrics", metrics.handle_metrics)
    app.on_shutdown.append(stop_sessions)
    return app
