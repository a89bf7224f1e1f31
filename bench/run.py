"""Runs every benchmark once, prints the side-by-side table and writes results.json (and
results.png where matplotlib is installed). ``--quick`` is a short smoke run."""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import math
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent
if __package__ in (None, ""):  # run as `python bench/run.py`
    sys.path.insert(0, str(_ROOT))
if importlib.util.find_spec("talvo") is None:  # not installed: the source tree's, built in place
    sys.path.insert(0, str(_ROOT / "python"))

HERE = Path(__file__).resolve().parent


@dataclass(frozen=True)
class Config:
    throughput_frames: int
    latency_frames: int
    stall_frames: int
    scale_points: tuple[int, ...]
    scale_seconds: float
    starvation_points: tuple[int, ...]
    starvation_seconds: float
    stop_trials: int
    rounds: int  # throughput and latency runs, interleaved across the implementations
    many_points: tuple[int, ...]
    many_seconds: float
    many_executor_limit: int  # streams beyond which executor-taking implementations sit out
    silent_runtimes: int
    silent_seconds: float
    interrupt_rounds: tuple[tuple[int, int], ...] = ((1, 60), (64, 8))  # (runtimes, per runtime)


FULL = Config(
    200_000, 1_000, 125, (1, 2, 4, 8, 16), 3.0, (4, 8, 16), 2.5, 7, 4, (1, 16, 64, 256), 4.0, 256, 1_000, 3.0
)
QUICK = Config(
    20_000,
    250,
    50,
    (1, 4, 16),
    2.0,
    (4, 8),
    2.0,
    3,
    2,
    (1, 16, 64, 256),
    2.0,
    64,
    1_000,
    2.0,
    ((1, 20), (64, 3)),
)


def _quiet_logs() -> None:
    from loguru import logger

    logger.remove()
    logger.add(sys.stderr, level="WARNING")


def _clean(value: object) -> object:
    """JSON has no NaN: it becomes null."""
    if isinstance(value, float) and math.isnan(value):
        return None
    if isinstance(value, dict):
        return {str(k): _clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_clean(v) for v in value]
    return value


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__)
    parser.add_argument(
        "--quick", action="store_true", help="250 latency frames, fewer scale points (about 2 minutes)"
    )
    parser.add_argument(
        "--output", type=Path, default=HERE, help="folder for results.json and results.png (default: bench/)"
    )
    parser.add_argument(
        "--only", metavar="SECTION,...", help="run only these sections (e.g. interrupt); the default is all"
    )
    args = parser.parse_args(argv)
    _quiet_logs()

    from bench import machine, plot, report
    from bench.measures import (
        interrupt,
        latency,
        many,
        scale,
        silent,
        stall,
        starvation,
        stopping,
        throughput,
    )
    from bench.subjects import IMPLEMENTATIONS, fake_renderer

    config = QUICK if args.quick else FULL
    names = list(IMPLEMENTATIONS)
    steps = {
        "throughput": lambda: throughput.measure(names, config.throughput_frames, config.rounds),
        "latency": lambda: latency.measure(names, config.latency_frames, config.rounds),
        "stall": lambda: stall.measure(names, config.stall_frames),
        "scale": lambda: scale.measure(names, list(config.scale_points), config.scale_seconds),
        "starvation": lambda: starvation.measure(
            names, list(config.starvation_points), config.starvation_seconds
        ),
        "stop": lambda: stopping.measure(names, config.stop_trials),
        "many": lambda: many.measure(
            names, list(config.many_points), config.many_seconds, config.many_executor_limit
        ),
        "silent": lambda: silent.measure(names, config.silent_runtimes, config.silent_seconds),
    }
    # With the real stand-in renderer, outside fake_renderer(): interrupt() acts on its speech.
    real = {
        "interrupt": lambda: interrupt.measure(
            [n for n, _ in config.interrupt_rounds], dict(config.interrupt_rounds)
        ),
    }
    if args.only:
        chosen = set(args.only.split(","))
        if chosen - set(steps) - set(real):
            parser.error(f"unknown sections: {', '.join(sorted(chosen - set(steps) - set(real)))}")
        steps = {k: v for k, v in steps.items() if k in chosen}
        real = {k: v for k, v in real.items() if k in chosen}
    results: dict[str, object] = {}
    timing: dict[str, dict[str, object]] = {}
    load_before = machine.load()
    started = time.perf_counter()
    for faked, group in ((True, steps), (False, real)):
        for section, step in group.items():
            t0 = time.perf_counter()
            print(f"[bench] {section} ...", file=sys.stderr, flush=True)
            with fake_renderer() if faked else contextlib.nullcontext():
                results[section] = step()
            timing[section] = {"seconds": time.perf_counter() - t0, "load_after": machine.load()}
            print(
                f"[bench] {section} done in {timing[section]['seconds']:.1f}s, load average "
                f"{timing[section]['load_after']}",
                file=sys.stderr,
                flush=True,
            )
    wall = time.perf_counter() - started

    info = machine.info()
    info["load_average_before"], info["load_average_after"] = load_before, machine.load()
    print(f"machine: {info['cpu_model']}, {info['cores']} cores, Python {info['python']}, {info['platform']}")
    print(f"load average (1/5/15 min) before: {load_before}, after: {info['load_average_after']}")
    busiest = max([load_before or [0.0]] + [t["load_after"] or [0.0] for t in timing.values()])
    if busiest[0] > info["cores"]:
        print("warning: the machine was busy with other work; figures are skewed by it")
    print(report.table(results))
    print(f"wall time: {wall:.0f}s ({'quick' if args.quick else 'full'} run)")

    args.output.mkdir(parents=True, exist_ok=True)
    document = {
        "machine": info,
        "mode": "quick" if args.quick else "full",
        "config": asdict(config),
        "wall_seconds": wall,
        "sections": timing,
        "results": results,
    }
    (args.output / "results.json").write_text(json.dumps(_clean(document), indent=2) + "\n")
    results["title"] = f"talvo vs peers: {info['cpu_model']}, {info['cores']} cores"
    if plot.write(results, args.output / "results.png"):
        print(f"plot: {args.output / 'results.png'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
