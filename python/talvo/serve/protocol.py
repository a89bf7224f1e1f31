"""What travels on the WebSocket.

Server to page: text messages are JSON objects with a "type" ("hello", "refused", "error",
"speaking", "draining": the server is stopping and closes this session within "seconds"; with
--transport webrtc also "webrtc_answer" and "delivery"); binary messages are frames (websocket
transport only), a fixed little-endian header then the RGB24 image then the frame's PCM slice
(16-bit mono, empty when idle). The page's app.js reads the same layout.

Page to server (JSON text): {"type": "builtin"}; {"type": "upload", "size": N} followed by one
binary message holding the WAV file; {"type": "audio_start", "sample_rate": R}, binary messages
of raw 16-bit PCM, then {"type": "audio_end"}; {"type": "interrupt"} stops the utterance at once,
answered by {"type": "interrupted", "played_seconds": P, "dropped_seconds": D};
{"type": "webrtc_offer", "sdp": S} (webrtc transport: a complete offer, answered by
{"type": "webrtc_answer", "sdp": S}).
"""

from __future__ import annotations

import json
import reprlib
import struct
from dataclasses import dataclass
from typing import Any

# index, width, height, flags, queue depth, sample rate, dropped, audio length,
# timestamp (renderer s), deadline (server perf_counter s), latency at send (ms)
FRAME_HEADER = struct.Struct("<IHHBxHIIIddf")
SPEECH, END_OF_SPEECH = 1, 2

CLIENT_TYPES = ("builtin", "upload", "audio_start", "audio_end", "interrupt", "webrtc_offer")
# A page's text messages are a type and a number or two, or one SDP offer of a few kB: anything
# longer is refused unread, which bounds the cost of parsing (nesting too deep is refused by the
# parser's own recursion limit).
MAX_TEXT_CHARS = 64 * 1024

_quoting = reprlib.Repr()
_quoting.maxstring = _quoting.maxother = _quoting.maxlong = 40


def quote(value: object) -> str:
    """A client's value as it appears in a refusal and its log line: a bounded part of its repr,
    so a megabyte sent is not a megabyte answered and logged."""
    return _quoting.repr(value)


class MessageError(ValueError):
    """A message from the page that the server cannot act on; the text goes back to it."""


def encode_frame(frame: Any, *, depth: int, dropped: int, deadline: float, latency_ms: float) -> bytes:
    flags = (SPEECH if frame.speech else 0) | (END_OF_SPEECH if frame.end_of_speech else 0)
    header = FRAME_HEADER.pack(
        frame.index & 0xFFFFFFFF,
        frame.width,
        frame.height,
        flags,
        min(depth, 0xFFFF),
        frame.sample_rate,
        dropped,
        len(frame.audio),
        frame.timestamp,
        deadline,
        latency_ms,
    )
    return b"".join((header, frame.image, frame.audio))


@dataclass(frozen=True)
class DecodedFrame:
    index: int
    width: int
    height: int
    speech: bool
    end_of_speech: bool
    depth: int
    sample_rate: int
    dropped: int
    timestamp: float
    deadline: float
    latency_ms: float
    image: bytes
    audio: bytes


def decode_frame(data: bytes) -> DecodedFrame:
    """The inverse of encode_frame, for tests and the load benchmark's clients."""
    (index, width, height, flags, depth, rate, dropped, audio_len, timestamp, deadline, latency) = (
        FRAME_HEADER.unpack_from(data)
    )
    start = FRAME_HEADER.size
    image_end = start + 3 * width * height
    if len(data) != image_end + audio_len:
        raise ValueError(f"frame message holds {len(data)} bytes, expected {image_end + audio_len}")
    return DecodedFrame(
        index,
        width,
        height,
        bool(flags & SPEECH),
        bool(flags & END_OF_SPEECH),
        depth,
        rate,
        dropped,
        timestamp,
        deadline,
        latency,
        data[start:image_end],
        data[image_end:],
    )


def parse_text(text: str) -> dict[str, Any]:
    """A page's JSON message with a known "type", or MessageError."""
    if len(text) > MAX_TEXT_CHARS:
        raise MessageError(f"malformed message: {len(text)} characters (limit {MAX_TEXT_CHARS})")
    try:
        message = json.loads(text)
    except ValueError:
        raise MessageError("malformed message: not JSON") from None
    except RecursionError:
        raise MessageError("malformed message: nested too deeply") from None
    if not isinstance(message, dict):
        raise MessageError("malformed message: expected a JSON object")
    kind = message.get("type")
    if kind not in CLIENT_TYPES:
        raise MessageError(f"unknown message type {quote(kind)} (expected one of {', '.join(CLIENT_TYPES)})")
    return message


def dumps(kind: str, **fields: Any) -> str:
    return json.dumps({"type": kind, **fields})
