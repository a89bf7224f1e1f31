"""A daemon producer still busy when the interpreter exits: the process must end cleanly, whatever
the producer is doing at that moment. Each case runs in fresh interpreters, several at once, with
the real logger, on the interpreter running the suite (tools/test runs it on every supported
one). TALVO_EXIT_PYTHON adds another interpreter that can import talvo; TALVO_EXIT_REPEATS sets
how many processes each case gets (3)."""

import os
import subprocess
import sys
import textwrap

import pytest
import talvo

REPEATS = int(os.environ.get("TALVO_EXIT_REPEATS", "3"))
PROCESS_TIMEOUT = 60
CRASH_SIGNS = ("terminate called", "FATAL", "Fatal Python error", "Segmentation fault", "Aborted")

PRELUDE = """
import asyncio, os, sys, threading, time
from unittest import mock
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo

entered = threading.Event()
in_del = threading.Event()

class SlowFrame:  # its release lets go of the GIL for a while (I/O, an mmap closing)
    def __del__(self):
        in_del.set()
        for _ in range(3000):
            time.sleep(0.001)

async def wait_for(predicate):
    deadline = time.monotonic() + 20
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit("the state under test was never reached")
        await asyncio.sleep(0.001)
"""

# Each case defines `run` (the renderer's frame iteration, or None for the stand-in renderer)
# and `main`, which returns once the producer is in the state under test.
CASES = {
    "waiting-for-room": """
        def run(self, cb, idle_timeout=None):
            return iter(range(10**9))

        async def main():
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(lambda: getattr(t, "_producer_frame_count", 0) >= 2)
    """,
    "error-waiting-for-room": """
        def run(self, cb, idle_timeout=None):
            yield "frame"
            raise ValueError("the error's put waits without a time limit")

        async def main():
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(lambda: t._frame_queue.full())
            await asyncio.sleep(0.05)
    """,
    "renderer-sleeping": """
        def run(self, cb, idle_timeout=None):
            entered.set()
            time.sleep(30)
            return iter(())

        async def main():
            t = AsyncTalvo()
            await t.start()
            await wait_for(entered.is_set)
    """,
    "renderer-computing": """
        def run(self, cb, idle_timeout=None):
            def frames():
                yield "frame"
                entered.set()
                n = 0
                while True:  # a frame that takes Python code forever
                    n += 1
            return frames()

        async def main():
            t = AsyncTalvo()
            await t.start()
            await wait_for(entered.is_set)
    """,
    "between-frames": """
        run = None

        async def main():
            t = AsyncTalvo(output_buffer_size=0)
            await t.start(lambda: True)  # 25 fps: mostly asleep until the next frame is due
            await wait_for(lambda: getattr(t, "_producer_frame_count", 0) >= 3)
    """,
    "stream-open": """
        run = None

        async def main():
            t = AsyncTalvo(output_buffer_size=6)
            taken = 0
            async for frame in t.run():
                taken += 1
                if taken == 3:
                    break
    """,
    "loop-mode-waking-at-exit": """
        idle = asyncio.new_event_loop()  # never closed: its self-pipe stays open to the end

        def run(self, cb, idle_timeout=None):
            def frames():
                while True:
                    # a waiter for every frame, so puts go on waking one while the program ends
                    self._frame_waiters.append(idle.create_future())
                    yield "frame"
                    time.sleep(0.0005)
            return frames()

        async def main():
            t = AsyncTalvo(frame_wait="loop", output_buffer_size=0)
            await t.start()
            await wait_for(lambda: t._frame_queue.qsize() > 10)
    """,
    "renderer-cleaning-up-after-stop": """
        def run(self, cb, idle_timeout=None):
            def frames():
                try:
                    while True:
                        yield "frame"
                finally:
                    entered.set()
                    end = time.perf_counter() + 5
                    while time.perf_counter() < end:
                        pass
            return frames()

        async def main():
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(lambda: t._frame_queue.full())
            t._stop_event.set()  # stop requested as the program ends
            await wait_for(entered.is_set)
    """,
}

