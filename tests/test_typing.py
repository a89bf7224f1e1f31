"""The type stub against the runtime, and against the programs users write.

The stub (`talvo/runtime_async.pyi`) is written by hand beside a compiled module, so nothing
keeps it true but these tests: mypy's stubtest compares every name, parameter and default with
the module as imported, and two small programs are type-checked with it: one using every
operation as documented must pass, one of plain misuses must be flagged line by line. The
server's own code (`talvo.serve`) is checked with them, as strictly: it is the first user.
"""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

PROGRAMS = Path(__file__).parent / "typed_programs"
USES, MISUSES = PROGRAMS / "uses.py", PROGRAMS / "misuses.py"


def marked_lines(path: Path) -> set[int]:
    lines = path.read_text().splitlines()
    return {n for n, line in enumerate(lines, 1) if line.rstrip().endswith("# error")}


def run(argv: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(argv, capture_output=True, text=True, cwd=cwd, timeout=300)


def test_stub_matches_the_runtime(tmp_path):
    proc = run([sys.executable, "-m", "mypy.stubtest", "talvo.runtime_async"], tmp_path)
    assert proc.returncode == 0, (
        "python/talvo/runtime_async.pyi no longer matches the compiled module. An operation's "
        "parameters, defaults or kind (async def, classmethod) changed on one side only: change "
        "the stub and the operation's registered signature together.\n" + proc.stdout + proc.stderr
    )


def test_mypy_passes_correct_uses_and_flags_each_misuse(tmp_path, request):
    cache = request.config.cache.mkdir("mypy") if hasattr(request.config, "cache") else tmp_path
    mypy = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "--config-file", os.devnull]
    mypy += ["--show-error-codes", "--follow-imports=silent"]  # errors in what is named, not in its imports
    proc = run([*mypy, str(USES), str(MISUSES)], tmp_path)
    errors: dict[str, set[int]] = {USES.name: set(), MISUSES.name: set()}
    for m in re.finditer(r"^(.*\.py):(\d+): error:", proc.stdout, re.M):
        name = Path(m[1]).name
        errors.setdefault(name if name in errors else m[1], set()).add(int(m[2]))
    assert errors == {USES.name: set(), MISUSES.name: marked_lines(MISUSES)}, proc.stdout + proc.stderr
    if importlib.util.find_spec("aiohttp") is not None:  # the server's own code, with the serve extra
        # By package name, as mypy finds it on this interpreter's path: a directory inside
        # site-packages given as a path makes mypy take site-packages for a source root.
        proc = run([*mypy, "-p", "talvo.serve"], tmp_path)
        assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.skipif(shutil.which("node") is None, reason="pyright needs Node.js on PATH")
def test_pyright_passes_correct_uses_and_flags_each_misuse(tmp_path):
    pytest.importorskip("pyright")
    proc = run(
        [
            sys.executable,
            "-m",
            "pyright",
            "--outputjson",
            "--pythonpath",
            sys.executable,
            str(USES),
            str(MISUSES),
        ],
        tmp_path,
    )
    report = json.loads(proc.stdout)
    errors: dict[str, set[int]] = {USES.name: set(), MISUSES.name: set()}
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            errors[Path(d["file"]).name].add(d["range"]["start"]["line"] + 1)
    assert errors == {USES.name: set(), MISUSES.name: marked_lines(MISUSES)}, proc.stdout


@pytest.mark.asyncio
async def test_what_the_stub_accepts_the_runtime_takes(tmp_path):
    """A path object for the model, and audio as bytearray and memoryview, render as bytes do."""
    from talvo.engine.video_reader import pack_demo_model
    from talvo.runtime_async import AsyncTalvo

    model = tmp_path / "orrin.imx"
    pack_demo_model(model)
    pcm = bytes(range(256)) * 25  # 200 ms of 16 kHz 16-bit mono
    async with await AsyncTalvo.create(model_path=model) as runtime:
        await runtime.set_model(model)
        await runtime.load_data_async()
        await runtime.push_audio(bytearray(pcm[:3200]), 16000, False)
        await runtime.push_audio(memoryview(pcm)[3200:], 16000)
        await runtime.flush()
        rendered = b"".join([f.audio async for f in runtime.run(idle_timeout=0.2) if f.speech])
    assert rendered == pcm
