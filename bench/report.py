"""The side-by-side table: each figure for talvo and its peers, and talvo's ratio to each."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

from bench.stats import ratio

Row = tuple[str, str, dict[str, float]]  # (figure, which way is better, value per implementation)
COLUMNS = ("talvo", "talvo-loop", "plain", "janus")
# (column title, numerator, denominator)
RATIOS = (
    ("talvo/plain", "talvo", "plain"),
    ("talvo/janus", "talvo", "janus"),
    ("loop/talvo", "talvo-loop", "talvo"),
    ("loop/janus", "talvo-loop", "janus"),
)
MIB = 1024 * 1024


def _throughput(r: dict[str, Any]) -> Iterator[Row]:
    yield "throughput (frames/s)", "higher", {n: v["fps"] for n, v in r.items()}
    yield "CPU per frame (us)", "lower", {n: v["cpu_us_per_frame"] for n, v in r.items()}


def _latency(r: dict[str, Any]) -> Iterator[Row]:
    for key in ("p50_ms", "p99_ms", "max_ms"):
        yield f"latency 25 fps {key[:-3]} (ms)", "lower", {n: v[key] for n, v in r.items()}


def _stall(r: dict[str, Any]) -> Iterator[Row]:
    names = [n for n in r if n != "ticker_alone"]
    yield "1 ms ticker worst lateness (ms)", "lower", {n: r[n]["worst_ms"] for n in names}
    yield "1 ms ticker p99 lateness (ms)", "lower", {n: r[n]["p99_ms"] for n in names}
    yield "debug: slow callbacks, all", "lower", {n: r[n]["debug"]["slow_callbacks"]["total"] for n in names}
    for kind in ("stream", "wakeup", "ticker", "other"):
        yield (
            f"debug: slow callbacks, {kind}",
            "lower",
            {n: r[n]["debug"]["slow_callbacks"]["by_kind"].get(kind, 0) for n in names},
        )
    yield (
        "debug: worst slow callback (ms)",
        "lower",
        {n: r[n]["debug"]["slow_callbacks"]["worst_ms"] for n in names},
    )


def _at(by_name: dict[str, Any], point: int, key: str) -> dict[str, float]:
    """One figure at one point for each implementation run there (keys int or, read back from
    results.json, str)."""
    out = {}
    for name, figures in by_name.items():
        at = {int(p): v for p, v in figures.items()}
        if point in at:
            out[name] = at[point][key]
    return out


def _scale(r: dict[str, Any]) -> Iterator[Row]:
    for executor, by_name in r.items():
        points = sorted({int(p) for figures in by_name.values() for p in figures})
        for p in points:
            label = f"{p} streams, {executor} executor"
            yield f"{label}: fps/stream mean", "higher", _at(by_name, p, "fps_mean")
            yield f"{label}: fps/stream worst", "higher", _at(by_name, p, "fps_min")
            yield f"{label}: p99 latency (ms)", "lower", _at(by_name, p, "p99_ms")
            yield f"{label}: executor probe p99 (ms)", "lower", _at(by_name, p, "probe_p99_ms")


def _starvation(r: dict[str, Any]) -> Iterator[Row]:
    for executor, by_name in r.items():
        points = sorted({int(p) for figures in by_name.values() for p in figures})
        for k in points:
            label = f"1 live + {k} silent, {executor} executor"
            yield f"{label}: live fps", "higher", _at(by_name, k, "live_fps")
            yield f"{label}: live p99 (ms)", "lower", _at(by_name, k, "live_p99_ms")
            yield f"{label}: executor probe p99 (ms)", "lower", _at(by_name, k, "probe_p99_ms")


def _stop(r: dict[str, Any]) -> Iterator[Row]:
    yield "stop() on a full queue, median (ms)", "lower", {n: v["median_ms"] for n, v in r.items()}
    yield "stop() on a full queue, max (ms)", "lower", {n: v["max_ms"] for n, v in r.items()}


def _memory(r: dict[str, Any]) -> Iterator[Row]:
    rss = r.get("talvo", {}).get("rss_bytes")
    if not rss:
        return
    yield "RSS before the throughput runs (MiB)", "lower", {"talvo": rss["before"] / MIB}
    first, second = rss["half"] - rss["before"], rss["after"] - rss["half"]
    yield "RSS growth, talvo's first half of frames (MiB)", "lower", {"talvo": first / MIB}
    yield "RSS growth, talvo's second half (MiB)", "lower", {"talvo": second / MIB}


def _many(r: dict[str, Any]) -> Iterator[Row]:
    points = sorted({int(p) for figures in r.values() for p in figures})
    for n in points:
        label = f"{n} runtimes at 25 fps"
        yield f"{label}: fps/stream mean", "higher", _at(r, n, "fps_mean")
        yield f"{label}: fps/stream worst", "higher", _at(r, n, "fps_min")
        yield f"{label}: p50 latency (ms)", "lower", _at(r, n, "p50_ms")
        yield f"{label}: p99 latency (ms)", "lower", _at(r, n, "p99_ms")
        yield f"{label}: CPU (% of one core)", "lower", _at(r, n, "cpu_percent")


def _silent(r: dict[str, Any]) -> Iterator[Row]:
    for key, what in (("alone", "alone"), ("beside", f"beside {r.get('runtimes', '?')} silent")):
        for stat in ("p50_ms", "p99_ms"):
            yield (
                f"executor job {what}: {stat[:-3]} wait (ms)",
                "lower",
                {n: v[key][stat] for n, v in r.items() if isinstance(v, dict)},
            )


def _interrupt(r: dict[str, Any]) -> Iterator[Row]:
    points = sorted({int(p) for figures in r.values() for p in figures})
    for n in points:
        label = f"interrupt to next frame, {n} runtime{'s' if n > 1 else ''}"
        yield f"{label}: p50 (ms)", "lower", _at(r, n, "p50_ms")
        yield f"{label}: p99 (ms)", "lower", _at(r, n, "p99_ms")
        yield f"{label}: interrupts", "higher", _at(r, n, "samples")
        yield f"{label}: stale speech frames", "lower", _at(r, n, "stale")


SECTIONS = {
    "throughput": _throughput,
    "latency": _latency,
    "stall": _stall,
    "scale": _scale,
    "starvation": _starvation,
    "stop": _stop,
    "many": _many,
    "silent": _silent,
    "interrupt": _interrupt,
}


def rows(results: dict[str, Any]) -> Iterator[Row]:
    for section, make in SECTIONS.items():
        if section in results:
            yield from make(results[section])
    if "throughput" in results:
        yield from _memory(results["throughput"])


def _cell(value: float | None) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if isinstance(value, int):
        return str(value)
    return f"{value:.3g}" if abs(value) < 1000 else f"{value:,.0f}"


def table(results: dict[str, Any]) -> str:
    header = ("figure", "better", *COLUMNS, *(title for title, _, _ in RATIOS))
    body = []
    for figure, better, values in rows(results):
        ratios = [
            ratio(values[a], values[b]) if a in values and b in values else math.nan for _, a, b in RATIOS
        ]
        body.append((figure, better, *(_cell(values.get(c)) for c in COLUMNS), *(_cell(x) for x in ratios)))
    widths = [max(len(str(line[i])) for line in (header, *body)) for i in range(len(header))]

    def fmt(line: tuple[str, ...]) -> str:
        cells = zip(line, widths, strict=True)
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(cells))

    return "\n".join([fmt(header), "  ".join("-" * w for w in widths), *map(fmt, body)])
