"""Synchronous renderer: turns queued speech audio into paced frames of a talking face.

Threads: producers push ``VideoControl`` messages from an event loop through
``InputBuffer.aput``; ``Talvo.run`` is iterated on one renderer thread, which takes
input without blocking and yields one frame per 1/25 s tick.

Utterances: audio accumulates until a ``VideoControl(end_of_speech=True)`` closes it.
Every speech frame carries exactly ``sample_rate // 25`` samples, except the last one
of an utterance, which carries the remainder as-is (no padding), so the speech frames'
audio concatenates to exactly the pushed audio. ``end_of_speech`` is set on the frame
with the last audio when the end is already queued; when it arrives after that audio
was shown, a closing speech frame with no audio carries the flag instead.
``last_chunk`` is informational only. ``interrupt()`` ends the current utterance at once: its
audio not yet shown and the speech still queued are dropped, and the next frame is idle (also when
the output side says it is busy), with speech again from the tick after it.
"""

from __future__ import annotations

import asyncio
import math
import os
import queue
import threading
import time
import uuid
from collections import deque
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from loguru import logger

from talvo import _face
from talvo.api import VideoControl, VideoFrame
from talvo.engine.video_reader import MODEL_DATA_NAME, ImxContainer, ImxFormatError
from talvo.exceptions import VeldaModelNotSupported

FPS = 25
DEFAULT_SAMPLE_RATE = 16000
DEFAULT_SIDE = 96
DEFAULT_MOUTH_LEVELS = 8
MAX_MOUTH_LEVELS = 64
SUPPORTED_MODEL_TYPES = ("orrin",)


