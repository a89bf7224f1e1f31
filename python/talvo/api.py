"""Messages exchanged with the renderer: audio control in, video frames out."""

from __future__ import annotations

from dataclasses import dataclass

# Speech rates the renderer takes. Below 8 kHz a frame's slice shrinks towards nothing (at 7 Hz,
# one sample per frame: 0.1 s of speech would take 64 s to show); above 96 kHz is not speech.
MIN_SAMPLE_RATE = 8000
MAX_SAMPLE_RATE = 96000


def _pcm_bytes(data: object) -> bytes:
    """Return ``data`` as immutable 16-bit PCM bytes, or raise a clear error."""
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"audio must be bytes-like (bytes, bytearray, memoryview), not {type(data).__name__}"
        ) from None
    with view:
        if view.nbytes % 2:
            raise ValueError(f"audio must hold whole 16-bit samples, got {view.nbytes} bytes")
        # bytes are already immutable; anything else is copied so later writes can't leak in.
        return data if type(data) is bytes else view.tobytes()  # type: ignore[return-value]


def _check_rate(sample_rate: object) -> None:
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, int):
        raise TypeError(f"sample_rate must be an int, not {type(sample_rate).__name__}")
    if not MIN_SAMPLE_RATE <= sample_rate <= MAX_SAMPLE_RATE:
        raise ValueError(f"sample_rate must be {MIN_SAMPLE_RATE} to {MAX_SAMPLE_RATE} Hz, got {sample_rate}")


@dataclass(frozen=True, slots=True, repr=False)
class VideoControl:
    """One input message: a chunk of 16-bit little-endian mono PCM and/or flags.

    ``end_of_speech`` closes the current utterance; ``last_chunk`` is informational
    (the producer's view that no more audio follows) and ends nothing by itself.
    """

    audio: bytes | None = None
    sample_rate: int | None = None
    last_chunk: bool = False
    end_of_speech: bool = False

    def __post_init__(self) -> None:
        if self.audio is not None:
            object.__setattr__(self, "audio", _pcm_bytes(self.audio))
        if self.sample_rate is not None:
            _check_rate(self.sample_rate)
        for flag in ("last_chunk", "end_of_speech"):
            value = getattr(self, flag)
            if not isinstance(value, bool):
                raise TypeError(f"{flag} must be a bool, not {type(value).__name__}")

    def __repr__(self) -> str:  # sizes, not sample dumps, in logs
        audio = None if self.audio is None else f"<{len(self.audio)} bytes>"
        return (
            f"VideoControl(audio={audio}, sample_rate={self.sample_rate}, "
            f"last_chunk={self.last_chunk}, end_of_speech={self.end_of_speech})"
        )

    @classmethod
    def from_audio(cls, data: object, sample_rate: object, last_chunk: bool = False) -> VideoControl:
        """A message carrying one audio chunk; both ``data`` and ``sample_rate`` are required."""
        if data is None:
            raise TypeError("audio data is required")
        if sample_rate is None:
            raise TypeError("sample_rate is required")
        return cls(audio=data, sample_rate=sample_rate, last_chunk=last_chunk)  # type: ignore[arg-type]


@dataclass(frozen=True, slots=True, weakref_slot=True, repr=False)
class VideoFrame:
    """One rendered frame: an RGB24 image plus the PCM slice it shows (empty when idle)."""

    index: int
    width: int
    height: int
    image: bytes
    audio: bytes = b""
    end_of_speech: bool = False
    speech: bool = False
    sample_rate: int = 0  # rate of ``audio``; 0 for idle frames
    timestamp: float = 0.0  # seconds since the run started, at this frame's deadline

    def __repr__(self) -> str:
        return (
            f"VideoFrame(index={self.index}, {self.width}x{self.height}, "
            f"audio=<{len(self.audio)} bytes>, speech={self.speech}, "
            f"end_of_speech={self.end_of_speech})"
        )


@dataclass(frozen=True, slots=True)
class Interruption:
    """What an interrupt did to the utterance it cut short, in seconds of speech.

    ``played_seconds``: the utterance's speech the stream had handed to the application before
    the call. ``dropped_seconds``: its speech discarded, input not rendered plus frames not
    delivered. Together they make the utterance's pushed length, to within one frame.
    """

    played_seconds: float
    dropped_seconds: float
