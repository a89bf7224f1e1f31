"""What one server allows each session: set once at start-up, shared by every session."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class Settings:
    model_path: str
    frame_wait: str = "loop"  # "executor" holds a worker per waiting session
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
    # After SIGTERM, how long an utterance under way may go on before its session is closed.
    drain_timeout: float = 30.0

    @property
    def max_message_bytes(self) -> int:
        return self.max_upload_bytes + 4096
