"""Time of one model-family probe on a typical container.

Run: PYTHONPATH=python python bench/bench_probe.py [--number N]
"""

from __future__ import annotations

import argparse
import tempfile
import timeit
from pathlib import Path

from talvo.engine.video_reader import pack_demo_model
from talvo.runtime_async import _peek_model_type


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=2000, help="probes per timing round")
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds (best is shown)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "model.imx")
        pack_demo_model(path, model_type="orrin", width=96, height=96)
        assert _peek_model_type(path) == "orrin"
        rounds = timeit.repeat(lambda: _peek_model_type(path), number=args.number, repeat=args.repeat)
    best = min(rounds) / args.number * 1e6
    median = sorted(rounds)[len(rounds) // 2] / args.number * 1e6
    print(
        f"_peek_model_type: {best:.1f} us per probe (best of {args.repeat}), "
        f"median {median:.1f} us, {args.number} probes per round"
    )


if __name__ == "__main__":
    main()
