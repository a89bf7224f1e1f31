"""Fakes for the frame-pipeline tests, installed the way a user's test would: a scripted renderer
on ``Talvo.run``, a mocked module ``logger``, and a queue that records who touches it.

Nothing here sleeps for luck: tests wait for conditions with a deadline (``wait_until`` /
``until``) and drive the renderer step by step with a ``Gate``.
"""

from __future__ import annotations

import asyncio
import queue
import threading
import time
import types
from collections import namedtuple
from unittest import mock

import pytest
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo

DEADLINE = 10.0

Frame = namedtuple("Frame", "run index")


def wait_until(predicate, what="condition", timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.002)


async def until(predicate, what="condition", timeout=DEADLINE):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        await asyncio.sleep(0.002)


def frames(n, run="a"):
    """A script: n frames at once, then the end."""
    return lambda call: (Frame(run, i) for i in range(n))


def raising(error, after=0, run="a"):
    """A script: `after` frames, then `error` raised from the iteration."""
    def script(call):
        yield from (Frame(run, i) for i in range(after))
        raise error
    return script


def failing(error):
    """A script whose run() raises before any iteration exists."""
    def script(call):
        raise error
    return script


def paced(period, run="a", count=None):
    """A script: frames every `period` seconds (a renderer's pace), forever or `count` of them."""
    def script(call):
        i = 0
        while count is None or i < count:
            time.sleep(period)
            yield Frame(run, i)
            i += 1
    return script


def returning(value):
    return lambda call: value


class Gate:
    """A script whose frames are computed only when the test lets them through.

    `computing` is set while the renderer waits for the next permit, so a test knows the
    producer is inside the renderer. `close()` ends the iteration (also at teardown).
    """

    def __init__(self, run="a"):
        self.run = run
        self.produced = 0
        self.computing = threading.Event()
        self._permits = threading.Semaphore(0)
        self._closed = False

    def release(self, n=1):
        self._permits.release(n)

    def close(self):
        self._closed = True
        self._permits.release(1000)

    def __call__(self, call):
        return self._frames()

    def _frames(self):
        while True:
            self.computing.set()
            self._permits.acquire()
            self.computing.clear()
            if self._closed:
                return
            yield Frame(self.run, self.produced)
            self.produced += 1


class Call:
    def __init__(self, runtime, callback, idle_timeout):
        self.runtime, self.callback, self.idle_timeout = runtime, callback, idle_timeout
        self.thread = threading.get_ident()


class Renderer:
    """Talvo.run replaced: each call takes the next script and records where things ran."""

    def __init__(self, scripts):
        self.scripts = list(scripts)
        self.calls: list[Call] = []
        self.threads: set[int] = set()  # every thread that computed a frame or started a run
        self.pulled = 0  # frames the producer took from the iteration

    def run(self, runtime, out_buffer_empty, idle_timeout=None):
        call = Call(runtime, out_buffer_empty, idle_timeout)
        self.calls.append(call)
        self.threads.add(call.thread)
        result = self.scripts[min(len(self.calls), len(self.scripts)) - 1](call)
        return self._recorded(result) if hasattr(result, "__next__") else result

    def _recorded(self, iterator):
        for item in iterator:
            self.threads.add(threading.get_ident())
            self.pulled += 1
            yield item


class RecordingQueue(queue.Queue):
    """The frame queue, remembering which threads waited on it and which items went in."""

    def __init__(self, maxsize=0):
        super().__init__(maxsize)
        self.get_threads: set[int] = set()  # blocking takes only (a drain never waits)
        self.put_threads: set[int] = set()
        self.accepted: list = []

    def get(self, block=True, timeout=None):
        if block:
            self.get_threads.add(threading.get_ident())
        return super().get(block, timeout)

    def put(self, item, block=True, timeout=None):
        if block:
            self.put_threads.add(threading.get_ident())
        super().put(item, block, timeout)

    def _put(self, item):
        self.accepted.append(item)
        super()._put(item)


def items(q):
    with q.mutex:
        return list(q.queue)


