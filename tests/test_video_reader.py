import json
import os
import struct
import threading
import tracemalloc

import pytest
import talvo.runtime_async as ra
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from talvo.engine import video_reader
from talvo.engine.video_reader import (
    MODEL_DATA_NAME,
    PADDING_NAME,
    ImxContainer,
    ImxFormatError,
    is_imx_file,
    pack_demo_model,
    write_imx,
)
from volume import scaled


def raw(rows, data=b"", count=None, magic=b"IMX1"):
    """Hand-made container: rows of (name bytes, offset, size); data follows the table."""
    table = b"".join(struct.pack("<H", len(n)) + n + struct.pack("<QQ", o, s) for n, o, s in rows)
    return struct.pack("<4sI", magic, len(rows) if count is None else count) + table + data


def one_entry(name=b"a", size=4, offset=None, extra=b""):
    start = 8 + 2 + len(name) + 16
    return raw([(name, start if offset is None else offset, size)], b"x" * 4 + extra)


def put(tmp_path, blob, name="m.imx"):
    path = tmp_path / name
    path.write_bytes(blob)
    return path


@pytest.mark.parametrize("manifest", [None, {"model_type": "orrin", "note": "mañana ☀"}])
def test_round_trip(tmp_path, manifest):
    entries = {"frames.bin": b"\x01\x02\x03", "lèvres/顔.bin": bytearray(b"xyz"), "empty": b""}
    write_imx(tmp_path / "m.imx", entries, manifest)
    box = ImxContainer(tmp_path / "m.imx")
    assert box.metadata == manifest and box.metadata is box.metadata
    assert set(box.names()) == set(entries) | ({"manifest.json"} if manifest else set())
    for name, data in entries.items():
        assert box.entry_size(name) == len(data) and box.read_entry(name) == bytes(data)
    with pytest.raises(KeyError, match="missing"):
        box.read_entry("missing")
    write_imx(tmp_path / "e.imx", {})
    assert ImxContainer(tmp_path / "e.imx").names() == []


@pytest.mark.parametrize(
    "blob, expected",
    [
        (one_entry(), True),
        (b"IMX1\x00\x00\x00", False),
        (b"", False),
        (b"IMX2" + bytes(12), False),
    ],
)
def test_is_imx_file(tmp_path, blob, expected):
    assert is_imx_file(put(tmp_path, blob)) is expected
    assert not is_imx_file(tmp_path / "missing.imx") and not is_imx_file(tmp_path)


def test_every_truncation_is_rejected(tmp_path):
    write_imx(tmp_path / "full.imx", {"é.bin": b"abc", "frames.bin": b"0123456789"}, {"k": 1})
    blob = (tmp_path / "full.imx").read_bytes()
    for cut in range(len(blob)):
        with pytest.raises(ImxFormatError):
            ImxContainer(put(tmp_path, blob[:cut]))


START = 8 + 2 + 1 + 16  # data offset of a one-entry table with a one-byte name
START2 = 8 + 2 * (2 + 1 + 16)


@pytest.mark.parametrize(
    "blob, message",
    [
        (one_entry().replace(b"IMX1", b"ZIP!", 1), "magic"),
        (raw([], count=4097), "entries"),
        (raw([(b"a", START, 1)], count=3), "truncated"),
        (raw([(b"", START, 0)]), "name length"),
        (raw([(b"n" * 1025, 0, 0)]), "name length"),
        (raw([(b"\xff", START, 1)], b"x"), "UTF-8"),
        (one_entry(offset=4), "outside"),
        (one_entry(size=5), "outside"),
        (one_entry(size=2**62), "outside"),
        (one_entry(offset=2**64 - 1), "outside"),
        (raw([(b"a", START2, 1), (b"a", START2 + 1, 1)], b"xy"), "twice"),
        (raw([(b"a", START2, 2), (b"b", START2 + 1, 2)], b"xyz"), "overlap"),
        (raw([(b"manifest.json", 8 + 2 + 13 + 16, (1 << 20) + 1)], bytes((1 << 20) + 1)), "manifest claims"),
    ],
    ids=lambda v: v if isinstance(v, str) else "blob",
)
def test_corrupt_tables_are_rejected_without_allocating(tmp_path, blob, message):
    path = put(tmp_path, blob)
    tracemalloc.start()
    try:
        with pytest.raises(ImxFormatError, match=message):
            ImxContainer(path)
        assert tracemalloc.get_traced_memory()[1] < 256 * 1024
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize(
    "manifest",
    [b"not json", b"\xff\xfe{}", b"[1, 2]", b"42", b"[" * 100_000],
    ids=["text", "utf-16", "array", "number", "deep"],
)
def test_bad_manifest_fails_on_read_not_open(tmp_path, manifest):
    start = 8 + 2 + len(b"manifest.json") + 16
    box = ImxContainer(put(tmp_path, raw([(b"manifest.json", start, len(manifest))], manifest)))
    for _ in range(2):  # a failure is not cached as a result
        with pytest.raises(ImxFormatError, match="manifest"):
            box.metadata


