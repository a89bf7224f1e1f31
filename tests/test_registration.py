"""The one table of operations: every body checked against its stub when the module initialises,
and the README's operation table and the type stub naming what the module installs."""

import ast
import re
from pathlib import Path

import pytest
from registered import CLASS_OPERATIONS, MODULE_FUNCTIONS

ROOT = Path(__file__).parents[1]
PUBLIC = {name for name in CLASS_OPERATIONS if not name.startswith("_") or name.startswith("__")}


@pytest.fixture(scope="module")
def probe():
    return pytest.importorskip("talvo._host_testing").Probe()


def stub(source):
    namespace = {}
    exec(source, namespace)
    return namespace["f"]


class TestBodyAgainstStub:
    @pytest.mark.parametrize(
        "kind, source, params",
        [
            ("coroutine", "async def f(self, a, /, b=1, *, c): pass", 4),
            ("class_coroutine", "async def f(cls): pass", 1),
            ("stream", "async def f(self, items):\n    yield", 2),
            ("function", "def f(self): pass", 1),
            ("free_function", "def f(path): pass", 1),
        ],
    )
    def test_a_body_that_fits_its_stub_passes(self, probe, kind, source, params):
        assert probe.check_stub(stub(source), kind, params) is None

    @pytest.mark.parametrize(
        "kind, source, params, message",
        [
            (
                "coroutine",
                "async def f(self, a): pass",
                3,
                "f: the body reads 3 arguments by position, but the stub declares 2 (self, a)",
            ),
            (
                "coroutine",
                "async def f(self, a, *, b=1): pass",
                2,
                "f: the body reads 2 arguments by position, but the stub declares 3 (self, a, b)",
            ),
            ("coroutine", "def f(self): pass", 1, "f: a coroutine body needs an `async def` stub"),
            (
                "class_coroutine",
                "async def f(cls):\n    yield",
                1,
                "f: a coroutine body needs an `async def` stub",
            ),
            (
                "stream",
                "async def f(self): pass",
                1,
                "f: a stream body needs an `async def` stub that yields",
            ),
            ("function", "async def f(self): pass", 1, "f: a function body needs a plain `def` stub"),
            ("free_function", "def f(*paths): pass", 0, "cannot take *args or **kwargs"),
        ],
    )
    def test_a_mismatch_is_a_system_error_naming_the_operation(self, probe, kind, source, params, message):
        with pytest.raises(SystemError, match=re.escape(message)):
            probe.check_stub(stub(source), kind, params)


def readme_operations():
    text = (ROOT / "README.md").read_text()
    table = text.split("| Operation | What it does |\n", 1)[1].split("\n\n", 1)[0]
    names = set()
    for row in table.splitlines()[1:]:
        for code in re.findall(r"`([^`]+)`", row.split(" | ")[0]):
            if code.startswith("AsyncTalvo("):
                names.add("__init__")
            if code.startswith("async with"):
                names |= {"__aenter__", "__aexit__"}
            names.update(re.findall(r"\b(?:rt|AsyncTalvo)\.(\w+)\(", code))
    return names


def stub_operations():
    tree = ast.parse((ROOT / "python" / "talvo" / "runtime_async.pyi").read_text())
    defs = (ast.FunctionDef, ast.AsyncFunctionDef)
    [cls] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "AsyncTalvo"]
    return (
        {node.name for node in tree.body if isinstance(node, defs)},
        {node.name for node in cls.body if isinstance(node, defs)},
    )


def test_readme_and_type_stub_name_the_operations_the_module_installs():
    """stubtest (tests/test_typing.py) compares signatures but passes over a private operation
    missing from the stub; the README's table lists the public ones."""
    assert readme_operations() == PUBLIC
    assert stub_operations() == (set(MODULE_FUNCTIONS), set(CLASS_OPERATIONS))
