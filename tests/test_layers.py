"""The layers hold: the facade (runtime_async/ outside contracts/) reaches the interpreter only
through host/ and the outside world only through contracts/, whose headers are a closed list of
named calls. Read from the C++ sources, so a shortcut fails here before review."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FACADE = ROOT / "runtime_async"
CONTRACTS = FACADE / "contracts"

# What only host/ and contracts/ may name: C-API calls (our own `PyError` type aside), the object
# pointer, the singletons and macros (`Py_None`, `Py_TYPE`) and the built-in exception classes.
FORBIDDEN = {
    "C-API call": re.compile(r"\bPy(?!Error\b)[A-Z_]\w*\s*\("),
    "PyObject": re.compile(r"\bPyObject\b"),
    "Py_ constant or macro": re.compile(r"\bPy_[A-Z]\w*"),
    "exception class": re.compile(r"\bPyExc_\w+"),
}


def code_of(text):
    """The C++ text without comments and string literals (stubs and messages may say anything)."""
    text = re.sub(r'R"\((.*?)\)"', '""', text, flags=re.S)
    text = re.sub(r'"(?:\\.|[^"\\\n])*"', '""', text)
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    return re.sub(r"//[^\n]*", "", text)


def violations(text):
    code = code_of(text)
    return [
        f"line {code.count(chr(10), 0, m.start()) + 1}: {what} {m.group(0)!r}"
        for what, pattern in FORBIDDEN.items()
        for m in pattern.finditer(code)
    ]


def facade_sources():
    return sorted(p for p in FACADE.rglob("*.[ch]pp") if CONTRACTS not in p.parents)


def test_the_scanner_sees_code_and_ignores_comments_and_strings():
    assert violations('// PyList_New(0)\nauto s = "PyObject* Py_None";\nR"(PyExc_X())";') == []
    found = violations("x;\nhost::Ref r = host::Ref::steal(PyList_New (0));\nPyObject* p = Py_None;")
    assert [v.split(":")[0] for v in found] == ["line 2", "line 3", "line 3"]
    assert violations("throw host::PyError(e);") == []


@pytest.mark.parametrize("path", facade_sources(), ids=lambda p: str(p.relative_to(ROOT)))
def test_the_facade_calls_no_c_api(path):
    assert violations(path.read_text()) == []


def test_contracts_are_a_closed_list_of_named_calls():
    # A contract function that takes a name (or a name's text) is a door to any attribute.
    generic = re.compile(r"\(([^()]*\b(?:Name|KwNames)\s*&|[^()]*const char\*\s*name)")
    for header in sorted(CONTRACTS.glob("*.hpp")):
        code = code_of(header.read_text())
        assert not generic.search(code), f"{header.name} exposes a call by name"
    assert facade_sources(), "the facade sources were not found"