class _Spy:
    def __init__(self, f, reads):
        self._f, self._reads = f, reads

    def read(self, size=-1):
        at = self._f.tell()
        data = self._f.read(size)
        self._reads.append((at, len(data)))
        return data

    def __getattr__(self, name):
        return getattr(self._f, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._f.close()


def test_open_and_metadata_touch_only_table_and_manifest(tmp_path, monkeypatch):
    path = tmp_path / "big.imx"
    pack_demo_model(path, extra_bytes=100 * 1024 * 1024)
    reads, opened, real_open = [], [], video_reader._open_regular

    def spying_open(file):
        f, st = real_open(file)
        assert os.fspath(file) == os.fspath(path)
        opened.append(f)
        return _Spy(f, reads), st

    fds = len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None
    monkeypatch.setattr(video_reader, "_open_regular", spying_open)
    box = ImxContainer(path)
    assert box.metadata["model_type"] == "orrin"
    monkeypatch.undo()
    assert len(opened) == 1

    model = [e for e in box.entries() if e.name in (MODEL_DATA_NAME, PADDING_NAME)]
    assert len(model) == 2
    assert not any(at < e.offset + e.size and e.offset < at + size for at, size in reads for e in model)
    assert sum(size for _, size in reads) < 1024
    assert opened and all(f.closed for f in opened)
    if fds is not None:
        assert len(os.listdir("/proc/self/fd")) == fds


def test_a_fifo_swapped_in_between_table_and_manifest_never_blocks(tmp_path, monkeypatch):
    path, fifo = tmp_path / "m.imx", tmp_path / "fifo"
    pack_demo_model(path, model_type="velda")
    os.mkfifo(fifo)
    read_table = video_reader._read_table

    def read_then_swap(f, size):
        entries = read_table(f, size)
        os.replace(fifo, path)
        return entries

    monkeypatch.setattr(video_reader, "_read_table", read_then_swap)
    found = []
    probe = threading.Thread(target=lambda: found.append(ra._peek_model_type(str(path))), daemon=True)
    probe.start()
    probe.join(10)
    if probe.is_alive():
        os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))  # lets the blocked open return
        probe.join(10)
        pytest.fail("the probe blocked opening a FIFO")
    assert found == ["velda"]  # read through the descriptor that was checked
    assert not is_imx_file(path)
    with pytest.raises(ImxFormatError, match="not a regular file"):
        ImxContainer(path)


def test_file_replaced_after_open_is_detected(tmp_path):
    path = tmp_path / "m.imx"
    pack_demo_model(path)
    box = ImxContainer(path)
    pack_demo_model(path, width=32, height=32)
    with pytest.raises(ImxFormatError, match="changed"):
        box.read_entry(MODEL_DATA_NAME)


@pytest.mark.parametrize(
    "entries, manifest, error",
    [
        ({"a": 5}, None, TypeError),
        ({"manifest.json": b"{}"}, None, ValueError),
        ({"n" * 1025: b""}, None, ValueError),
        ({b"a": b""}, None, TypeError),
        ({}, ["not", "a", "dict"], TypeError),
        ({}, {"x": object()}, ValueError),
    ],
)
def test_writer_rejects_bad_input_and_keeps_old_file(tmp_path, entries, manifest, error):
    path = tmp_path / "m.imx"
    write_imx(path, {"keep": b"me"})
    before = path.read_bytes()
    with pytest.raises(error):
        write_imx(path, entries, manifest)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["m.imx"]


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_a_written_model_gets_the_mode_the_umask_gives(tmp_path, umask):
    old = os.umask(umask)
    try:
        pack_demo_model(tmp_path / "m.imx")
    finally:
        os.umask(old)
    assert (tmp_path / "m.imx").stat().st_mode & 0o777 == 0o666 & ~umask and os.listdir(tmp_path) == ["m.imx"]


def _sample():
    rows = [(b"manifest.json", 0, 0), (b"frames.bin", 0, 0)]
    manifest, frames = json.dumps({"model_type": "orrin"}).encode(), b"\x10" * 12
    start = len(raw(rows))
    return raw(
        [(b"manifest.json", start, len(manifest)), (b"frames.bin", start + len(manifest), len(frames))],
        manifest + frames,
    )


@settings(
    max_examples=scaled(300, 20),
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(
    edits=st.lists(st.tuples(st.integers(0, len(_sample()) - 1), st.integers(0, 255)), max_size=6),
    cut=st.integers(0, len(_sample())),
    tail=st.binary(max_size=16),
)
def test_mutated_containers_fail_cleanly(tmp_path, edits, cut, tail):
    blob = bytearray(_sample())
    for at, value in edits:
        blob[at] = value
    path = put(tmp_path, bytes(blob[:cut]) + tail)
    try:
        box = ImxContainer(path)
        box.metadata
        for name in box.names():
            assert len(box.read_entry(name)) == box.entry_size(name)
    except ImxFormatError:
        pass
