"""The container reader and the model-family probe against random, built and mutated files.

The oracle (probe_oracle.check) says what is allowed; tools/fuzz_probe.py runs it for longer under
atheris. Files are built here by an independent encoding of the container layout, so the table
can lie: counts, name lengths, offsets and sizes that disagree with the file.
"""

import json
import struct
import tracemalloc
from pathlib import Path

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from probe_oracle import check, counted_reads
from talvo.engine.video_reader import (
    MAGIC,
    MANIFEST_NAME,
    MAX_MANIFEST_BYTES,
    ImxFormatError,
    pack_demo_model,
    write_imx,
)
from talvo.runtime_async import _peek_model_type
from volume import scaled

FUZZ = settings(max_examples=scaled(300, 20), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz") / "input.imx"


def probe_once(scratch: Path, blob: bytes) -> str:
    scratch.write_bytes(blob)
    return check(str(scratch))


def probe(scratch: Path, blob: bytes) -> str:
    """One hypothesis example: checked, and its outcome counted in the statistics."""
    outcome = probe_once(scratch, blob)
    event(outcome)
    return outcome


def encode(entries, *, count=None, shift=0):
    """A container holding ``entries`` ((name bytes, data bytes) pairs); ``count`` overrides the
    header's entry count and ``shift`` moves every stated offset."""
    table_size = sum(2 + len(name) + 16 for name, _ in entries)
    head = struct.pack("<4sI", MAGIC, len(entries) if count is None else count)
    table, data, offset = [], [], 8 + table_size
    for name, blob in entries:
        table.append(
            struct.pack("<H", len(name) & 0xFFFF)
            + name
            + struct.pack("<QQ", max(0, offset + shift) & (2**64 - 1), len(blob))
        )
        data.append(blob)
        offset += len(blob)
    return head + b"".join(table) + b"".join(data)


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=20),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=10), inner, max_size=4),
    max_leaves=20,
)
manifests = st.one_of(
    st.dictionaries(
        st.sampled_from(["model_type", "width", "height", "mouth_levels", "x"]), json_values, max_size=5
    ).map(lambda d: json.dumps(d).encode()),
    *[
        st.fixed_dictionaries({"model_type": st.sampled_from(["orrin", "velda", "Velda", ""])}).map(
            lambda d: json.dumps(d).encode()
        )
    ]
    * 3,
    json_values.map(lambda v: json.dumps(v).encode()),
    st.binary(max_size=64),
)
good_names = st.just(b"frames.bin") | st.text(min_size=1, max_size=12).map(str.encode)
names = st.one_of(
    st.just(MANIFEST_NAME.encode()),
    good_names,
    st.binary(max_size=12),
    st.binary(min_size=1020, max_size=1030),
)
# Well-formed tables beside the manifest, so the manifest is what gets tested.
other_entries = st.lists(
    st.tuples(good_names.filter(lambda n: n != MANIFEST_NAME.encode()), st.binary(max_size=64)),
    max_size=6,
    unique_by=lambda e: e[0],
)
entry_lists = st.lists(st.tuples(names, st.binary(max_size=64)), max_size=6)


class TestRandomFiles:
    @FUZZ
    @given(blob=st.binary(max_size=512))
    def test_random_bytes(self, scratch, blob):
        probe(scratch, blob)

    @FUZZ
    @given(blob=st.binary(max_size=512))
    def test_random_bytes_behind_the_magic(self, scratch, blob):
        probe(scratch, MAGIC + blob)


class TestBuiltContainers:
    @FUZZ
    @given(manifest=manifests, others=other_entries)
    @example(manifest=b"[" * 100_000, others=[])  # nesting deeper than the JSON parser goes
    @example(manifest=b"1" * 5_000, others=[])  # more digits than int() accepts
    @example(manifest=b"\xef\xbb\xbf{}", others=[])  # a byte-order mark
    @example(manifest=b'{"model_type": "velda", "model_type": 3}', others=[])
    def test_any_manifest_with_any_entries(self, scratch, manifest, others):
        probe(scratch, encode([(MANIFEST_NAME.encode(), manifest), *others]))

    @FUZZ
    @given(
        entries=entry_lists,
        count=st.one_of(st.none(), st.integers(0, 2**32 - 1)),
        shift=st.integers(-64, 64) | st.sampled_from([2**63, 2**64 - 8]),
    )
    def test_tables_that_lie(self, scratch, entries, count, shift):
        probe(scratch, encode(entries, count=count, shift=shift))


