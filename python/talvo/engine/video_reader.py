"""The ``.imx`` model container: a small indexed archive of named entries.

Layout, all integers little-endian::

    header  b"IMX1", u32 entry count
    table   per entry: u16 name length, UTF-8 name, u64 offset, u64 size
    data    entry bytes; every entry lies after the table and inside the file

An optional ``manifest.json`` entry holds a JSON object describing the model. The
reader trusts nothing: every count, size and offset is checked against the file
size and fixed caps before anything is allocated or read.
"""

from __future__ import annotations

import json
import os
import stat
import struct
from collections.abc import Callable, Iterable, Mapping
from typing import Any, NamedTuple

from talvo._face import check_side, draw_base_face
from talvo.exceptions import ImxFormatError

__all__ = [
    "ImxContainer",
    "ImxEntry",
    "ImxFormatError",
    "is_imx_file",
    "pack_demo_model",
    "write_imx",
    "MANIFEST_NAME",
    "MODEL_DATA_NAME",
    "PADDING_NAME",
]

MAGIC = b"IMX1"
MANIFEST_NAME = "manifest.json"
MODEL_DATA_NAME = "frames.bin"
PADDING_NAME = "padding.bin"

MAX_ENTRIES = 4096
MAX_NAME_BYTES = 1024
MAX_TABLE_BYTES = 1 << 20
MAX_MANIFEST_BYTES = 1 << 20

_HEADER = struct.Struct("<4sI")
_NAME_LEN = struct.Struct("<H")
_LOCATION = struct.Struct("<QQ")
_CHUNK = 1 << 20
_UNSET = object()


class ImxEntry(NamedTuple):
    name: str
    offset: int
    size: int


_OPEN_FLAGS = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOCTTY", 0)


def _open_regular(path: str) -> tuple[Any, os.stat_result]:
    """Opens ``path`` for reading without waiting (a FIFO or a device never blocks the open),
    then checks what was opened: an unbuffered binary file and its status, or ImxFormatError
    when it is not a regular file. The path may change at any time; the descriptor cannot."""
    fd = os.open(path, _OPEN_FLAGS)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ImxFormatError(f"{path}: not a regular file")
        os.set_blocking(fd, True)
        return open(fd, "rb", buffering=0), st
    except BaseException:
        os.close(fd)
        raise


def is_imx_file(path: str | os.PathLike[str]) -> bool:
    """True when ``path`` is a regular file that starts with a full container header."""
    try:
        f, _ = _open_regular(os.fspath(path))
    except (OSError, ImxFormatError):
        return False
    with f:
        head = f.read(_HEADER.size)
    return len(head) == _HEADER.size and head.startswith(MAGIC)


def _read_exact(f: Any, size: int, what: str) -> bytes:
    chunks, remaining = [], size
    while remaining:
        chunk = f.read(remaining)
        if not chunk:
            raise ImxFormatError(f"truncated {what}")
        chunks.append(chunk)
        remaining -= len(chunk)
    return b"".join(chunks)


def _identity(st: os.stat_result) -> tuple[int, int, int, int]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


class _TableReader:
    """Reads table fields one at a time, refusing anything past the caps or the file end."""

    def __init__(self, f: Any, file_size: int) -> None:
        self._f, self._file_size, self.pos = f, file_size, _HEADER.size

    def take(self, size: int, what: str) -> bytes:
        if self.pos + size - _HEADER.size > MAX_TABLE_BYTES:
            raise ImxFormatError(f"file table is larger than {MAX_TABLE_BYTES} bytes")
        if self.pos + size > self._file_size:
            raise ImxFormatError(f"truncated file table ({what})")
        data = _read_exact(self._f, size, f"file table ({what})")
        self.pos += size
        return data


