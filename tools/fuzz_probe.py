"""Coverage-guided fuzzing of the container reader and the model-family probe with atheris.

Run: PYTHONPATH=python python tools/fuzz_probe.py [-max_total_time=60] [-runs=N] [CORPUS_DIR]

Each input is written to one scratch file and checked by tests/probe_oracle.py, the same oracle
the hypothesis tests use: a fault is an AssertionError or any error the oracle does not allow,
and atheris stops and saves the input. Seeds are small real models packed at start.
"""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

try:
    import atheris
except ImportError:
    sys.exit("fuzz_probe: needs atheris: pip install atheris")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

with atheris.instrument_imports():
    from talvo.engine.video_reader import pack_demo_model, write_imx

import talvo.runtime_async  # noqa: F401  (the probe lives in the extension: not instrumented)
from loguru import logger
from probe_oracle import check

SCRATCH_DIR = Path("/dev/shm") if os.access("/dev/shm", os.W_OK) else Path(tempfile.gettempdir())
SCRATCH = SCRATCH_DIR / f"talvo-fuzz-{os.getpid()}.imx"


def seed_corpus(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    pack_demo_model(directory / "orrin.imx", width=16, height=16)
    pack_demo_model(directory / "velda.imx", model_type="velda", width=16, height=16)
    write_imx(directory / "plain.imx", {"a": b"x" * 10, "b": b""}, {"model_type": "velda"})


def one_input(data: bytes) -> None:
    SCRATCH.write_bytes(data)
    try:
        check(str(SCRATCH))
    finally:
        SCRATCH.unlink()  # libFuzzer ends the process with exit(): nothing would clean up later


def main() -> None:
    logger.disable("talvo")
    argv = list(sys.argv)
    corpus = [a for a in argv[1:] if not a.startswith("-")]
    if not corpus:
        default = Path(tempfile.gettempdir()) / "talvo-fuzz-corpus"
        seed_corpus(default)
        argv.append(str(default))
    else:
        for directory in corpus:
            if not any(Path(directory).glob("*")):
                seed_corpus(Path(directory))
    atheris.Setup(argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
