"""The frame-pipeline harness: one fake renderer on ``Talvo.run`` driven by scripts, a mocked
module ``logger``, a queue that records who touches it, and an exact ledger of frames for the
load, fault and soak runs (bench/soak.py uses it too).

The renderer takes a script per run: a few frames (``frames``), an error (``raising``), a pace
(``paced``), frames let through one by one (``Gate``), or frames numbered across runs and
followed through the queue by a ``Ledger`` (``LedgerFrames``), so a run can show that nothing
was lost or delivered twice, not merely that the totals look right. Nothing here sleeps for
luck: tests wait for conditions with a deadline (``wait_until`` / ``until`` / ``settled``).
The fixtures built on these (``pipeline``, ``on_loop``) are in conftest.py.
"""

from __future__ import annotations

import asyncio
import gc
import itertools
import os
import queue
import sys
import threading
import time
import types
import weakref
from collections import Counter, namedtuple
from collections.abc import Callable, Iterator
from typing import Any
from unittest import mock

from talvo.api import VideoFrame
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo

# Under emulation (tools/arm64) everything is several times slower: TALVO_DEADLINE_SCALE widens it.
DEADLINE = 10.0 * float(os.environ.get("TALVO_DEADLINE_SCALE", "1"))
IMAGE = b"\x00\x00\x00"

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
    def __init__(self, number, runtime, callback, idle_timeout):
        self.number = number  # runs of this renderer so far, this one included
        self.runtime, self.callback, self.idle_timeout = runtime, callback, idle_timeout
        self.thread = threading.get_ident()


class Renderer:
    """Talvo.run replaced: each call takes the next script (the last one repeats) and, when
    ``keep`` is set, records the call and the threads that computed frames. The load and soak
    runs clear ``keep``: they count objects left per cycle, and a record per run would be one.
    """

    def __init__(self, *scripts, keep=True):
        self.scripts = list(scripts)
        self.keep = keep
        self.runs = 0
        self.calls: list[Call] = []
        self.threads: set[int] = set()  # every thread that computed a frame or started a run
        self.pulled = 0  # frames the producer took from the iteration

    def run(self, runtime, out_buffer_empty, idle_timeout=None):
        self.runs += 1
        call = Call(self.runs, runtime, out_buffer_empty, idle_timeout)
        result = self.scripts[min(self.runs, len(self.scripts)) - 1](call)
        if not self.keep:
            return result
        self.calls.append(call)
        self.threads.add(call.thread)
        return self._recorded(result) if hasattr(result, "__next__") else result

    def _recorded(self, iterator):
        for item in iterator:
            self.threads.add(threading.get_ident())
            self.pulled += 1
            yield item

    def patch(self):
        """The patcher that puts this renderer on ``Talvo.run`` (start/stop, or ``with``)."""
        renderer = self

        def run(runtime, out_buffer_empty, idle_timeout=None):  # a function, so it binds like one
            return renderer.run(runtime, out_buffer_empty, idle_timeout)

        return mock.patch.object(Talvo, "run", run)


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
        renderer = Renderer(*scripts)
        self._gates += [s for s in scripts if isinstance(s, Gate)]
        self._start(renderer.patch())
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


def stream_waits(runtime):
    """The runtime's stream is waiting for an item: in a blocking take on an executor worker (a
    recording queue tells), or registered for the producer's wake-up in loop mode."""
    if runtime._frame_wait == "loop":
        return bool(runtime._frame_waiters)
    return bool(runtime._frame_queue.get_threads)


def ready(model, **kwargs):
    """A runtime over the stand-in renderer, its model loaded by the base renderer's own loaders
    on this thread."""
    t = AsyncTalvo(**kwargs)
    Talvo.set_model(t, model)
    Talvo.load_data(t)
    t._video_loaded = True
    return t


async def collect(stream, limit=None):
    items = []
    async for item in stream:
        items.append(item)
        if limit is not None and len(items) == limit:
            break
    return items


# Where a frame can be: yielded by the renderer and held by the producer, queued, taken by a
# stream, then delivered; or drained by stop or start, or dropped to make room for an end marker.
# HELD, QUEUED and TAKEN are ends too when a run stops with the frame there (in the producer's
# hand, left in the queue, taken by a take whose task was cancelled).
NEW, HELD, QUEUED, TAKEN, DELIVERED, DRAINED, DROPPED = range(7)
STATE_NAMES = ("new", "held", "queued", "taken", "delivered", "drained", "dropped")

OUR_FRAME_TYPES = frozenset(
    {
        "talvo.runtime_async.coroutine",
        "talvo.runtime_async.coroutine_wrapper",
        "talvo.runtime_async.async_generator",
        "talvo.runtime_async.async_generator_request",
    }
)


