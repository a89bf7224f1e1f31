"""The side-by-side table: each figure for talvo and its peers, and talvo's ratio to each."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

from bench.stats import ratio

Row = tuple[str, str, dict[str, float]]  # (figure, which way is better, value per implementation)
COLUMNS = ("talvo", "plain", "janus")
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
    yield "debug: slow callbacks, all", "lower", {
        n: r[n]["debug"]["slow_callbacks"]["total"] for n in names}
    for kind in ("stream", "wakeup", "ticker", "other"):
        yield f"debug: slow callbacks, {kind}", "lower", {
            n: r[n]["debug"]["slow_callbacks"]["by_kind"].get(kind, 0) for n in names}
    yield "debug: worst slow callback (ms)", "lower", {
        n: r[n]["debug"]["slow_callbacks"]["worst_ms"] for n in names}


def _scale(r: dict[str, Any]) -> Iterator[Row]:
    for executor, by_name in r.items():
        points = sorted({int(p) for figures in by_name.values() for p in figures})
        for p in points:
            label = f"{p} streams, {executor} executor"
            pick = lambda key: {n: f[p][key] for n, f in by_name.items() if p in f}  # noqa: E731
            yield f"{label}: fps/stream mean", "higher", pick("fps_mean")
            yield f"{label}: fps/stream worst", "higher", pick("fps_min")
            yield f"{label}: p99 latency (ms)", "lower", pick("p99_ms")
            yield f"{label}: executor probe p99 (ms)", "lower", pick("probe_p99_ms")


def _starvation(r: dict[str, Any]) -> Iterator[Row]:
    for executor, by_name in r.items():
        points = sorted({int(p) for figures in by_name.values() for p in figures})
        for k in points:
            label = f"1 live + {k} silent, {executor} executor"
            pick = lambda key: {n: f[k][key] for n, f in by_name.items() if k in f}  # noqa: E731
            yield f"{label}: live fps", "higher", pick("live_fps")
            yield f"{label}: live p99 (ms)", "lower", pick("live_p99_ms")
            yield f"{label}: executor probe p99 (ms)", "lower", pick("probe_p99_ms")


def _stop(r: dict[str, Any]) -> Iterator[Row]:
    yield "stop() on a full queue, median (ms)", "lower", {n: v["median_ms"] for n, v in r.items()}
    yield "stop() on a full queue, max (ms)", "lower", {n: v["max_ms"] for n, v in r.items()}


def _memory(r: dict[str, Any]) -> Iterator[Row]:
    rss = r.get("talvo", {}).get("rss_bytes")
    if not rss:
        return
    yield "RSS before the throughput runs (MiB)", "lower", {"talvo": rss["before"] / MIB}
    yield "RSS growth, talvo's first half of frames (MiB)", "lower", {"talvo": (rss["half"] - rss["before"]) / MIB}
    yield "RSS growth, talvo's second half (MiB)", "lower", {"talvo": (rss["after"] - rss["half"]) / MIB}


SECTIONS = {
    "throughput": _throughput, "latency": _latency, "stall": _stall, "scale": _scale,
    "starvation": _starvation, "stop": _stop,
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
    header = ("figure", "better", *COLUMNS, "talvo/plain", "talvo/janus")
    body = []
    for figure, better, values in rows(results):
        talvo = values.get("talvo", math.nan)
        ratios = [ratio(talvo, values[p]) if p in values else math.nan for p in ("plain", "janus")]
        body.append((figure, better, *(_cell(values.get(c)) for c in COLUMNS),
                     *(_cell(x) for x in ratios)))
    widths = [max(len(str(line[i])) for line in (header, *body)) for i in range(len(header))]
    fmt = lambda line: "  ".join(  # noqa: E731
        str(c).ljust(w) if i < 2 else str(c).rjust(w) for i, (c, w) in enumerate(zip(line, widths)))
    return "\n".join([fmt(header), "  ".join("-" * w for w in widths), *map(fmt, body)])