class RecordingThread(threading.Thread):
    """threading.Thread as the module sees it: remembers how it was made and joined."""

    made: list[RecordingThread] = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.init_kwargs = kwargs
        self.join_threads: list[int] = []
        self.joining = threading.Event()
        self.runtime_thread_at_start = None
        RecordingThread.made.append(self)

    def start(self):
        target = self.init_kwargs.get("target")
        self.runtime_thread_at_start = getattr(getattr(target, "__self__", None), "_thread", None)
        super().start()

    def join(self, timeout=None):
        self.join_threads.append(threading.get_ident())
        self.joining.set()
        super().join(self.join_timeout(timeout))

    def join_timeout(self, timeout):
        return timeout


class QuickJoinThread(RecordingThread):
    """A producer thread whose bounded join gives up at once instead of after 5 s."""

    def join_timeout(self, timeout):
        return None if timeout is None else min(timeout, 0.05)


def threading_with(thread_class):
    """The module's `threading` global, with `Thread` replaced (nothing else is touched)."""
    names = {k: getattr(threading, k) for k in dir(threading) if not k.startswith("__")}
    return types.SimpleNamespace(**{**names, "Thread": thread_class})


class Log:
    """The module logger replaced by a mock; `lines` are (level, message) in call order."""

    def __init__(self, logger):
        self.logger = logger

    @property
    def lines(self):
        return [(c[0], c[1][0]) for c in self.logger.mock_calls if c[0] in ("debug", "warning", "error")]

    def texts(self, level):
        return [text for lvl, text in self.lines if lvl == level]


class Pipeline:
    """What a test needs around one or more runtimes, and their clean-up. Runtimes are built in
    the test's frame-wait mode, so every pipeline test runs in both."""

    def __init__(self, frame_wait="executor"):
        self.frame_wait = frame_wait
        self._patches = []
        self._runtimes: list[AsyncTalvo] = []
        self._gates: list[Gate] = []
        self.log = Log(self._start(mock.patch("talvo.runtime_async.logger")))

    def _start(self, patcher):
        value = patcher.start()
        self._patches.append(patcher)
        return value

    @property
    def on_loop(self):
        return self.frame_wait == "loop"

    def runtime(self, recording=False, **kwargs) -> AsyncTalvo:
        runtime = AsyncTalvo(**{"frame_wait": self.frame_wait, **kwargs})
        if recording:
            runtime._frame_queue = RecordingQueue(runtime._frame_queue.maxsize)
        self._runtimes.append(runtime)
        return runtime

    def patch_threading(self, thread_class=RecordingThread):
        RecordingThread.made.clear()
        self._start(mock.patch("talvo.runtime_async.threading", threading_with(thread_class)))

    def render(self, *scripts) -> Renderer:
        renderer = Renderer(scripts)
        self._gates += [s for s in scripts if isinstance(s, Gate)]
        def run(runtime, out_buffer_empty, idle_timeout=None):  # a function, so it binds like one
            return renderer.run(runtime, out_buffer_empty, idle_timeout)

        self._start(mock.patch.object(Talvo, "run", run))
        return renderer

    def close(self):
        for gate in self._gates:
            gate.close()
        for runtime in self._runtimes:
            runtime._stop_event.set()
            thread = runtime._thread
            if thread is not None and thread.is_alive():
                thread.join(DEADLINE)
        while self._patches:
            self._patches.pop().stop()


@pytest.fixture(params=["executor", "loop"])
def pipeline(request):
    p = Pipeline(request.param)
    yield p
    p.close()


def stream_waits(runtime):
    """The runtime's stream is waiting for an item: in a blocking take on an executor worker (a
    recording queue tells), or registered for the producer's wake-up in loop mode."""
    if runtime._frame_wait == "loop":
        return bool(runtime._frame_waiters)
    return bool(runtime._frame_queue.get_threads)


async def collect(stream, limit=None):
    items = []
    async for item in stream:
        items.append(item)
        if limit is not None and len(items) == limit:
            break
    return items