def valid_models(tmp_path_factory):
    here = tmp_path_factory.mktemp("seeds")
    paths = []
    for i, model_type in enumerate(["orrin", "velda"]):
        path = here / f"demo-{i}.imx"
        pack_demo_model(path, model_type=model_type, width=16, height=16)
        paths.append(path)
    path = here / "plain.imx"
    write_imx(path, {"a": b"x" * 10, "b": b""}, {"model_type": "velda", "nested": {"k": [1, 2]}})
    paths.append(path)
    return [p.read_bytes() for p in paths]


@pytest.fixture(scope="module")
def seeds(tmp_path_factory):
    return valid_models(tmp_path_factory)


mutation = st.one_of(
    st.tuples(st.just("set"), st.integers(0, 10**6), st.integers(0, 255)),
    st.tuples(st.just("cut"), st.integers(0, 10**6), st.just(0)),
    st.tuples(st.just("insert"), st.integers(0, 10**6), st.integers(0, 255)),
    st.tuples(st.just("u16"), st.integers(0, 10**6), st.sampled_from([0, 1, 1024, 1025, 0xFFFF])),
    st.tuples(st.just("u32"), st.integers(0, 10**6), st.sampled_from([0, 1, 4096, 4097, 2**32 - 1])),
    st.tuples(
        st.just("u64"), st.integers(0, 10**6), st.sampled_from([0, 7, 8, 2**20, 2**20 + 1, 2**63, 2**64 - 1])
    ),
)


def mutate(blob: bytes, ops) -> bytes:
    data = bytearray(blob)
    for op, where, value in ops:
        at = where % (len(data) + 1)
        if op == "set" and data:
            data[at % len(data)] = value
        elif op == "cut":
            del data[at:]
        elif op == "insert":
            data[at:at] = bytes([value])
        elif op in ("u16", "u32", "u64"):
            width = {"u16": 2, "u32": 4, "u64": 8}[op]
            data[at : at + width] = value.to_bytes(width, "little")
    return bytes(data)


class TestMutatedModels:
    @settings(FUZZ, max_examples=scaled(500, 20))
    @given(which=st.integers(0, 2), ops=st.lists(mutation, min_size=1, max_size=4))
    def test_mutations_of_real_models(self, scratch, seeds, which, ops):
        probe(scratch, mutate(seeds[which % len(seeds)], ops))


class TestBoundedWork:
    @settings(FUZZ, max_examples=scaled(100, 20))
    @given(entries=entry_lists, count=st.integers(0, 4096))
    def test_memory_stays_near_the_file_size(self, scratch, entries, count):
        # A lying table must not make the reader allocate what the header claims.
        blob = encode(entries, count=count)
        scratch.write_bytes(blob)
        tracemalloc.start()
        try:
            check(str(scratch))
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        assert peak <= 64 * 1024 + 4 * len(blob), (peak, len(blob))  # measured: 17 KiB at most

    def test_a_table_claiming_the_most_entries_reads_only_what_is_there(self, scratch):
        outcome = probe_once(scratch, encode([(b"a", b"")], count=4096))
        assert outcome == "refused by the reader"

    @pytest.mark.parametrize(
        "manifest_size, refused", [(MAX_MANIFEST_BYTES, False), (MAX_MANIFEST_BYTES + 1, True)]
    )
    def test_a_huge_file_is_read_only_up_to_the_caps(self, scratch, manifest_size, refused):
        # A sparse 256 MiB file whose table names a manifest of (just over) the largest size.
        name = MANIFEST_NAME.encode()
        table = struct.pack("<4sIH", MAGIC, 1, len(name)) + name
        table += struct.pack("<QQ", len(table) + 16, manifest_size)
        with open(scratch, "wb") as f:
            f.write(table)
            f.truncate(256 << 20)
        with counted_reads() as reads:
            tracemalloc.start()
            try:
                if refused:
                    assert _peek_model_type(str(scratch)) is None
                else:
                    with pytest.raises(ImxFormatError, match="not valid UTF-8 JSON"):
                        _peek_model_type(str(scratch))  # a megabyte of zeros
                _, peak = tracemalloc.get_traced_memory()
            finally:
                tracemalloc.stop()
        assert reads.bytes <= len(table) + 8 + (0 if refused else manifest_size), reads
        assert peak <= (64 << 10) + (0 if refused else 3 * manifest_size), peak
