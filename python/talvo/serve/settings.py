"""What one server allows each session: set once at start-up, shared by every session."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

FrameWait = Literal["loop", "executor"]


@dataclass(frozen=True)
class Settings:
    model_path: str
    frame_wait: FrameWait = "loop"  # "executor" holds a worker per waiting session
    max_sessions: int = 32
    # Frames a session holds for a browser that reads slower than 25 fps (about 0.3 s); beyond
    # that the oldest is dropped, so a stalled tab costs a fixed amount of memory.
    outbox_frames: int = 8
    max_upload_bytes: int = 8 * 1024 * 1024
    max_utterance_seconds: float = 60.0
    max_chunk_bytes: int = 64 * 1024  # one streamed (microphone) message
    # Input messages the runtime queues before push_audio waits: a client that streams faster
    # than real time is slowed down by TCP instead of growing the input buffer.
    input_buffer_size: int = 32
    send_timeout: float = 10.0  # a socket that takes no frame for this long is closed
    # A closing socket waits for the page to read what is ahead of the close; a page that
    # reads nothing for this long is cut off instead.
    close_timeout: float = 5.0
    transport: str = "websocket"  # how frames leave: a name in talvo.serve.transports.TRANSPORTS
    codec: str = "vp8"  # webrtc: the video codec, "vp8" or "h264"
    # webrtc: (url, username, credential) of each STUN/TURN server; none by default, so no
    # third-party server is ever contacted unasked
    ice_servers: tuple[tuple[str, str | None, str | None], ...] = ()
    ice_loopback: bool = False  # webrtc: offer 127.0.0.1 and ::1 too (a browser on this machine)
    # webrtc: a page whose peer is not connected this long after the hello is closed
    connect_timeout: float = 15.0
    # webrtc: video frames waiting for the encoder; beyond that the oldest is dropped, so a
    # peer behind by more than this never sees old pictures (audio is never dropped)
    video_frames: int = 3

    # Host header names served (with any IP address literal), None for any name: a page whose
    # own name was rebound to this server's address must not reach it (DNS rebinding).
    allowed_hosts: frozenset[str] | None = None
    # Page origins, beside the server's own, whose scripts may open a session (lower case,
    # "scheme://host[:port]"): any other page a user visits must not drive a runtime.
    allow_origins: frozenset[str] = frozenset()
    # Refused messages answered (and logged) in a burst, then at this rate; a tab that goes on
    # sending refused messages far beyond that is closed.
    refusal_burst: int = 20
    refusals_per_second: float = 5.0
    flood_limit: int = 200
    # After SIGTERM, how long an utterance under way may go on before its session is closed.
    drain_timeout: float = 30.0

    @property
    def max_message_bytes(self) -> int:
        return self.max_upload_bytes + 4096