def _read_table(f: Any, file_size: int) -> dict[str, ImxEntry]:
    if file_size < _HEADER.size:
        raise ImxFormatError(f"file is too short for a header ({file_size} bytes)")
    magic, count = _HEADER.unpack(_read_exact(f, _HEADER.size, "header"))
    if magic != MAGIC:
        raise ImxFormatError(f"not an .imx container (magic {magic!r})")
    if count > MAX_ENTRIES:
        raise ImxFormatError(f"file table claims {count} entries, at most {MAX_ENTRIES} allowed")
    table = _TableReader(f, file_size)
    entries: dict[str, ImxEntry] = {}
    for i in range(count):
        (name_len,) = _NAME_LEN.unpack(table.take(_NAME_LEN.size, f"entry {i} name length"))
        if not 1 <= name_len <= MAX_NAME_BYTES:
            raise ImxFormatError(f"entry {i} name length {name_len} is outside 1..{MAX_NAME_BYTES}")
        try:
            name = table.take(name_len, f"entry {i} name").decode("utf-8")
        except UnicodeDecodeError:
            raise ImxFormatError(f"entry {i} name is not valid UTF-8") from None
        offset, size = _LOCATION.unpack(table.take(_LOCATION.size, f"entry {name!r} location"))
        if name in entries:
            raise ImxFormatError(f"entry {name!r} appears twice")
        entries[name] = ImxEntry(name, offset, size)
    data_start = table.pos
    for entry in entries.values():
        if entry.offset < data_start or entry.size > file_size - entry.offset:
            raise ImxFormatError(
                f"entry {entry.name!r} (offset {entry.offset}, size {entry.size}) lies outside "
                f"the data area {data_start}..{file_size}"
            )
    placed = sorted((e for e in entries.values() if e.size), key=lambda e: e.offset)
    for before, after in zip(placed, placed[1:]):
        if before.offset + before.size > after.offset:
            raise ImxFormatError(f"entries {before.name!r} and {after.name!r} overlap")
    manifest = entries.get(MANIFEST_NAME)
    if manifest is not None and manifest.size > MAX_MANIFEST_BYTES:
        raise ImxFormatError(f"manifest claims {manifest.size} bytes, at most {MAX_MANIFEST_BYTES} allowed")
    return entries


def _parse_manifest(raw: bytes) -> dict[str, Any]:
    try:
        manifest = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as exc:
        raise ImxFormatError(f"manifest is not valid UTF-8 JSON: {exc}") from None
    if not isinstance(manifest, dict):
        raise ImxFormatError(f"manifest must be a JSON object, not {type(manifest).__name__}")
    return manifest


