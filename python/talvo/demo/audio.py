"""Speech audio for the demo: a built-in speech-like signal, or a 16-bit PCM mono WAV file."""

from __future__ import annotations

import math
import struct
import wave
from array import array

from talvo.api import MAX_SAMPLE_RATE, MIN_SAMPLE_RATE

SAMPLE_RATE = 16000


class AudioError(ValueError):
    """The audio file cannot be used; the message says why."""


def speech_like(seconds: float = 3.0, sample_rate: int = SAMPLE_RATE) -> bytes:
    """Voiced 'syllables' (a 130 Hz voice with harmonics) at about four per second, with pauses
    between words, so the rendered mouth opens and closes the way it does for speech."""
    n = int(seconds * sample_rate)
    samples = array("h", bytes(2 * n))
    for i in range(n):
        t = i / sample_rate
        word = (t % 1.0) < 0.75  # three syllables, then a short pause
        syllable = max(0.0, math.sin(math.pi * 4.0 * t)) if word else 0.0
        f0 = 130.0 * (1.0 + 0.08 * math.sin(2 * math.pi * 0.7 * t))
        phase = 2 * math.pi * f0 * t
        voice = math.sin(phase) + 0.5 * math.sin(2 * phase) + 0.25 * math.sin(3 * phase)
        samples[i] = int(9000 * syllable * voice / 1.75)
    return samples.tobytes()


def read_wav(path: str) -> tuple[bytes, int]:
    """The PCM bytes and sample rate of a 16-bit PCM mono WAV file."""
    try:
        with wave.open(path, "rb") as w:
            if w.getcomptype() != "NONE":
                raise AudioError(f"{path}: compressed WAV ({w.getcompname()}) is not supported")
            if w.getnchannels() != 1 or w.getsampwidth() != 2:
                raise AudioError(
                    f"{path}: need 16-bit PCM mono, got {w.getnchannels()} channel(s) of "
                    f"{8 * w.getsampwidth()}-bit samples"
                )
            rate = w.getframerate()
            data = w.readframes(w.getnframes())
    except (wave.Error, EOFError, struct.error) as e:
        raise AudioError(f"{path}: not a readable WAV file ({e})") from None
    if not data:
        raise AudioError(f"{path}: the file holds no audio")
    if not MIN_SAMPLE_RATE <= rate <= MAX_SAMPLE_RATE:
        raise AudioError(f"{path}: sample rate {rate} Hz is outside {MIN_SAMPLE_RATE}..{MAX_SAMPLE_RATE}")
    return data, rate


def loudness(pcm: bytes) -> float:
    """Root-mean-square level of 16-bit PCM, 0..1."""
    if len(pcm) < 2:
        return 0.0
    samples = array("h")
    samples.frombytes(pcm[: len(pcm) // 2 * 2])
    return math.sqrt(sum(s * s for s in samples) / len(samples)) / 32768.0
