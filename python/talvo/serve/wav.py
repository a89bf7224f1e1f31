"""Uploaded speech: a 16-bit PCM mono WAV file, checked whole before any of it is spoken."""

from __future__ import annotations

import io
import wave

from talvo.api import MAX_SAMPLE_RATE as MAX_RATE
from talvo.api import MIN_SAMPLE_RATE as MIN_RATE
from talvo.serve.protocol import quote


class WavError(ValueError):
    """The upload cannot be spoken; the message says why, in words for the page."""


def check_rate(rate: object) -> int:
    if isinstance(rate, bool) or not isinstance(rate, int) or not MIN_RATE <= rate <= MAX_RATE:
        raise WavError(f"sample rate must be an integer from {MIN_RATE} to {MAX_RATE} Hz, got {quote(rate)}")
    return rate


def parse_wav(data: bytes, *, max_bytes: int, max_seconds: float) -> tuple[bytes, int]:
    """The PCM bytes and sample rate of a WAV upload, or WavError."""
    if len(data) > max_bytes:
        raise WavError(f"the upload is too large: {len(data)} bytes (limit {max_bytes})")
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise WavError("not a WAV file (no RIFF/WAVE header)")
    try:
        with wave.open(io.BytesIO(data), "rb") as w:
            channels, width, rate = w.getnchannels(), w.getsampwidth(), w.getframerate()
            if channels != 1 or width != 2:
                raise WavError(f"need 16-bit PCM mono, got {channels} channel(s) of {8 * width}-bit samples")
            pcm = w.readframes(w.getnframes())
    except WavError:
        raise
    except Exception as e:
        # Whatever a hostile header makes `wave` raise (a chunk size that lies gives a bare
        # RuntimeError) is a malformed upload. wave names the format tag it cannot read.
        why = str(e)[:100] or "its chunks do not fit in the file"
        raise WavError(f"not a readable 16-bit PCM WAV file ({why})") from None
    check_rate(rate)
    pcm = pcm[: len(pcm) // 2 * 2]  # a truncated last sample is not audio
    if not pcm:
        raise WavError("the WAV file holds no audio")
    seconds = len(pcm) / 2 / rate
    if seconds > max_seconds:
        raise WavError(f"the WAV file is too long: {seconds:.1f} s (limit {max_seconds:g} s)")
    return pcm, rate
