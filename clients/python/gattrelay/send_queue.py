"""The "send" side of a session.

Numbers every line written to the bridge, keeps at most `MAX_IN_FLIGHT_PER_PEER` frames per peer unanswered
and holds the rest in order, coalesces the lines of one turn of the event loop into one pipe write, and stops
writing while the pipe is full. Each send's tag is the number of its line, so a "write" event (by its tag)
and a "rejected" event (by its line) both lead straight to the send they answer.
"""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field

from .events import Outcome, Write

MAX_IN_FLIGHT_PER_PEER = 512


@dataclass(slots=True)
class _Send:
    peer: str
    data: str
    size: int
    future: asyncio.Future[Outcome]


@dataclass(slots=True)
class _PeerSends:
    in_flight: int = 0
    held: deque[_Send] = field(default_factory=deque)


class SendQueue:
    def __init__(self, loop: asyncio.AbstractEventLoop, write: Callable[[bytes], None], end: Callable[[], None]):
        self._loop = loop
        self._write_pipe = write
        self._end_pipe = end
        self._line_number = 0
        self._pending: dict[int, _Send] = {}
        self._peers: dict[str, _PeerSends] = {}
        self._lines: list[str] = []
        self._flush_scheduled = False
        self._pipe_full = False
        self._stopped = False

    def send(self, peer: str, data: str, size: int) -> asyncio.Future[Outcome]:
        """Queues a frame of `size` bytes, base64 `data`, for `peer` (an upper-case id)."""
        send = _Send(peer, data, size, self._loop.create_future())
        state = self._peers.get(peer)
        if state is None:
            state = self._peers[peer] = _PeerSends()
        if state.in_flight < MAX_IN_FLIGHT_PER_PEER:
            self._write(send, state)
        else:
            state.held.append(send)
        return send.future

    def command(self, line: str) -> None:
        """Writes a command that is not a send ("disconnect", "connect"), in order with the sends; its line counts
        too."""
        self._line_number += 1
        self._lines.append(line + "\n")
        self._schedule_flush()

    def answered(self, event: Write) -> None:
        """A "write" event: settles its send and lets the next held frame of that peer go."""
        if event.tag is None:
            return
        send = self._take(int(event.tag))
        if send is not None and not send.future.done():
            send.future.set_result(Outcome(event.accepted, event.bytes, event.reason))

    def rejected(self, line: int, error: Exception) -> None:
        """A "rejected" event: if the line was a send, it fails with `error`."""
        send = self._take(line)
        if send is not None and not send.future.done():
            send.future.set_exception(error)

    def pause(self) -> None:
        self._pipe_full = True

    def resume(self) -> None:
        self._pipe_full = False
        self._flush()

    def stop(self) -> None:
        """Ends the input with "stop": frames not yet written are dropped and fail at `close`."""
        if self._stopped:
            return
        self._stopped = True
        self._lines.clear()
        self._write_pipe(b'{"command":"stop"}\n')
        self._end_pipe()

    def close(self, error: Exception) -> None:
        """The bridge is gone: every send not yet answered fails with `error`, marked as seen, so that sends
        nobody awaits do not each log "exception was never retrieved"."""
        self._stopped = True
        self._lines.clear()
        sends = list(self._pending.values())
        for state in self._peers.values():
            sends.extend(state.held)
        self._pending.clear()
        self._peers.clear()
        for send in sends:
            if not send.future.done():
                send.future.set_exception(error)
                send.future.exception()

    def _take(self, line: int) -> _Send | None:
        send = self._pending.pop(line, None)
        if send is None:
            return None
        state = self._peers[send.peer]
        state.in_flight -= 1
        if not self._stopped:
            while state.in_flight < MAX_IN_FLIGHT_PER_PEER and state.held:
                self._write(state.held.popleft(), state)
        if state.in_flight == 0 and not state.held:
            del self._peers[send.peer]
        return send

    def _write(self, send: _Send, state: _PeerSends) -> None:
        self._line_number += 1
        line = self._line_number
        self._pending[line] = send
        state.in_flight += 1
        self._lines.append(f'{{"command":"send","id":"{send.peer}","data":"{send.data}","tag":"{line}"}}\n')
        send.data = ""
        self._schedule_flush()

    def _schedule_flush(self) -> None:
        if not self._flush_scheduled:
            self._flush_scheduled = True
            self._loop.call_soon(self._scheduled_flush)

    def _scheduled_flush(self) -> None:
        self._flush_scheduled = False
        self._flush()

    def _flush(self) -> None:
        if self._pipe_full or self._stopped or not self._lines:
            return
        text = "".join(self._lines)
        self._lines.clear()
        self._write_pipe(text.encode())
