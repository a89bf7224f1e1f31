"""What the figures were measured on, and the process's resident memory."""

from __future__ import annotations

import os
import platform
import subprocess
import sys
from pathlib import Path


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _commit() -> str | None:
    try:
        out = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"],
            capture_output=True,
            text=True,
            timeout=5,
            check=False,
            cwd=Path(__file__).parent,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    return out.stdout.strip() or None


def info() -> dict[str, object]:
    cores = os.cpu_count() or 1
    return {
        "platform": platform.platform(),
        "cpu_model": cpu_model(),
        "cores": cores,
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "gil_switch_interval_s": sys.getswitchinterval(),
        "default_executor_workers": min(32, cores + 4),
        "commit": _commit(),
    }


def load() -> list[float] | None:
    """1, 5 and 15 minute load averages: other work on the machine skews every figure."""
    try:
        return [round(x, 2) for x in os.getloadavg()]
    except OSError:
        return None


def rss_bytes() -> int:
    try:
        import psutil
    except ImportError:
        page = os.sysconf("SC_PAGE_SIZE")
        return int(Path("/proc/self/statm").read_text().split()[1]) * page
    return psutil.Process().memory_info().rss
