"""One PNG of the latency, scale and starvation figures, where matplotlib is installed."""

from __future__ import annotations

from pathlib import Path
from typing import Any

COLORS = {"talvo": "tab:blue", "talvo-loop": "tab:purple", "plain": "tab:orange", "janus": "tab:green"}
STYLES = {"default": "-", "sized": "--"}


def _by_point(figures: dict[Any, Any]) -> dict[int, Any]:
    """Points keyed by int, whether they come from a run (ints) or from results.json (strings)."""
    return {int(k): v for k, v in figures.items()}


def write(results: dict[str, Any], path: Path) -> bool:
    """Writes the plot; False when matplotlib is missing or nothing is there to plot."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    if not any(k in results for k in ("latency", "scale", "starvation")):
        return False
    fig, axes = plt.subplots(2, 2, figsize=(12, 9))
    (lat_ax, fps_ax), (p99_ax, starve_ax) = axes

    latency = results.get("latency", {})
    keys = ("p50_ms", "p99_ms", "max_ms")
    width = 0.8 / max(len(latency), 1)
    for i, (name, figures) in enumerate(latency.items()):
        xs = [k + i * width for k in range(len(keys))]
        lat_ax.bar(xs, [figures[k] for k in keys], width, label=name, color=COLORS.get(name))
    lat_ax.set_xticks([k + width * (len(latency) - 1) / 2 for k in range(len(keys))], ["p50", "p99", "max"])
    lat_ax.set_yscale("log")
    lat_ax.set_ylabel("ms")
    lat_ax.set_title("Delivery latency, one stream at 25 fps")
    lat_ax.legend()

    for executor, by_name in results.get("scale", {}).items():
        for name, points in by_name.items():
            points = _by_point(points)
            ns = sorted(points)
            style = {
                "color": COLORS.get(name),
                "linestyle": STYLES[executor],
                "marker": "o",
                "label": f"{name}, {executor} executor",
            }
            fps_ax.plot(ns, [points[n]["fps_mean"] for n in ns], **style)
            p99_ax.plot(ns, [points[n]["p99_ms"] for n in ns], **style)
    points = sorted(
        {
            int(n)
            for by_name in results.get("scale", {}).values()
            for figures in by_name.values()
            for n in figures
        }
    )
    for ax, title, label in (
        (fps_ax, "Delivered fps per stream (mean)", "fps"),
        (p99_ax, "p99 latency, n streams at 25 fps", "ms"),
    ):
        ax.set_xscale("log", base=2)
        ax.set_xticks(points, [str(n) for n in points])
        ax.set_xlabel("concurrent streams")
        ax.set_ylabel(label)
        ax.set_title(title)
        ax.legend(fontsize="small")
    fps_ax.set_ylim(0, 30)
    p99_ax.set_yscale("log")

    for executor, by_name in results.get("starvation", {}).items():
        for name, points in by_name.items():
            points = _by_point(points)
            ks = sorted(points)
            starve_ax.plot(
                ks,
                [points[k]["live_fps"] for k in ks],
                color=COLORS.get(name),
                linestyle=STYLES[executor],
                marker="o",
                label=f"{name}, {executor}",
            )
    starve_ax.set_xscale("log", base=2)
    silent = sorted(
        {
            int(k)
            for by_name in results.get("starvation", {}).values()
            for figures in by_name.values()
            for k in figures
        }
    )
    starve_ax.set_xticks(silent, [str(k) for k in silent])
    starve_ax.set_xlabel("silent streams beside the live one")
    starve_ax.set_ylabel("live stream fps")
    starve_ax.set_ylim(0, 30)
    starve_ax.set_title("Executor starvation by silent streams")
    starve_ax.legend(fontsize="small")

    fig.suptitle(results.get("title", "talvo stream benchmarks"))
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True
