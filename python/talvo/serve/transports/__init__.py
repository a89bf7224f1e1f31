"""How a session's frames leave the server, one delivery per session, chosen with --transport.

A session owns its runtime, its speech input and the control messages on its WebSocket; its
delivery takes each frame the renderer draws and gets it to the page. Another transport is one
more module here with a `Delivery` subclass, named in TRANSPORTS.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any, ClassVar

from talvo.serve import metrics
from talvo.serve.outbox import Outbox
from talvo.serve.settings import Settings

# name -> (module, the modules it needs beyond aiohttp, the extra that brings them)
TRANSPORTS: dict[str, tuple[str, tuple[str, ...], str]] = {
    "websocket": ("talvo.serve.transports.websocket", (), "serve"),
    "webrtc": ("talvo.serve.transports.webrtc", ("aiortc", "av", "numpy"), "webrtc"),
}

# Page-to-server messages that belong to a delivery rather than to the session.
SIGNALLING = ("webrtc_offer",)


class SessionEnded(Exception):
    """The delivery cannot go on: the session closes with this one-line message and code."""

    def __init__(self, message: str, code: int = 1011) -> None:
        super().__init__(message)
        self.code = code


class Delivery:
    """Frames in from the session's pump (`put`, on the loop), out to the page (`run`).

    `pending` is read by the renderer's thread (its out_buffer_empty): it draws idle frames
    only while nothing waits here, so a delivery that falls behind never grows a backlog.
    """

    name: ClassVar[str]

    def __init__(self, ws: Any, settings: Settings, number: int, capacity: int) -> None:
        self.ws = ws
        self.settings = settings
        self.number = number
        self.outbox = Outbox(capacity)
        self.sent = 0
        self.utterance_ended: Callable[[], None] = lambda: None  # the session's: a drain waits for it
        self._drops_reported = 0

    def hello(self) -> dict[str, Any]:
        """Fields for the session's hello: the page picks its player from them."""
        return {"transport": self.name}

    def pending(self) -> int:
        return len(self.outbox)

    def put(self, frame: Any, deadline: float) -> None:
        self.outbox.put((frame, deadline))

    def count_sent(self, frame: Any, nbytes: int, latency: float) -> None:
        """One frame has left: its figures, and the end of its utterance when it carries it."""
        self.sent += 1
        metrics.frame_sent(nbytes, latency, self.unreported_drops(), transport=self.name)
        if frame.end_of_speech:
            self.utterance_ended()

    def unreported_drops(self) -> int:
        """Frames dropped here since the metrics last heard of it."""
        dropped = self.outbox.dropped
        newly, self._drops_reported = dropped - self._drops_reported, dropped
        return newly

    def discard_speech(self) -> float:
        """An interrupt: drop the speech frames still waiting here; returns their seconds of sound."""
        taken = self.outbox.discard(lambda item: item[0].speech)
        return float(sum(len(frame.audio) / 2 / frame.sample_rate for frame, _ in taken))

    async def run(self, runtime: Any) -> None:
        """Deliver until cancelled; SessionEnded ends the session."""
        raise NotImplementedError

    async def on_message(self, message: dict[str, Any]) -> None:
        raise SessionEnded(
            f"{message['type']} is for the webrtc transport; this server delivers over {self.name}", 1008
        )

    async def close(self) -> None:
        """After the session's socket has closed: let go of whatever is still on its way."""


def missing(name: str) -> str | None:
    """What to install for a transport whose modules cannot be imported here, or None."""
    _, needs, extra = TRANSPORTS[name]
    for module in needs:
        try:
            importlib.import_module(module)
        except ImportError as e:
            return f"--transport {name} needs {module} ({e}): pip install 'talvo[{extra}]'"
    return None


def open_delivery(ws: Any, settings: Settings, number: int) -> Delivery:
    module = importlib.import_module(TRANSPORTS[settings.transport][0])
    delivery: Delivery = module.Delivery(ws, settings, number)
    return delivery
