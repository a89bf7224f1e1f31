"""One whole session: create the runtime, load it, stream frames while speech is pushed in real
time, stop, and write what was rendered."""

from __future__ import annotations

import argparse
import asyncio
import difflib
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Any

from talvo.demo import audio as audio_mod
from talvo.demo import png

CHUNK_SECONDS = 0.1  # how much speech each push_audio carries
INTERRUPTED = 130  # the shell's status for a program ended by SIGINT (128 + 2)
SHEET_TILES = 48  # frames on the contact sheet, at most
COMMANDS = ("serve",)  # what `python -m talvo` runs instead of the demo (see talvo.__main__)


class DemoError(Exception):
    """A problem with the user's input: reported as one line, exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # one line, not a usage dump
        self.exit(2, f"talvo: error: {message} (see --help)\n")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = _Parser(
        prog="python -m talvo",
        usage="%(prog)s [options]  |  %(prog)s serve [options]",
        description=(
            "Render a talking avatar from speech audio with AsyncTalvo and write what it drew. "
            "'python -m talvo serve' serves it live to browsers instead (see its --help)."
        ),
    )
    p.add_argument("--model", metavar="PATH", help="Orrin .imx model (default: pack a demo model)")
    p.add_argument("--audio", metavar="FILE.wav", help="16-bit PCM mono WAV (default: built-in)")
    p.add_argument(
        "--out",
        metavar="DIR",
        default="talvo-demo",
        help="where to write frames.png, contact_sheet.png, summary.json",
    )
    p.add_argument("--seconds", type=float, default=3.0, help="length of the built-in speech (default 3.0)")
    p.add_argument(
        "--idle-timeout",
        type=float,
        default=1.0,
        help="idle seconds after the speech before the stream ends (default 1.0)",
    )
    p.add_argument(
        "--interrupt-after",
        type=float,
        metavar="SECONDS",
        help="interrupt the speech once this much of it has been shown (barge-in)",
    )
    p.add_argument("--scale", type=int, default=2, help="pixel scale of the pictures (default 2)")
    p.add_argument("--verbose", action="store_true", help="show the runtime's debug log")
    args, unknown = p.parse_known_args(argv)
    if unknown:
        # The demo takes no words: one that is close to a command was meant to be that command.
        near = difflib.get_close_matches(unknown[0], COMMANDS, n=1)
        if near:
            p.error(f"unknown command {unknown[0]!r}: did you mean 'python -m talvo {near[0]}'?")
        p.error(f"unrecognized arguments: {' '.join(unknown)}")
    if not 0.2 <= args.seconds <= 60:
        p.error("--seconds must be between 0.2 and 60")
    if not 0.1 <= args.idle_timeout <= 30:
        p.error("--idle-timeout must be between 0.1 and 30")
    if args.interrupt_after is not None and not 0 <= args.interrupt_after <= 60:
        p.error("--interrupt-after must be between 0 and 60")
    if not 1 <= args.scale <= 8:
        p.error("--scale must be between 1 and 8")
    return args


@dataclass
class Session:
    frames: list = field(default_factory=list)
    latencies: list = field(default_factory=list)
    max_depth: int = 0
    pushed: bytes = b""
    started: float = 0.0
    first: float = 0.0  # when the first frame arrived
    finished: float = 0.0
    speech_frames: int = 0
    shown_speech: float = 0.0  # seconds of speech among the frames so far
    interruption: Any = None  # what interrupt() returned
    interrupted_at: int | None = None  # how many frames came before it

    @property
    def fps(self) -> float:
        duration = self.finished - self.started
        return round(len(self.frames) / duration, 2) if duration > 0 else 0.0


def progress_line(frames: int, speech: int, fps: float, depth: str, latency_ms: float, columns: int) -> str:
    """The progress line, cut to fit `columns` so that it never wraps (a wrapped line cannot be
    rewritten in place)."""
    line = (
        f"frames {frames:5d}  fps {fps:5.1f}  speech {speech:4d}  queue {depth}  latency {latency_ms:5.1f} ms"
    )
    return line[: max(0, columns - 1)]


def _columns() -> int:
    """Width of the terminal the progress line goes to (stderr), else what shutil reports."""
    if "COLUMNS" not in os.environ:
        try:
            return os.get_terminal_size(sys.stderr.fileno()).columns
        except (OSError, ValueError):
            pass
    return shutil.get_terminal_size().columns


def _show(line: str) -> None:
    if sys.stderr.isatty():
        columns = _columns()
        sys.stderr.write("\r" + line.ljust(columns - 1)[: max(0, columns - 1)])
        sys.stderr.flush()


def _progress(s: Session, runtime, last: list[float]) -> None:
    now = time.perf_counter()
    if now - last[0] < 0.1 and s.frames:
        return
    last[0] = now
    # The rate between frames: the first arrives at once, and counting it over the few
    # milliseconds before it would show hundreds of fps.
    fps = (len(s.frames) - 1) / (now - s.first) if len(s.frames) > 1 and now > s.first else 0.0
    lat = s.latencies[-1] * 1000 if s.latencies else 0.0
    depth = f"{runtime._frame_queue.qsize()}/{runtime._frame_queue.maxsize}"
    _show(progress_line(len(s.frames), s.speech_frames, fps, depth, lat, _columns()))


async def _feed(runtime, pcm: bytes, rate: int, s: Session) -> None:
    """Push the speech in real-time chunks, then mark its end."""
    step = max(2, int(rate * CHUNK_SECONDS) * 2)
    t0 = time.perf_counter()
    for n, i in enumerate(range(0, len(pcm), step)):
        chunk = pcm[i : i + step]
        await runtime.push_audio(chunk, rate, i + step >= len(pcm))
        s.pushed += chunk
        delay = t0 + (n + 1) * CHUNK_SECONDS - time.perf_counter()
        if delay > 0:
            await asyncio.sleep(delay)
    await runtime.flush()


async def session(args: argparse.Namespace, model_path: str, pcm: bytes, rate: int) -> Session:
    from talvo.runtime_async import AsyncTalvo

    runtime = await AsyncTalvo.create(model_path=model_path)
    await runtime.load_data_async()
    s = Session()
    last = [0.0]
    feeder = None
    try:
        s.started = time.perf_counter()
        async for frame in runtime.run(idle_timeout=args.idle_timeout):
            received = time.perf_counter()
            if feeder is None:
                s.first = received
                feeder = asyncio.create_task(_feed(runtime, pcm, rate, s))
            s.frames.append(frame)
            s.speech_frames += bool(frame.speech)
            if frame.speech and frame.sample_rate:
                s.shown_speech += len(frame.audio) / 2 / frame.sample_rate
            if (
                args.interrupt_after is not None
                and s.interruption is None
                and s.shown_speech >= args.interrupt_after
            ):
                feeder.cancel()  # the rest of the speech is never pushed
                s.interruption = await runtime.interrupt()
                s.interrupted_at = len(s.frames)
            s.latencies.append(max(0.0, received - s.started - frame.timestamp))
            s.max_depth = max(s.max_depth, runtime._frame_queue.qsize())
            _progress(s, runtime, last)
        if feeder is not None and s.interruption is None:
            await feeder
    finally:
        if feeder is not None and not feeder.done():
            feeder.cancel()
        await runtime.stop()
        s.finished = time.perf_counter()
        # The last state, in the summary's own figures.
        lat = s.latencies[-1] * 1000 if s.latencies else 0.0
        depth = f"0/{runtime._frame_queue.maxsize}"
        _show(progress_line(len(s.frames), s.speech_frames, s.fps, depth, lat, _columns()))
        if sys.stderr.isatty():
            sys.stderr.write("\n")
    return s


def sheet_indices(count: int, tiles: int = SHEET_TILES) -> list[int]:
    """Which frames the contact sheet shows: at most `tiles`, evenly spread, the first and the
    last included."""
    if count <= tiles:
        return list(range(count))
    return [round(i * (count - 1) / (tiles - 1)) for i in range(tiles)]


def write_outputs(s: Session, out: str, factor: int) -> dict:
    os.makedirs(out, exist_ok=True)
    first = s.frames[0]
    w, h = first.width * factor, first.height * factor
    images = [png.scale(f.image, f.width, f.height, factor) for f in s.frames]
    anim = os.path.join(out, "frames.png")
    png.write_apng(anim, images, w, h, fps=25)
    shown = sheet_indices(len(s.frames))
    cut = s.interrupted_at
    if cut is not None and cut < len(s.frames) and cut not in shown:
        # Where it fell is always shown, in place of its nearest tile (never the first or last).
        nearest = min(range(1, len(shown) - 1), key=lambda k: abs(shown[k] - cut))
        shown[nearest] = cut
        shown.sort()
    tiles = [
        (
            images[i],
            "interrupted" if i == cut else s.frames[i].speech,
            f"#{s.frames[i].index} {s.frames[i].timestamp:.2f}s",
        )
        for i in shown
    ]
    sheet_rgb, sw, sh = png.contact_sheet(tiles, w, h)
    sheet = os.path.join(out, "contact_sheet.png")
    png.write_png(sheet, sheet_rgb, sw, sh)

    speech = [f for f in s.frames if f.speech]
    rendered = b"".join(f.audio for f in speech)
    duration = s.finished - s.started
    lat_ms = sorted(x * 1000 for x in s.latencies)
    summary = {
        "frames": len(s.frames),
        "speech_frames": len(speech),
        "idle_frames": len(s.frames) - len(speech),
        "seconds": round(duration, 3),
        "fps": s.fps,
        "latency_ms": {
            "p50": round(statistics.median(lat_ms), 2),
            "p99": round(lat_ms[min(len(lat_ms) - 1, int(0.99 * len(lat_ms)))], 2),
            "max": round(lat_ms[-1], 2),
        },
        "max_queue_depth": s.max_depth,
        "audio_bytes_pushed": len(s.pushed),
        "audio_bytes_rendered": len(rendered),
        # Interrupted, what was rendered is the start of what was pushed, cut at a frame.
        "audio_intact": rendered == s.pushed if cut is None else s.pushed.startswith(rendered),
        "returned_to_idle": bool(speech) and not s.frames[-1].speech,
        "outputs": {"animation": anim, "contact_sheet": sheet},
    }
    if s.interruption is not None:
        summary["interrupted"] = {
            "at_frame": s.frames[cut - 1].index + 1 if cut else 0,
            "played_seconds": round(s.interruption.played_seconds, 3),
            "dropped_seconds": round(s.interruption.dropped_seconds, 3),
        }
    with open(os.path.join(out, "summary.json"), "w") as f:
        json.dump(summary, f, indent=2)
    summary["outputs"]["summary"] = os.path.join(out, "summary.json")
    return summary


def _load_audio(args: argparse.Namespace) -> tuple[bytes, int]:
    if args.audio is None:
        return audio_mod.speech_like(args.seconds), audio_mod.SAMPLE_RATE
    if not os.path.isfile(args.audio):
        raise DemoError(f"{args.audio}: no such file")
    try:
        return audio_mod.read_wav(args.audio)
    except audio_mod.AudioError as e:
        raise DemoError(str(e)) from None


def _check_out(out: str) -> None:
    """Refuses an output folder that cannot be written, before any rendering is spent on it."""
    try:
        os.makedirs(out, exist_ok=True)
        with tempfile.TemporaryFile(dir=out):
            pass
    except OSError as e:
        raise DemoError(f"--out {out}: cannot write there ({e.strerror or e})") from None


def run(args: argparse.Namespace) -> dict:
    from talvo._commands import log_to_stderr

    level = "DEBUG" if args.verbose else "WARNING"
    log_to_stderr(level, runtime_level=level)
    _check_out(args.out)
    pcm, rate = _load_audio(args)
    with tempfile.TemporaryDirectory(prefix="talvo-demo-") as tmp:
        model = args.model
        if model is None:
            from talvo.engine.video_reader import pack_demo_model

            model = os.path.join(tmp, "demo.imx")
            pack_demo_model(model)
        elif not os.path.isfile(model):
            raise DemoError(f"{model}: no such model file")
        s = asyncio.run(session(args, model, pcm, rate))
    if not s.frames:
        raise DemoError("the renderer produced no frames")
    return write_outputs(s, args.out, args.scale)


def main(argv: list[str] | None = None) -> int:
    from talvo.exceptions import TalvoError

    args = parse_args(argv)
    try:
        summary = run(args)
    except KeyboardInterrupt:
        # asyncio.run has cancelled the session, which stopped the runtime on its way out.
        print("talvo: interrupted", file=sys.stderr)
        return INTERRUPTED
    except DemoError as e:
        print(f"talvo: error: {e}", file=sys.stderr)
        return 1
    except (TalvoError, ValueError, OSError) as e:  # a bad or unsupported model, for one
        print(f"talvo: error: {e}", file=sys.stderr)
        return 1
    lat = summary["latency_ms"]
    print(
        f"rendered {summary['frames']} frames ({summary['speech_frames']} speech, "
        f"{summary['idle_frames']} idle) in {summary['seconds']} s at {summary['fps']:.1f} fps"
    )
    print(
        f"latency p50 {lat['p50']} ms, p99 {lat['p99']} ms, max {lat['max']} ms; "
        f"max queue depth {summary['max_queue_depth']}"
    )
    print(
        f"audio pushed {summary['audio_bytes_pushed']} bytes, rendered "
        f"{summary['audio_bytes_rendered']} bytes, intact: {summary['audio_intact']}"
    )
    if "interrupted" in summary:
        cut = summary["interrupted"]
        print(
            f"interrupted at frame {cut['at_frame']} after {cut['played_seconds']} s of speech; "
            f"dropped {cut['dropped_seconds']} s"
        )
    for name, path in summary["outputs"].items():
        print(f"{name}: {path}")
    return 0