# The producer (or `stop`) drops the last reference to a frame whose finalizer releases the GIL,
# and the interpreter exits meanwhile: the thread is ended inside that release.
CASES.update(
    {
        "frame-dropped-at-stop-check": """
        def run(self, cb, idle_timeout=None):
            self._stop_event.wait()
            yield SlowFrame()

        async def main():
            t = AsyncTalvo()
            await t.start()
            t._stop_event.set()
            await wait_for(in_del.is_set)
    """,
        "frame-dropped-waiting-for-room": """
        def run(self, cb, idle_timeout=None):
            yield "frame"
            yield SlowFrame()
            time.sleep(30)

        async def main():
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(lambda: getattr(t, "_producer_frame_count", 0) >= 2)
            t._stop_event.set()
            await wait_for(in_del.is_set)
    """,
        "oldest-frame-evicted-for-end-marker": """
        def run(self, cb, idle_timeout=None):
            yield SlowFrame()

        async def main():
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(in_del.is_set)
    """,
        "error-dropped-at-end-of-handler": """
        run = lambda self, cb, idle_timeout=None: iter(())

        async def main():
            t = AsyncTalvo()

            def put(item, block=True, timeout=None):  # the end marker's put fails, and is let go
                raise RuntimeError(SlowFrame())

            t._frame_queue.put = put
            await t.start()
            await wait_for(in_del.is_set)
    """,
        "waiting-for-room-after-a-subinterpreter": """
        # Once a subinterpreter has existed, PyGILState_Check() says "held" on every thread.
        def run(self, cb, idle_timeout=None):
            return iter(range(10**9))

        async def main():
            try:
                import _xxsubinterpreters as si
            except ImportError:  # 3.13
                import _interpreters as si
            si.destroy(si.create())
            t = AsyncTalvo(output_buffer_size=1)
            await t.start()
            await wait_for(lambda: getattr(t, "_producer_frame_count", 0) >= 2)
    """,
        "stop-drains-on-daemon-thread-loop": """
        def run(self, cb, idle_timeout=None):
            yield SlowFrame()
            self._stop_event.wait()

        async def stop_on_own_loop():
            t = AsyncTalvo(output_buffer_size=2)
            await t.start()
            await wait_for(lambda: not t._frame_queue.empty())
            await t.stop()

        async def main():
            threading.Thread(target=asyncio.run, args=(stop_on_own_loop(),), daemon=True).start()
            await wait_for(in_del.is_set)
    """,
    }
)

LAUNCH = """
def launch():
    if run is None:
        from talvo.engine.video_reader import pack_demo_model
        model = f"model-{os.getpid()}.imx"  # in the cases' own temporary folder
        pack_demo_model(model, width=16, height=16)
        patches = [mock.patch.object(Talvo, "_regenerate_transaction_id", lambda self: "x")]
        original_init = AsyncTalvo.__init__
        def init(self, **kwargs):
            original_init(self, **kwargs)
            Talvo.set_model(self, model)
            Talvo.load_data(self)
        patches.append(mock.patch.object(AsyncTalvo, "__init__", init))
    else:
        patches = [mock.patch.object(Talvo, "run", run)]
    for p in patches:
        p.start()
    asyncio.run(main())
    print("reached exit", flush=True)

launch()
"""


def script(case):
    return PRELUDE + textwrap.dedent(CASES[case]) + LAUNCH


def package_path():
    return os.path.dirname(os.path.dirname(os.path.abspath(talvo.__file__)))


def interpreter_env(python=sys.executable):
    """This interpreter sees the package this test imported; another one uses its own install
    (or the PYTHONPATH this run was given)."""
    env = dict(os.environ)
    if python == sys.executable:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_path(), env.get("PYTHONPATH")]))
    env.pop("PYTHONWARNINGS", None)
    return env


def usable(python):
    if not os.path.exists(python):
        return f"{python} is not installed"
    probe = subprocess.run(
        [python, "-c", "import loguru, talvo.runtime_async"],
        env=interpreter_env(python),
        capture_output=True,
        text=True,
        timeout=60,
    )
    if probe.returncode != 0:
        return f"{python} lacks the built module or its packages: {probe.stderr.strip()[-200:]}"
    return None


INTERPRETERS = {"this": sys.executable}
if os.environ.get("TALVO_EXIT_PYTHON"):
    INTERPRETERS["other"] = os.environ["TALVO_EXIT_PYTHON"]


@pytest.fixture(scope="module", params=sorted(INTERPRETERS))
def outcomes(request, tmp_path_factory):
    """Every case, REPEATS times, in concurrent fresh interpreters: case -> [(status, out, err)]."""
    python = INTERPRETERS[request.param]
    reason = usable(python)
    if reason:
        pytest.skip(reason)
    folder = tmp_path_factory.mktemp("exit")
    launched = []
    try:
        for case in sorted(CASES):
            path = folder / f"{case}.py"
            path.write_text(script(case))
            for _ in range(REPEATS):
                launched.append(
                    (
                        case,
                        subprocess.Popen(
                            [python, str(path)],
                            env=interpreter_env(python),
                            cwd=folder,
                            stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE,
                            text=True,
                        ),
                    )
                )
        results = {case: [] for case in CASES}
        for case, process in launched:
            try:
                out, err = process.communicate(timeout=PROCESS_TIMEOUT)
                results[case].append((process.returncode, out, err))
            except subprocess.TimeoutExpired:
                process.kill()
                out, err = process.communicate()
                results[case].append(("hung", out, err))
        return results
    finally:
        for _, process in launched:
            if process.poll() is None:
                process.kill()
                process.communicate()


@pytest.mark.parametrize("case", sorted(CASES))
def test_the_process_exits_cleanly(outcomes, case):
    assert len(outcomes[case]) == REPEATS
    for status, out, err in outcomes[case]:
        crash = [sign for sign in CRASH_SIGNS if sign in err]
        assert (status, crash) == (0, []), f"{case}: exit status {status}\n{err[-2000:]}"
        assert "reached exit" in out, err[-2000:]
