"""What the container reader and the model-family probe may do with any file, checked in one place
for tests/test_fuzz_probe.py (hypothesis) and tools/fuzz_probe.py (atheris).

Allowed: ``is_imx_file`` answers a bool; ``ImxContainer(path)`` opens or raises ImxFormatError;
``metadata`` is a dict, None, or ImxFormatError; every entry the table admits reads back at its
stated size. ``_peek_model_type`` swallows what ImxContainer raises, lets metadata's
ImxFormatError through, and otherwise answers the declared string model_type or None. Reads stay
within a few passes over the file. Anything else is a fault.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, Self
from unittest import mock

from talvo.engine import video_reader
from talvo.engine.video_reader import ImxContainer, ImxFormatError, is_imx_file
from talvo.runtime_async import _peek_model_type


@dataclass
class Reads:
    opens: int = 0
    calls: int = 0
    bytes: int = 0


class _CountingFile:
    def __init__(self, f: Any, reads: Reads) -> None:
        self._f, self._reads = f, reads

    def read(self, size: int = -1) -> bytes:
        data = self._f.read(size)
        self._reads.calls += 1
        self._reads.bytes += len(data)
        return data

    def __enter__(self) -> Self:
        self._f.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        self._f.__exit__(*exc)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._f, name)


@contextmanager
def counted_reads() -> Iterator[Reads]:
    """Counts what the reader module opens and reads (its own ``open``, looked up as a global)."""
    reads = Reads()
    real_open = open

    def counting_open(*args: Any, **kwargs: Any) -> _CountingFile:
        reads.opens += 1
        return _CountingFile(real_open(*args, **kwargs), reads)

    with mock.patch.object(video_reader, "open", counting_open, create=True):
        yield reads


def check(path: str) -> str:
    """Runs the reader and the probe on ``path``; AssertionError on a fault, else the outcome."""
    size = os.stat(path).st_size
    with counted_reads() as reads:
        head = is_imx_file(path)
    assert head is True or head is False
    assert reads.bytes <= 8

    container: ImxContainer | None = None
    manifest_error: ImxFormatError | None = None
    try:
        container = ImxContainer(path)
    except ImxFormatError:
        pass
    if container is not None:
        try:
            meta = container.metadata
        except ImxFormatError as exc:
            manifest_error = exc
        else:
            assert meta is None or isinstance(meta, dict)
        for entry in container.entries():
            assert 0 <= entry.offset and entry.offset + entry.size <= size
            assert len(container.read_entry(entry.name)) == entry.size

    with counted_reads() as reads:
        try:
            kind = _peek_model_type(path)
        except ImxFormatError:
            assert manifest_error is not None, "the probe failed where metadata did not"
            outcome = "bad manifest"
        else:
            assert manifest_error is None, "the probe swallowed a bad manifest"
            assert kind is None or type(kind) is str
            if container is None:
                assert kind is None
                outcome = "not a container" if not head else "refused by the reader"
            else:
                declared = (container.metadata or {}).get("model_type")
                assert kind == (declared if isinstance(declared, str) else None)
                outcome = "no model type" if kind is None else "model type"
    # Header test, file table, manifest: each at most one pass over the file.
    assert reads.opens <= 3, reads
    assert reads.bytes <= 8 + 2 * size, (reads, size)
    return outcome
