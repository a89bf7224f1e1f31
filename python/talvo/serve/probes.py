"""Whether this process takes new sessions, and the probes a load balancer asks it.

`Admission` is the one place that decides: the socket handler refuses by it, /readyz answers by
it and a drain sets it, so what a balancer is told and what a page gets never disagree.
"""

from __future__ import annotations

import os
from typing import Any

from aiohttp import web

from talvo.serve.settings import Settings

STOPPING = "the server is stopping"
DRAINING = "The server is restarting and takes no new sessions. Reload in a moment."


class Admission:
    def __init__(self, settings: Settings, sessions: set[Any]) -> None:
        self.settings = settings
        self.sessions = sessions
        self.refusal: str | None = None  # what a refused socket is told, once closed
        self.reason: str | None = None  # why it closed: "draining" or "stopping"

    @property
    def accepting(self) -> bool:
        return self.refusal is None

    def close(self, refusal: str = STOPPING, reason: str = "stopping") -> None:
        """No new session from now on; the first reason given stays."""
        if self.refusal is None:
            self.refusal, self.reason = refusal, reason

    def drain(self) -> None:
        self.close(DRAINING, "draining")

    def not_ready(self) -> tuple[str, str] | None:
        """(reason, message for the page) while no new session is taken: closed, or full."""
        if self.refusal is not None and self.reason is not None:
            return self.reason, self.refusal
        if len(self.sessions) >= self.settings.max_sessions:
            limit = self.settings.max_sessions
            return "full", (
                f"The server is full: {limit} {'session is' if limit == 1 else 'sessions are'} open "
                f"(--max-sessions {limit}). Close another tab or try again later."
            )
        return None

    def figures(self) -> dict[str, Any]:
        return {
            "pid": os.getpid(),
            "sessions": len(self.sessions),
            "max_sessions": self.settings.max_sessions,
            "draining": self.reason == "draining",
        }


ADMISSION = web.AppKey("admission", Admission)
_NO_CACHE = {"Cache-Control": "no-store"}


async def healthz(request: web.Request) -> web.Response:
    """Alive: the event loop answers. Says nothing about taking sessions (that is /readyz)."""
    return web.json_response({"status": "alive", **request.app[ADMISSION].figures()}, headers=_NO_CACHE)


async def readyz(request: web.Request) -> web.Response:
    admission = request.app[ADMISSION]
    refusal = admission.not_ready()
    if refusal is None:
        return web.json_response({"ready": True, **admission.figures()}, headers=_NO_CACHE)
    reason, message = refusal
    body = {"ready": False, "reason": reason, "message": message, **admission.figures()}
    return web.json_response(body, status=503, headers=_NO_CACHE)