class Ledger:
    """Where every frame is. Moves are checked: a frame taken twice or delivered twice shows up
    in ``faults``. Frames pass from thread to thread only through the queue's lock, so each
    frame's moves are ordered without a lock of our own."""

    def __init__(self, capacity: int) -> None:
        self.state = bytearray(capacity)
        self.faults: list[tuple[int, str, str]] = []
        self.puts_by_thread: Counter[int] = Counter()  # every item, markers and errors too
        self._loop_thread = threading.get_ident()

    def move(self, index: int, before: int, after: int) -> None:
        if self.state[index] != before:
            self.faults.append((index, STATE_NAMES[self.state[index]], STATE_NAMES[after]))
        self.state[index] = after

    def delivered(self, frame: VideoFrame) -> None:
        self.move(frame.index, TAKEN, DELIVERED)

    def watch(self, runtime: Any) -> None:
        """Follows the runtime's frame queue. Call on the loop thread: its takes there are
        drains (an emptiness test comes first) or, in loop mode, the stream's takes."""
        self._loop_thread = threading.get_ident()
        q = runtime._frame_queue
        put, get, empty = q._put, q._get, q.empty  # the storage steps run under the queue's lock
        draining = threading.local()

        def _put(item: Any) -> None:
            self.puts_by_thread[threading.get_ident()] += 1
            if isinstance(item, VideoFrame):
                self.move(item.index, HELD, QUEUED)
            put(item)

        def _get() -> Any:
            item = get()
            drain, draining.now = getattr(draining, "now", False), False
            if isinstance(item, VideoFrame):
                me = threading.current_thread()
                if me.ident == self._loop_thread:
                    after = DRAINED if drain else TAKEN  # stop's or start's drain; a loop-mode take
                elif me.name == "talvo-frame-producer":
                    after = DROPPED  # room made for the end marker
                else:
                    after = TAKEN  # a stream's take on an executor worker
                self.move(item.index, QUEUED, after)
            return item

        def is_empty() -> bool:
            result = empty()
            draining.now = not result
            return result

        q._put, q._get, q.empty = _put, _get, is_empty

    def counts(self) -> dict[str, int]:
        return {name: self.state.count(i) for i, name in enumerate(STATE_NAMES)}

    def rendered(self) -> int:
        """Frames the renderer has produced so far."""
        return len(self.state) - self.state.count(NEW)


class LedgerFrames:
    """A script for the load, fault and soak runs: frames as fast as the queue takes them,
    numbered across runs, each moved to HELD in the ledger as it is yielded.

    ``behaviour(run_number)`` may return a step function called before each frame with the
    frame's number in its run; it can raise, block, or return normally.
    """

    def __init__(
        self,
        ledger: Ledger,
        per_run: int | None = None,
        behaviour: Callable[[int], Callable[[int], None] | None] | None = None,
    ) -> None:
        self.ledger = ledger
        self.per_run = per_run
        self.behaviour = behaviour
        self.live: weakref.WeakSet[VideoFrame] = weakref.WeakSet()
        self.last_index_by_thread: dict[int, int] = {}
        self._numbers = itertools.count()

    def __call__(self, call: Call) -> Iterator[VideoFrame]:
        return self._frames(self.behaviour(call.number) if self.behaviour else None)

    def _frames(self, step: Callable[[int], None] | None) -> Iterator[VideoFrame]:
        n = 0
        while self.per_run is None or n < self.per_run:
            if step is not None:
                step(n)
            index = next(self._numbers)  # atomic: an abandoned producer may still be yielding
            if index >= len(self.ledger.state):
                return
            frame = VideoFrame(index, 1, 1, IMAGE)
            self.live.add(frame)
            self.ledger.move(index, NEW, HELD)
            self.last_index_by_thread[threading.get_ident()] = index
            n += 1
            yield frame

    def alive(self) -> int:
        """Frames of this script not yet freed."""
        gc.collect()
        return len(self.live)

    def installed(self):
        """The one renderer on ``Talvo.run`` with this script for every run, keeping no records."""
        return Renderer(self, keep=False).patch()


def producer_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name == "talvo-frame-producer"]


async def settled(condition: Callable[[], bool], timeout: float = 5.0) -> bool:
    """Lets the loop run until ``condition()`` holds (callbacks still queued on the loop can hold
    the last objects of a cancelled task); False after ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(0.001)
    return True


def our_frame_objects() -> list[object]:
    """Coroutines, async generators and their helper objects of ours still alive."""
    gc.collect()
    return [o for o in gc.get_objects() if f"{type(o).__module__}.{type(o).__qualname__}" in OUR_FRAME_TYPES]


def allocated_blocks() -> int:
    gc.collect()
    return sys.getallocatedblocks()
