"""Stopping without dropping live calls: what a deploy's SIGTERM starts.

The server takes no new session at once (readiness turns 503, so a balancer sends pages
elsewhere), tells every open page how long it has, lets each finish the utterance it is speaking
for up to the drain timeout, and closes each session as soon as it is quiet.
"""

from __future__ import annotations

import asyncio

from loguru import logger

from talvo.serve.probes import Admission


async def drain(admission: Admission, seconds: float) -> None:
    """Returns once every session has closed and stopped its runtime; bounded by `seconds` plus
    each session's bounded close. Cancelling it ends the drain at once (the server's stop then
    closes what is left)."""
    admission.drain()
    sessions = list(admission.sessions)
    logger.info("draining: {} session(s) may finish their utterances for up to {} s", len(sessions), seconds)
    await asyncio.gather(*(s.drain(seconds) for s in sessions), return_exceptions=True)
    logger.info("drained")
