"""Runs one figure over (point, executor, implementation), points outermost, so that the runs
compared with each other lie close together in time on a machine whose other load varies."""

from __future__ import annotations

from collections.abc import Callable

EXECUTORS = ("default", "sized")
NO_EXECUTOR_TAKES = {"janus", "talvo-loop"}  # the executor's size cannot matter: run once

Figures = dict[str, float]


def grid(
    names: list[str], points: list[int], run: Callable[[str, int, bool], Figures]
) -> dict[str, dict[str, dict[int, Figures]]]:
    """{executor: {name: {point: run(name, point, sized)}}}."""
    out: dict[str, dict[str, dict[int, Figures]]] = {executor: {} for executor in EXECUTORS}
    for point in points:
        for executor in EXECUTORS:
            for name in names:
                if executor == "sized" and name in NO_EXECUTOR_TAKES:
                    continue
                out[executor].setdefault(name, {})[point] = run(name, point, executor == "sized")
    return out
