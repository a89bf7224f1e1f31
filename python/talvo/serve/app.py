"""The aiohttp application: the page, its static files, and one WebSocket per session."""

from __future__ import annotations

import asyncio
from importlib import resources

from aiohttp import web
from loguru import logger

from talvo.serve import metrics, probes, protocol
from talvo.serve.probes import ADMISSION, Admission
from talvo.serve.session import Session
from talvo.serve.settings import Settings

SETTINGS = web.AppKey("settings", Settings)
SESSIONS = web.AppKey("sessions", set)

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


async def socket(request: web.Request) -> web.StreamResponse:
    app = request.app
    settings, sessions, admission = app[SETTINGS], app[SESSIONS], app[ADMISSION]
    if not admission.accepting:
        # Refused before the upgrade: a balancer takes the 503 as "try the next server", so
        # the page lands on one that is staying (the page itself asks /readyz why).
        metrics.session_refused(admission.reason or "stopping")
        body = {"type": "refused", "message": admission.refusal}
        return web.json_response(body, status=503, headers={"Retry-After": "5"})
    # Frames are raw RGB: per-message compression would cost more CPU than the bytes it saves.
    ws = web.WebSocketResponse(max_msg_size=settings.max_message_bytes, compress=False, heartbeat=20.0)
    await ws.prepare(request)
    refusal = admission.not_ready()  # again: sessions may have opened, or a drain begun, meanwhile
    if refusal is not None:
        reason, message = refusal
        logger.warning("refused a session ({}): {} sessions open", reason, len(sessions))
        metrics.session_refused(reason)
        await ws.send_str(protocol.dumps("refused", message=message))
        await ws.close(code=1013, message=f"server {reason}".encode())
        return ws
    # Counted from here, before any await, so the limit holds; uncounted only once its runtime
    # has stopped, so a server shutdown waits for it even if this handler is cancelled first.
    session = Session(ws, settings, request.transport, on_finished=sessions.discard)
    sessions.add(session)
    logger.info("session {} opened ({} of {})", session.number, len(sessions), settings.max_sessions)
    await session.serve()
    return ws


async def stop_sessions(app: web.Application) -> None:
    """Refuse new sockets, close every open one and wait until each session has stopped its
    runtime."""
    app[ADMISSION].close()
    sessions = list(app[SESSIONS])
    if sessions:
        logger.info("stopping {} session(s)", len(sessions))
        await asyncio.gather(*(s.shutdown() for s in sessions), return_exceptions=True)


def make_app(settings: Settings) -> web.Application:
    app = web.Application()
    app[SETTINGS] = settings
    app[SESSIONS] = set()
    app[ADMISSION] = Admission(settings, app[SESSIONS])
    app.router.add_get("/", index)
    app.router.add_get("/static/{name}", static_file)
    app.router.add_get("/ws", socket)
    app.router.add_get("/healthz", probes.healthz)
    app.router.add_get("/readyz", probes.readyz)
    app.router.add_get("/metrics", metrics.handle_metrics)
    app.on_shutdown.append(stop_sessions)
    return app
