"""`--workers N`: N processes serve one port, each with its own event loop, sessions and
`--max-sessions`; the kernel spreads new connections over them (SO_REUSEPORT).

The supervisor (the process started by the user) holds the port, starts the workers as
`python -m talvo serve ... --worker-of FD:PID`, restarts one that dies, and forwards SIGTERM
(drain) and SIGINT (stop) to them. A worker ends with its supervisor however that ends: the
kernel sends it SIGINT when the supervisor dies (Linux), and it also watches a pipe whose write
end only the supervisor holds, which reads end-of-file once the supervisor is gone.
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import os
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable

from loguru import logger

PR_SET_PDEATHSIG = 1
RESTART_PAUSE = 1.0  # a worker that dies this soon after starting is restarted after this pause
# A worker whose supervisor is gone stops as on Ctrl-C; if that stop hangs, it exits anyway.
ORPHAN_GRACE = 20.0


class WorkerError(Exception):
    """A worker could not start; its own one-line error is already on stderr."""

    def __init__(self, status: int) -> None:
        super().__init__(f"a worker failed to start (status {status})")
        self.status = status


def reserve_port(host: str, port: int) -> tuple[socket.socket, int]:
    """A socket bound to host:port with SO_REUSEPORT but not listening: it fixes the port (0
    picks one) for every worker, restarted ones included, and takes no connection itself."""
    family, kind, proto, _, address = socket.getaddrinfo(
        host or None, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE
    )[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(address)
    except OSError:
        sock.close()
        raise
    return sock, sock.getsockname()[1]


class Supervisor:
    def __init__(
        self, count: int, command: Callable[[str], list[str]], env: dict[str, str], metrics_dir: str
    ) -> None:
        self.count = count
        self._command = command  # the worker's command line, given its --worker-of value
        self._env = env
        self._metrics_dir = metrics_dir
        self._procs: dict[int, asyncio.subprocess.Process] = {}
        self._signal: int | None = None  # forwarded to every worker; no restart once set
        self._read_fd, self._write_fd = os.pipe()  # the write end lives and dies with us

    async def run(self, ready: Callable[[], None]) -> int:
        """Start the workers, call `ready` once all listen, and return once all have ended after
        a signal (0), or the status of a worker that could not start."""
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, self._forward, sig)
        slots: list[asyncio.Task[None]] = []
        try:
            # The first alone: a bad model or option is reported once, not once per worker.
            first: asyncio.Future[None] = loop.create_future()
            slots.append(asyncio.create_task(self._slot(0, first)))
            await first
            others: list[asyncio.Future[None]] = [loop.create_future() for _ in range(1, self.count)]
            slots += [asyncio.create_task(self._slot(i, f)) for i, f in enumerate(others, 1)]
            await asyncio.gather(*others)
            if self._signal is None:
                ready()
            await asyncio.gather(*slots)
            return 0
        except WorkerError as e:
            self._forward(signal.SIGINT)
            await asyncio.gather(*slots, return_exceptions=True)
            return e.status
        finally:
            for sig in (signal.SIGINT, signal.SIGTERM):
                loop.remove_signal_handler(sig)
            os.close(self._read_fd)
            os.close(self._write_fd)

    def _forward(self, sig: int) -> None:
        self._signal = sig
        for proc in self._procs.values():
            with contextlib.suppress(ProcessLookupError):
                proc.send_signal(sig)

    async def _slot(self, index: int, started: asyncio.Future[None]) -> None:
        """Keeps worker `index` running until a signal; fails `started` if its first start fails."""
        try:
            await self._keep_running(index, started)
        finally:
            if not started.done():  # a signal came first: nothing waits for this one any more
                started.set_result(None)

    async def _keep_running(self, index: int, started: asyncio.Future[None]) -> None:
        while self._signal is None:
            began = time.monotonic()
            proc = await asyncio.create_subprocess_exec(
                *self._command(f"{self._read_fd}:{os.getpid()}"),
                stdout=asyncio.subprocess.PIPE,
                pass_fds=(self._read_fd,),
                env=self._env,
            )
            self._procs[index] = proc
            if self._signal is not None:  # arrived while it was starting
                with contextlib.suppress(ProcessLookupError):
                    proc.send_signal(self._signal)
            assert proc.stdout is not None
            line = await proc.stdout.readline()
            listening = b"http://" in line
            if listening and not started.done():
                started.set_result(None)
            # Its later output (the stop line) is read and dropped, so it never blocks on the pipe.
            while await proc.stdout.read(4096):
                pass
            status = await proc.wait()
            del self._procs[index]
            from talvo.serve import metrics

            metrics.mark_process_dead(proc.pid, self._metrics_dir)
            if self._signal is not None:
                logger.info("worker {} (pid {}) stopped", index, proc.pid)
                return
            if not started.done():
                started.set_exception(WorkerError(status or 1))
                return
            logger.warning("worker {} (pid {}) ended with status {}; restarting it", index, proc.pid, status)
            if time.monotonic() - began < RESTART_PAUSE:
                await asyncio.sleep(RESTART_PAUSE)


# -- the worker's side ----------------------------------------------------------------------------


def watch_supervisor(spec: str, on_gone: Callable[[], None]) -> None:
    """In a worker: call `on_gone` (from another thread) once the supervisor named by
    `--worker-of FD:PID` is gone, and exit ORPHAN_GRACE s later if the process is still here."""
    fd_text, _, pid_text = spec.partition(":")
    fd, parent = int(fd_text), int(pid_text)
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGINT, 0, 0, 0)
    if os.getppid() != parent:  # it died before the line above took effect
        os.kill(os.getpid(), signal.SIGINT)

    def watch() -> None:
        with contextlib.suppress(OSError):
            while os.read(fd, 64):
                pass
        logger.warning("the supervisor (pid {}) is gone: stopping", parent)
        on_gone()
        time.sleep(ORPHAN_GRACE)
        os._exit(1)

    threading.Thread(target=watch, name="talvo-serve-supervisor-watch", daemon=True).start()
