"""Percentiles and summaries of latency samples (seconds in, milliseconds out)."""

from __future__ import annotations

import math
from collections.abc import Sequence


def percentile(samples: Sequence[float], q: float) -> float:
    """Nearest-rank percentile: the smallest sample with at least q% of samples at or below."""
    if not samples:
        return math.nan
    if not 0 <= q <= 100:
        raise ValueError(f"percentile must be in [0, 100], got {q}")
    ordered = sorted(samples)
    rank = max(1, math.ceil(q / 100 * len(ordered)))
    return ordered[rank - 1]


def summary_ms(samples: Sequence[float]) -> dict[str, float]:
    return {
        "p50_ms": percentile(samples, 50) * 1e3,
        "p99_ms": percentile(samples, 99) * 1e3,
        "max_ms": (max(samples) if samples else math.nan) * 1e3,
        "samples": len(samples),
    }


def ratio(value: float, peer: float) -> float:
    """value / peer, NaN where the peer gives nothing to compare with."""
    if not peer or math.isnan(peer) or math.isnan(value):
        return math.nan
    return value / peer
