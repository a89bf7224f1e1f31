"""Frames of one session on their way to its socket: bounded, oldest dropped first."""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Callable
from typing import Any


class Outbox:
    """A browser that reads slower than the renderer draws loses its oldest frames, counted in
    `dropped`, rather than growing this buffer: a live view wants the newest picture.

    `put` and `get` run on the event loop; `__len__` is also read by the producer thread (the
    renderer's out_buffer_empty), which a deque's length allows without a lock.
    """

    def __init__(self, capacity: int) -> None:
        if capacity < 1:
            raise ValueError(f"an outbox holds at least one frame, got {capacity}")
        self.capacity = capacity
        self.dropped = 0
        self._items: deque[Any] = deque()
        self._ready = asyncio.Event()

    def __len__(self) -> int:
        return len(self._items)

    def put(self, item: Any) -> None:
        if len(self._items) >= self.capacity:
            self._items.popleft()
            self.dropped += 1
        self._items.append(item)
        self._ready.set()

    def discard(self, unwanted: Callable[[Any], bool]) -> list[Any]:
        """Take out every item `unwanted` picks (not counted as dropped); the rest keep their order."""
        taken = [item for item in self._items if unwanted(item)]
        if taken:
            kept = [item for item in self._items if not unwanted(item)]
            self._items.clear()
            self._items.extend(kept)
        return taken

    async def get(self) -> Any:
        while not self._items:
            self._ready.clear()
            await self._ready.wait()
        return self._items.popleft()
