from __future__ import annotations

import asyncio
from collections import deque

from .events import Event


class EventStream:
    """One consumer's view of the events, as an async iterator: events (of the classes in `kinds`, if any)
    are queued until read, and the iteration ends once the bridge has closed and everything before that
    was read. The bridge holds it weakly, so a stream nobody iterates any more is dropped with what it
    queued."""

    def __init__(self, kinds: tuple[type, ...]) -> None:
        self._kinds = kinds
        self._items: deque[Event] = deque()
        self._ended = False
        self._wake: asyncio.Future[None] | None = None

    def push(self, event: Event) -> None:
        if self._kinds and not isinstance(event, self._kinds):
            return
        self._items.append(event)
        self._notify()

    def end(self) -> None:
        self._ended = True
        self._notify()

    def __aiter__(self) -> EventStream:
        return self

    async def __anext__(self) -> Event:
        while not self._items:
            if self._ended:
                raise StopAsyncIteration
            self._wake = asyncio.get_running_loop().create_future()
            await self._wake
        return self._items.popleft()

    def _notify(self) -> None:
        wake, self._wake = self._wake, None
        if wake is not None and not wake.done():
            wake.set_result(None)