class ImxContainer:
    """An opened ``.imx`` file. Holds the validated table and the manifest's bytes, read
    through one open of the file; no file stays open.

    A later read of another entry opens the file again, the same way, and checks it is still
    the one whose table was read.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._path = os.fspath(path)
        f, st = _open_regular(self._path)
        with f:
            self._identity = _identity(st)
            try:
                self._entries = _read_table(f, st.st_size)
                manifest = self._entries.get(MANIFEST_NAME)
                self._manifest_raw = None if manifest is None else _read_at(f, manifest)
            except ImxFormatError as exc:
                raise ImxFormatError(f"{self._path}: {exc}") from None
        self._metadata: Any = _UNSET

    @property
    def path(self) -> str:
        return self._path

    @property
    def identity(self) -> tuple[int, int, int, int]:
        """(device, inode, size, mtime_ns) of the file when its table was read."""
        return self._identity

    @property
    def metadata(self) -> dict[str, Any] | None:
        """The parsed manifest (cached after the first read), or None without one."""
        if self._metadata is _UNSET:
            if self._manifest_raw is None:
                self._metadata = None
            else:
                try:
                    self._metadata = _parse_manifest(self._manifest_raw)
                except ImxFormatError as exc:
                    raise ImxFormatError(f"{self._path}: {exc}") from None
        return self._metadata

    def names(self) -> list[str]:
        return list(self._entries)

    def entries(self) -> list[ImxEntry]:
        """(name, offset, size) of every entry, in table order."""
        return list(self._entries.values())

    def __contains__(self, name: object) -> bool:
        return name in self._entries

    def entry_size(self, name: str) -> int:
        return self._entry(name).size

    def read_entry(self, name: str) -> bytes:
        """The bytes of one entry, exactly its validated size."""
        try:
            return self._read(self._entry(name))
        except ImxFormatError as exc:
            raise ImxFormatError(f"{self._path}: {exc}") from None

    def _entry(self, name: str) -> ImxEntry:
        try:
            return self._entries[name]
        except KeyError:
            raise KeyError(f"{self._path}: no entry named {name!r}") from None

    def _read(self, entry: ImxEntry) -> bytes:
        if entry.name == MANIFEST_NAME and self._manifest_raw is not None:
            return self._manifest_raw
        try:
            f, st = _open_regular(self._path)
        except ImxFormatError:
            raise ImxFormatError("file changed on disk since it was opened") from None
        with f:
            if _identity(st) != self._identity:
                raise ImxFormatError("file changed on disk since it was opened")
            return _read_at(f, entry)


def _read_at(f: Any, entry: ImxEntry) -> bytes:
    f.seek(entry.offset)
    return _read_exact(f, entry.size, f"entry {entry.name!r}")


# Writing ---------------------------------------------------------------------

_Item = tuple[str, int, Callable[[], Iterable[bytes]]]


def _encode_name(name: object) -> bytes:
    if not isinstance(name, str):
        raise TypeError(f"entry names must be str, not {type(name).__name__}")
    raw = name.encode("utf-8")
    if not 1 <= len(raw) <= MAX_NAME_BYTES:
        raise ValueError(f"entry name {name!r} must be 1..{MAX_NAME_BYTES} UTF-8 bytes")
    return raw


def _create_beside(path: str) -> tuple[int, str]:
    """A new file next to `path` to write the container into before it takes that name. Made
    with mode 0666 so that the umask decides, as for any file the user writes (mkstemp's 0600
    would leave a model only its writer can read)."""
    folder = os.path.dirname(path) or "."
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        tmp = os.path.join(folder, f".{os.urandom(6).hex()}.imx.tmp")
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name in {folder}")


def _write_container(path: str | os.PathLike[str], items: list[_Item]) -> None:
    if len(items) > MAX_ENTRIES:
        raise ValueError(f"at most {MAX_ENTRIES} entries fit in a container, got {len(items)}")
    names = [_encode_name(name) for name, _, _ in items]
    if len(set(names)) != len(names):
        raise ValueError("entry names must be unique")
    table_size = sum(_NAME_LEN.size + len(raw) + _LOCATION.size for raw in names)
    if table_size > MAX_TABLE_BYTES:
        raise ValueError(f"file table would take {table_size} bytes, at most {MAX_TABLE_BYTES} allowed")
    parts = [_HEADER.pack(MAGIC, len(items))]
    offset = _HEADER.size + table_size
    for raw, (_, size, _) in zip(names, items):
        parts += [_NAME_LEN.pack(len(raw)), raw, _LOCATION.pack(offset, size)]
        offset += size
    path = os.fspath(path)
    fd, tmp = _create_beside(path)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(b"".join(parts))
            for name, size, chunks in items:
                written = 0
                for chunk in chunks():
                    written += f.write(chunk)
                if written != size:
                    raise ValueError(f"entry {name!r} produced {written} bytes, expected {size}")
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def _bytes_item(name: str, data: object) -> _Item:
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"entry {name!r} must be bytes-like, not {type(data).__name__}") from None
    blob = view.tobytes()
    return name, len(blob), lambda: (blob,)


def _manifest_item(manifest: object) -> _Item:
    if not isinstance(manifest, dict):
        raise TypeError(f"manifest must be a dict, not {type(manifest).__name__}")
    try:
        raw = json.dumps(manifest, ensure_ascii=False, allow_nan=False).encode("utf-8")
    except (TypeError, ValueError) as exc:
        raise ValueError(f"manifest is not JSON-serialisable: {exc}") from None
    if len(raw) > MAX_MANIFEST_BYTES:
        raise ValueError(f"manifest takes {len(raw)} bytes, at most {MAX_MANIFEST_BYTES} allowed")
    return MANIFEST_NAME, len(raw), lambda: (raw,)


def write_imx(
    path: str | os.PathLike[str], entries: Mapping[str, bytes], manifest: dict[str, Any] | None = None
) -> None:
    """Write a container atomically; ``manifest`` is stored as ``manifest.json``."""
    if not isinstance(entries, Mapping):
        raise TypeError(f"entries must be a mapping of name to bytes, not {type(entries).__name__}")
    if MANIFEST_NAME in entries:
        raise ValueError(f"{MANIFEST_NAME!r} is reserved; pass the manifest as manifest=")
    items = [] if manifest is None else [_manifest_item(manifest)]
    items += [_bytes_item(name, data) for name, data in entries.items()]
    _write_container(path, items)


def _zeros(size: int) -> Iterable[bytes]:
    block = bytes(min(size, _CHUNK))
    for start in range(0, size, _CHUNK):
        yield block if size - start >= _CHUNK else block[: size - start]


def pack_demo_model(
    path: str | os.PathLike[str],
    *,
    model_type: str = "orrin",
    width: int = 96,
    height: int = 96,
    mouth_levels: int = 8,
    extra_bytes: int = 0,
) -> None:
    """Write a usable model: a manifest, the base face in ``frames.bin`` and optional
    zero padding of ``extra_bytes`` (written in chunks, so huge containers stay cheap)."""
    check_side("width", width)
    check_side("height", height)
    if isinstance(extra_bytes, bool) or not isinstance(extra_bytes, int) or extra_bytes < 0:
        raise ValueError(f"extra_bytes must be a non-negative int, got {extra_bytes!r}")
    manifest = {"model_type": model_type, "width": width, "height": height, "mouth_levels": mouth_levels}
    items = [_manifest_item(manifest), _bytes_item(MODEL_DATA_NAME, draw_base_face(width, height))]
    if extra_bytes:
        items.append((PADDING_NAME, extra_bytes, lambda: _zeros(extra_bytes)))
    _write_container(path, items)