def _check_count(name: str, value: object, minimum: int | None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if minimum is not None and value < minimum:
        raise ValueError(f"{name} must be >= {minimum}, got {value}")
    return value


class _Waiter:
    __slots__ = ("item", "loop", "future", "accepted")

    def __init__(self, item: Any, loop: asyncio.AbstractEventLoop, future: asyncio.Future) -> None:
        self.item, self.loop, self.future, self.accepted = item, loop, future, False


def _wake(future: asyncio.Future) -> None:
    if not future.done():
        future.set_result(None)


def _without_audio(item: Any, default_rate: int) -> tuple[float, Any]:
    """(seconds of audio in ``item``, what is left of it: None, or a message without audio)."""
    if not isinstance(item, VideoControl) or not item.audio:
        return 0.0, item
    seconds = len(item.audio) / 2 / (item.sample_rate or default_rate)
    if item.end_of_speech:
        return seconds, VideoControl(last_chunk=item.last_chunk, end_of_speech=True)
    return seconds, None


class InputBuffer:
    """Thread-safe FIFO from event-loop producers to the renderer thread.

    Bounded by ``maxsize`` (0 = unbounded). A full buffer parks ``aput`` callers on
    their loop, in arrival order; the consumer moves a parked item in as soon as a
    slot frees and wakes its caller with ``call_soon_threadsafe``. A cancelled
    ``aput`` that was not yet accepted leaves nothing behind; one cancelled after
    acceptance still re-raises, with its item kept.
    """

    def __init__(self, maxsize: int = 0) -> None:
        self._maxsize = _check_count("input_buffer_size", maxsize, 0)
        self._lock = threading.Lock()
        self._items: deque[Any] = deque()
        self._waiters: deque[_Waiter] = deque()
        self._loop: asyncio.AbstractEventLoop | None = None

    @property
    def maxsize(self) -> int:
        return self._maxsize

    @property
    def loop(self) -> asyncio.AbstractEventLoop | None:
        return self._loop

    def set_loop(self, loop: asyncio.AbstractEventLoop | None) -> None:
        """Record the producers' loop; ``aput`` always parks on the loop it runs on."""
        self._loop = loop

    def __len__(self) -> int:
        with self._lock:
            return len(self._items)

    def _has_room(self) -> bool:
        return not self._maxsize or len(self._items) < self._maxsize

    def _admit_locked(self) -> None:
        while self._waiters and self._has_room():
            waiter = self._waiters.popleft()
            waiter.accepted = True
            self._items.append(waiter.item)
            try:
                waiter.loop.call_soon_threadsafe(_wake, waiter.future)
            except RuntimeError:  # loop already closed: nobody is left to wake
                pass

    async def aput(self, item: Any) -> None:
        """Complete once the buffer has accepted ``item``; never blocks the loop."""
        loop = asyncio.get_running_loop()
        if self._loop is None:
            self._loop = loop
        with self._lock:
            if not self._waiters and self._has_room():
                self._items.append(item)
                return
            waiter = _Waiter(item, loop, loop.create_future())
            self._waiters.append(waiter)
        try:
            await waiter.future
        except asyncio.CancelledError:
            with self._lock:
                if not waiter.accepted:
                    self._waiters.remove(waiter)
                    self._admit_locked()
            raise

    def put_nowait(self, item: Any) -> None:
        """Accept ``item`` now, or raise ``queue.Full`` (also while ``aput`` callers wait)."""
        with self._lock:
            if self._waiters or not self._has_room():
                raise queue.Full
            self._items.append(item)

    def get_nowait(self) -> Any:
        """Take the oldest item, or raise ``queue.Empty``."""
        with self._lock:
            if not self._items:
                raise queue.Empty
            item = self._items.popleft()
            self._admit_locked()
            return item

    def drop_speech(self, default_rate: int) -> float:
        """Drop the audio of every queued or parked message; seconds dropped.

        A message that also ends an utterance keeps its flags; every other message stays as
        it is, in its place. Parked callers whose audio is dropped are woken: their put is
        complete, only its content is gone.
        """
        dropped = 0.0
        with self._lock:
            kept: deque[Any] = deque()
            for item in self._items:
                seconds, item = _without_audio(item, default_rate)
                dropped += seconds
                if item is not None:
                    kept.append(item)
            self._items = kept
            parked: deque[_Waiter] = deque()
            for waiter in self._waiters:
                seconds, waiter.item = _without_audio(waiter.item, default_rate)
                dropped += seconds
                if waiter.item is not None:
                    parked.append(waiter)
                    continue
                waiter.accepted = True
                try:
                    waiter.loop.call_soon_threadsafe(_wake, waiter.future)
                except RuntimeError:  # loop already closed: nobody is left to wake
                    pass
            self._waiters = parked
            self._admit_locked()
        return dropped

    def drain(self) -> list[Any]:
        """Take every queued item; parked callers then fill the freed slots."""
        with self._lock:
            items = list(self._items)
            self._items.clear()
            self._admit_locked()
            return items


@dataclass(frozen=True, eq=False)
class VideoGraph:
    """What an opened model is: where it lives and how its frames are drawn."""

    path: str
    model_type: str
    width: int
    height: int
    mouth_levels: int
    manifest: dict[str, Any] | None
    identity: tuple[int, int, int, int]


def _describe(container: ImxContainer) -> VideoGraph:
    manifest = container.metadata
    meta = manifest or {}
    model_type = meta.get("model_type", SUPPORTED_MODEL_TYPES[0])
    if model_type not in SUPPORTED_MODEL_TYPES:
        raise VeldaModelNotSupported(
            f"{container.path}: model type {model_type!r} is not supported "
            f"(supported: {', '.join(SUPPORTED_MODEL_TYPES)})"
        )
    try:
        width = _face.check_side("width", meta.get("width", DEFAULT_SIDE))
        height = _face.check_side("height", meta.get("height", DEFAULT_SIDE))
        levels = _check_count("mouth_levels", meta.get("mouth_levels", DEFAULT_MOUTH_LEVELS), 2)
        if levels > MAX_MOUTH_LEVELS:
            raise ValueError(f"mouth_levels must be <= {MAX_MOUTH_LEVELS}, got {levels}")
    except (TypeError, ValueError) as exc:
        raise ImxFormatError(f"{container.path}: bad manifest: {exc}") from None
    if MODEL_DATA_NAME not in container:
        raise ImxFormatError(f"{container.path}: model has no {MODEL_DATA_NAME!r} entry")
    if container.entry_size(MODEL_DATA_NAME) != width * height * 3:
        raise ImxFormatError(
            f"{container.path}: {MODEL_DATA_NAME!r} holds {container.entry_size(MODEL_DATA_NAME)} "
            f"bytes, expected {width * height * 3} for {width}x{height} RGB"
        )
    return VideoGraph(
        os.path.abspath(container.path), model_type, width, height, levels, manifest, container.identity
    )


@dataclass(frozen=True, eq=False)
class _LoadedModel:
    graph: VideoGraph
    mouths: tuple[bytes, ...]  # index = mouth level


class _Utterances:
    """Per-run speech state: audio taken from the buffer but not yet shown."""

    def __init__(self) -> None:
        self._lock = threading.Lock()  # cleanup() may clear from the loop thread
        self._woken = threading.Event()  # set by interrupt(): the tick's wait ends at once
        self._reset()

    def clear(self) -> None:
        with self._lock:
            self._reset()

    def _reset(self) -> None:
        self._interrupts = self._seen_interrupts = 0  # interrupts so far; as of the last frame
        self._pending = bytearray()
        self._rate = DEFAULT_SAMPLE_RATE
        self._open = False  # audio of the current utterance has been taken
        self._ended = False  # its end is known; no more input until it is shown
        self._held: Any = None  # taken, but belongs to the next utterance

    def interrupt(self, source: InputBuffer) -> float:
        """Drop the unshown audio and the queued speech input; seconds dropped."""
        with self._lock:
            dropped = len(self._pending) / 2 / self._rate
            held = self._held
            self._pending = bytearray()
            self._open = self._ended = False
            self._held = None
            if held is not None:
                seconds, held = _without_audio(held, self._rate)
                dropped += seconds
            dropped += source.drop_speech(self._rate)
            self._interrupts += 1
        self._woken.set()
        return dropped

    def _frame_bytes(self) -> int:
        return max(1, self._rate // FPS) * 2

    def wait(self, seconds: float) -> None:
        """Wait for the next tick, or less: an interrupt shows its idle frame at once."""
        if self._woken.wait(seconds):
            self._woken.clear()

    def interrupted(self) -> bool:
        """An interrupt came since the last idle frame: the next frame is an idle one."""
        with self._lock:
            return self._interrupts != self._seen_interrupts

    def idle_shown(self) -> None:
        """An idle frame is handed out now: speech may follow from the next tick on."""
        with self._lock:
            self._seen_interrupts = self._interrupts

    def feed(self, source: InputBuffer) -> bool:
        """Take input until a frame beyond the current one is known; True if anything came."""
        took = False
        # One item of look-ahead past a full frame tells whether that frame ends the utterance.
        with self._lock:
            while not self._ended and len(self._pending) <= self._frame_bytes():
                item, self._held = self._held, None
                if item is None:
                    try:
                        item = source.get_nowait()
                    except queue.Empty:
                        break
                    took = True
                self._accept(item)
        return took

    def _accept(self, item: Any) -> None:
        if not isinstance(item, VideoControl):
            logger.debug("renderer input: ignoring {!r}", type(item).__name__)
            return
        if item.audio:
            rate = item.sample_rate or self._rate
            if self._pending and rate != self._rate:
                # A rate change closes the utterance so no frame mixes two rates.
                self._held, self._ended = item, True
                return
            self._rate = rate
            self._pending += item.audio
            self._open = True
        if item.end_of_speech and self._open:
            self._ended = True

    def next_slice(self, flush: bool = False) -> tuple[bytes, bool, int] | None:
        """(audio, end_of_speech, rate) for the next speech frame, or None for idle.

        ``flush`` closes an unfinished utterance, showing whatever audio is left.
        """
        with self._lock:
            # After an interrupt, no speech until a frame without it has been handed out, not
            # even audio pushed after the call: a driver that cannot tell whether the call fell
            # before or after the audio was cut (it sees only the frames) may then drop every
            # speech frame it asked for before the call, and lose nothing.
            if self._interrupts != self._seen_interrupts:
                return None
            ending = self._ended or flush
            size = self._frame_bytes()
            if self._pending and (len(self._pending) >= size or ending):
                audio = bytes(self._pending[:size])
                del self._pending[:size]
                final = ending and not self._pending
                if final:
                    self._open = self._ended = False
                return audio, final, self._rate  # no interrupt since the last frame
            if ending and self._open:
                self._open = self._ended = False
                return b"", True, self._rate
            self._ended = False
            return None


class Talvo:
    """A small real renderer: one model, one run at a time, 25 frames per second.

    ``num_threads`` and ``batch_workers`` are kept for the engine that replaces this
    one; drawing here is cheap enough for the renderer thread alone.
    """

    FPS = FPS

    def __init__(
        self,
        model_path: str | os.PathLike[str] | None = None,
        input_buffer_size: int = 0,
        num_threads: int = 0,
        batch_workers: int = 1,
    ) -> None:
        self._model_path = model_path  # stored only; nothing opens before set_model()
        self.input_buffer_size = _check_count("input_buffer_size", input_buffer_size, 0)
        # 0 = single-threaded, >0 that many threads, <0 automatic.
        self.num_threads = _check_count("num_threads", num_threads, None)
        self.batch_workers = _check_count("batch_workers", batch_workers, 1)
        self._input_buffer = InputBuffer(input_buffer_size)
        self.video_graph: VideoGraph | None = None
        self._video_loaded = False
        self._model_hash: str | None = None
        self.transaction_id = ""
        self._lock = threading.Lock()
        self._container: ImxContainer | None = None
        self._loaded: _LoadedModel | None = None
        self._run_state: _Utterances | None = None

    def _regenerate_transaction_id(self) -> str:
        self.transaction_id = uuid.uuid4().hex
        return self.transaction_id

    def set_model(self, model_path: str | os.PathLike[str] | None) -> VideoGraph:
        """Open a model. Switching to a different file drops the loaded data; on any
        error the previous model stays in place."""
        if model_path is None:
            raise ValueError("no model path given")
        container = ImxContainer(model_path)
        graph = _describe(container)
        with self._lock:
            current = self.video_graph
            if current is not None and current.identity == graph.identity:
                return current  # same file, unchanged: keep what is loaded
            self._container, self.video_graph, self._loaded = container, graph, None
            self._video_loaded = False
            self._model_path = model_path
            self._model_hash = "{:x}-{:x}-{:x}-{:x}".format(*graph.identity)
        logger.debug("model set: {} ({}x{})", graph.path, graph.width, graph.height)
        return graph

    def load_data(self) -> None:
        """Read the model's base image and pre-render every mouth level."""
        with self._lock:
            graph, container = self.video_graph, self._container
        if graph is None or container is None:
            raise RuntimeError("load_data() needs a model: call set_model() first")
        base = container.read_entry(MODEL_DATA_NAME)
        mouths = tuple(_face.render_mouths(base, graph.width, graph.height, graph.mouth_levels))
        with self._lock:
            if self.video_graph is not graph:
                raise RuntimeError("the model changed while its data was loading")
            self._loaded = _LoadedModel(graph, mouths)
            self._video_loaded = True
        logger.debug("model data loaded: {} mouth levels", len(mouths))

    def run(
        self, out_buffer_empty: Callable[[], bool], idle_timeout: float | None = None
    ) -> Iterator[VideoFrame]:
        """Frames paced at 25 fps, to be iterated on one thread.

        ``out_buffer_empty`` is asked only on idle ticks: an idle frame is produced only
        when the output side has drained, so idle frames never pile up behind a slow
        consumer; speech frames are always produced. ``idle_timeout`` ends the run
        after that many seconds without input or speech (None: never).
        """
        if not callable(out_buffer_empty):
            raise TypeError("out_buffer_empty must be callable")
        if idle_timeout is not None:
            if isinstance(idle_timeout, bool) or not isinstance(idle_timeout, (int, float)):
                raise TypeError(f"idle_timeout must be a number or None, not {type(idle_timeout).__name__}")
            if not idle_timeout >= 0 or math.isinf(idle_timeout):
                raise ValueError(f"idle_timeout must be finite and >= 0, got {idle_timeout}")
        with self._lock:
            loaded = self._loaded
            if loaded is None or loaded.graph is not self.video_graph:
                raise RuntimeError(f"run() needs loaded model data: {self._load_hint()}")
            state = self._run_state = _Utterances()
        return self._frames(loaded, state, out_buffer_empty, idle_timeout)

    def interrupt(self) -> float:
        """Stop the current utterance now; safe from any thread while ``run`` is iterated.

        Drops the speech input still queued (parked producers are released) and the audio
        taken but not yet shown, so the next frame is idle or shows audio pushed after this
        call; other messages stay queued. Returns the seconds of speech dropped.
        """
        with self._lock:
            state = self._run_state
        if state is not None:
            return state.interrupt(self._input_buffer)
        return self._input_buffer.drop_speech(DEFAULT_SAMPLE_RATE)

    def _load_hint(self) -> str:
        # Name the calls the user makes: an asyncio subclass loads with load_data_async().
        if callable(getattr(type(self), "load_data_async", None)):
            return "await create() (or set_model()) and load_data_async() first"
        return "call set_model() and load_data() first"

    def cleanup(self) -> None:
        """Drop the current run's untold audio; input still queued stays for the next run."""
        with self._lock:
            state, self._run_state = self._run_state, None
        if state is not None:
            state.clear()

    def _frames(
        self,
        loaded: _LoadedModel,
        state: _Utterances,
        out_buffer_empty: Callable[[], bool],
        idle_timeout: float | None,
    ) -> Iterator[VideoFrame]:
        graph, mouths, period = loaded.graph, loaded.mouths, 1.0 / FPS
        # A driver on another thread (the async front end) asks its iteration to end through
        # this event. Idle and told the output side is busy, this loop yields nothing, so a
        # driver that checks only between frames would wait for ever: check on every tick.
        stop = getattr(self, "_stop_event", None)
        start = deadline = last_activity = time.perf_counter()
        index = 0
        while True:
            now = time.perf_counter()
            if deadline > now:
                state.wait(deadline - now)
                now = time.perf_counter()
            elif now - deadline > period:
                deadline = now  # fell behind: resume from now rather than burst
            if stop is not None and stop.is_set():
                return
            if state.feed(self._input_buffer):
                last_activity = now
            piece = state.next_slice()
            timed_out = piece is None and idle_timeout is not None and now - last_activity >= idle_timeout
            if timed_out:
                piece = state.next_slice(flush=True)
            if piece is not None:
                audio, end, rate = piece
                level = _face.mouth_level(audio, len(mouths)) if audio else 0
                yield VideoFrame(
                    index, graph.width, graph.height, mouths[level], audio, end, True, rate, deadline - start
                )
                index += 1
                last_activity = now
            elif not timed_out and (state.interrupted() or out_buffer_empty()):
                state.idle_shown()
                yield VideoFrame(
                    index, graph.width, graph.height, mouths[0], b"", False, False, 0, deadline - start
                )
                index += 1
            if timed_out:
                return
            deadline += period
