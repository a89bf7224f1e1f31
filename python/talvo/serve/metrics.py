"""What a server has done, for `GET /metrics` in the Prometheus text format.

With several workers each process writes its figures to files in the directory named by
PROMETHEUS_MULTIPROC_DIR (set by the supervisor before a worker starts, since prometheus_client
picks its storage when first imported), and whichever worker answers a scrape sums them all.
Without prometheus_client the hooks do nothing and /metrics says what to install.
"""

from __future__ import annotations

import importlib
import os
from typing import Any

from aiohttp import web

MULTIPROC_ENV = "PROMETHEUS_MULTIPROC_DIR"
# A frame later than 40 ms is a miss at 25 fps; the buckets resolve the range that matters.
LATENCY_BUCKETS = (0.001, 0.0025, 0.005, 0.01, 0.02, 0.03, 0.04, 0.06, 0.1, 0.25, 1.0)


class _Instruments:
    def __init__(self, prom: Any) -> None:
        self.registry = prom.CollectorRegistry(auto_describe=True)
        r = self.registry
        # livesum: the open sessions of workers that are still alive (a dead one's go with it).
        self.sessions_open = prom.Gauge(
            "talvo_sessions_open", "Sessions open now", registry=r, multiprocess_mode="livesum"
        )
        self.sessions_refused = prom.Counter(
            "talvo_sessions_refused", "Sessions refused, by reason", ["reason"], registry=r
        )
        self.frames_sent = prom.Counter("talvo_frames_sent", "Frames sent to pages", registry=r)
        self.frames_dropped = prom.Counter(
            "talvo_frames_dropped", "Frames dropped for pages that read too slowly", registry=r
        )
        self.utterances = prom.Counter(
            "talvo_utterances", "Utterances started, by source", ["source"], registry=r
        )
        # Counted by the interrupt operation once the page can send one: see interrupted().
        self.interruptions = prom.Counter("talvo_interruptions", "Utterances interrupted", registry=r)
        self.frame_latency = prom.Histogram(
            "talvo_frame_latency_seconds",
            "From a frame's deadline to its send",
            buckets=LATENCY_BUCKETS,
            registry=r,
        )
        self.bytes_sent = prom.Counter(
            "talvo_bytes_sent", "Bytes of frames sent, by transport", ["transport"], registry=r
        )
        # Resolved once: a label lookup per frame would cost more than the count itself.
        self.websocket_bytes = self.bytes_sent.labels("websocket")
        # Every known label shows from the start, at 0, so a dashboard's rate() has a baseline.
        for reason in ("full", "draining", "stopping"):
            self.sessions_refused.labels(reason)
        for source in ("builtin", "upload", "microphone"):
            self.utterances.labels(source)


def _prometheus(module: str = "") -> Any:
    """prometheus_client, or one of its modules; typed loosely, as its functions are."""
    return importlib.import_module("prometheus_client" + (f".{module}" if module else ""))


_instruments: _Instruments | None = None
_missing = False


def _get() -> _Instruments | None:
    global _instruments, _missing
    if _instruments is None and not _missing:
        try:
            prom = _prometheus()
        except ImportError:
            _missing = True
            return None
        prom.disable_created_metrics()  # creation times are noise in a scrape
        _instruments = _Instruments(prom)
    return _instruments


# -- hooks, called where things happen ------------------------------------------------------------


def session_opened() -> None:
    if m := _get():
        m.sessions_open.inc()


def session_closed(dropped_unreported: int) -> None:
    if m := _get():
        m.sessions_open.dec()
        if dropped_unreported:
            m.frames_dropped.inc(dropped_unreported)


def session_refused(reason: str) -> None:
    if m := _get():
        m.sessions_refused.labels(reason).inc()


def frame_sent(nbytes: int, latency_seconds: float, newly_dropped: int, transport: str = "websocket") -> None:
    if m := _get():
        m.frames_sent.inc()
        bytes_sent(nbytes, transport)
        m.frame_latency.observe(max(0.0, latency_seconds))
        if newly_dropped:
            m.frames_dropped.inc(newly_dropped)


def bytes_sent(nbytes: int, transport: str) -> None:
    if nbytes > 0 and (m := _get()):
        (m.websocket_bytes if transport == "websocket" else m.bytes_sent.labels(transport)).inc(nbytes)


def utterance_started(source: str) -> None:
    if m := _get():
        m.utterances.labels(source).inc()


def interrupted() -> None:
    """For the session's interrupt handler: one utterance cut short by the page."""
    if m := _get():
        m.interruptions.inc()


# -- the endpoint ---------------------------------------------------------------------------------


def exposition() -> tuple[bytes, str] | None:
    """The text a scrape gets and its content type; None without prometheus_client."""
    m = _get()
    if m is None:
        return None
    prom = _prometheus()
    if os.environ.get(MULTIPROC_ENV):
        registry = prom.CollectorRegistry()
        _prometheus("multiprocess").MultiProcessCollector(registry)
    else:
        registry = m.registry
    return prom.generate_latest(registry), prom.CONTENT_TYPE_LATEST


async def handle_metrics(request: web.Request) -> web.Response:
    text = exposition()
    if text is None:
        raise web.HTTPNotImplemented(text="metrics need prometheus_client: pip install 'talvo[serve]'\n")
    body, content_type = text
    # CONTENT_TYPE_LATEST carries its own charset, which aiohttp wants as a header, not a kind.
    return web.Response(body=body, headers={"Content-Type": content_type})


def mark_process_dead(pid: int, directory: str) -> None:
    """A worker has ended: its live gauges no longer count (the supervisor calls this)."""
    try:
        multiprocess = _prometheus("multiprocess")
    except ImportError:
        return
    multiprocess.mark_process_dead(pid, directory)
