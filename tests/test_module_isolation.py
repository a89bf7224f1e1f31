"""The module in more than one interpreter, and imported more than once in one. Subinterpreters
are refused with ImportError and leave every interpreter as it was; an import after
`del sys.modules[...]` gives a module whose namespace the C++ code reads. Each case runs in a
fresh interpreter (subinterpreters through the private module each version has)."""

import subprocess
import textwrap

import pytest
from test_interpreter_exit import INTERPRETERS, interpreter_env, usable

PRELUDE = """
import sys
try:
    import _xxsubinterpreters as si
except ImportError:
    try:
        import _interpreters as si  # its name from 3.13, where a failure is returned, not raised
    except ImportError:
        si = None

def in_subinterpreter(code, **config):
    if si is None:
        sys.exit(77)
    if si.__name__ == "_interpreters":
        interp = si.create("isolated" if config.get("isolated", True) else "legacy")
    else:
        interp = si.create(**config)
    try:
        failure = si.run_string(interp, code)
        return "ran" if failure is None else failure.formatted
    except getattr(si, "RunFailedError", ()) as e:
        return str(e)
    finally:
        si.destroy(interp)

# A whole session through the stream, with asyncio imported only now.
SESSION = '''
import asyncio
from unittest import mock
import talvo.runtime as rt
from talvo.runtime_async import AsyncTalvo

def run(self, cb, idle_timeout=None):
    yield from ("a", "b", "c")

async def main():
    with mock.patch.object(rt.Talvo, "run", run):
        t = AsyncTalvo(output_buffer_size=2)
        got = [f async for f in t.run()]
        await t.stop()
    assert got == ["a", "b", "c"], got
asyncio.run(main())
'''

def refused(outcome):
    assert "ImportError" in outcome and "subinterpreter" in outcome, outcome
"""

CASES = {
    "first-import-in-a-subinterpreter": """
        refused(in_subinterpreter("import talvo.runtime_async"))
        exec(SESSION, {})
    """,
    "subinterpreter-after-main": """
        import talvo.runtime_async
        legacy = {"isolated": False} if sys.version_info >= (3, 12) else {}
        refused(in_subinterpreter(SESSION, **legacy))
        refused(in_subinterpreter(SESSION))
        exec(SESSION, {})
    """,
    "import-after-del-sys-modules": """
        import asyncio
        from unittest import mock
        import talvo.runtime as rt
        import talvo.runtime_async as first
        old = first.AsyncTalvo(output_buffer_size=2)
        del sys.modules["talvo.runtime_async"]
        import talvo.runtime_async as second
        assert second is not first

        with mock.patch.object(second, "_peek_model_type", return_value="velda"):
            try:
                second._reject_if_velda_model("m.imx")
                raise AssertionError("the patched probe was not used")
            except second.VeldaModelNotSupported:
                pass
        with mock.patch.object(second, "logger") as logger:
            try:
                asyncio.run(second.AsyncTalvo().set_model())
            except ValueError:
                pass
        logger.error.assert_called_once_with("No model path provided for set_model")

        def run(self, cb, idle_timeout=None):
            yield from ("a", "b")
        async def drain(t):
            got = [f async for f in t.run()]
            await t.stop()
            return got
        with mock.patch.object(rt.Talvo, "run", run):  # the first module's class still works
            assert asyncio.run(drain(old)) == ["a", "b"]
            assert asyncio.run(drain(second.AsyncTalvo())) == ["a", "b"]
    """,
}


@pytest.mark.parametrize("python", sorted(INTERPRETERS))
@pytest.mark.parametrize("case", sorted(CASES))
def test_module_in_interpreters(python, case, tmp_path):
    python = INTERPRETERS[python]
    reason = usable(python)
    if reason:
        pytest.skip(reason)
    path = tmp_path / "case.py"
    path.write_text(PRELUDE + textwrap.dedent(CASES[case]) + "print('done', flush=True)\n")
    done = subprocess.run(
        [python, str(path)],
        env=interpreter_env(python),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    if done.returncode == 77:
        pytest.skip("no _xxsubinterpreters in this interpreter")
    assert (done.returncode, done.stdout.strip()) == (0, "done"), done.stderr[-3000:]
