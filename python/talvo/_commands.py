"""What `python -m talvo` and `python -m talvo serve` share: how they log.

A command reports each error itself, in one line. The runtime logs the same errors at ERROR
level for library users, whose code may not look at what it raises; on a command's terminal
that would be the same error twice, so a command's log leaves those records out.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from loguru import Record

RUNTIME = "talvo.runtime_async"


def log_to_stderr(level: str, runtime_level: str = "WARNING", **options: Any) -> None:
    """Replace loguru's handlers with one to stderr: everything from `level` up, and of the
    runtime's own records those from `runtime_level` up, never its error lines."""
    from loguru import logger

    floor, error = logger.level(runtime_level).no, logger.level("ERROR").no

    def keep(record: Record) -> bool:
        return record["name"] != RUNTIME or floor <= record["level"].no < error

    logger.remove()
    logger.add(sys.stderr, level=level, filter=keep, **options)
