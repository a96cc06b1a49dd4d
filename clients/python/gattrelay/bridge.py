from __future__ import annotations

import asyncio
import binascii
import json
import logging
import os
import re
import shutil
import signal
import tempfile
import weakref
from collections.abc import Sequence
from dataclasses import replace
from types import MappingProxyType

from .errors import BridgeClosedError, BridgeError, BridgeStartError
from .event_stream import EventStream
from .event_line import parse_event_line
from .events import Event, Frame, Mtu, Outcome, Peer, Rejected, State, Write
from .send_queue import SendQueue
from .world import World

PROTOCOL = 2
MAX_FRAME_BYTES = 16384
_UUID = re.compile(r"[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")
_STDERR_TAIL_BYTES = 4096
_log = logging.getLogger("gattrelay")


class Bridge:
    """A running bridge process speaking protocol 2.

    Start it with `await Bridge.start(...)`; `async with` stops it at the end of the block. Events that arrive
    before the first `events()` stream is made are kept for it, but for "write" events.
    """

    @classmethod
    async def start(
        cls,
        path: str | os.PathLike[str] | None = None,
        args: Sequence[str] = (),
        world: World | str | os.PathLike[str] | None = None,
        start_timeout: float = 10.0,
        stop_timeout: float = 5.0,
        *,
        peer: str | Sequence[str] | None = None,
        name: str | Sequence[str] | None = None,
        min_rssi: int | None = None,
        service: str | None = None,
        inbox: str | None = None,
        outbox: str | None = None,
        adapter: str | None = None,
        verbose: bool = False,
    ) -> Bridge:
        """Starts the bridge and returns once it has said "hello" in protocol 2.

        `path` defaults to GATTRELAY_PATH, else `gattrelay` on PATH; with a `world` (a World, World.from_recording(...),
        or the path of a world file), to GATTRELAY_SIM_PATH, else `gattrelay-sim`. The keyword options are the bridge's own:
        `peer` (`--peer`, one id or address or several), `name` (`--name`, one prefix or several), `min_rssi`
        (`--min-rssi`), `service`, `inbox`, `outbox`, `adapter` and `verbose` (`-v`); `args` come after them.
        Each line the bridge writes on standard error (with `-v`, its diagnostics) is a DEBUG record of the
        "gattrelay" logger.
        """
        temp_dir = None
        world_path = None
        replays = isinstance(world, World) and world.recording is not None
        if isinstance(world, World) and world.recording is not None:
            world_path = world.recording
        elif isinstance(world, World):
            temp_dir = tempfile.mkdtemp(prefix="gattrelay-")
            world_path = os.path.join(temp_dir, "world.json")
            with open(world_path, "w", encoding="utf-8") as file:
                file.write(world.to_json())
        elif world is not None:
            world_path = os.fspath(world)
        program, advice = _find_program(path, "gattrelay" if world_path is None else "gattrelay-sim")
        named = {"--peer": peer, "--name": name, "--min-rssi": min_rssi, "--service": service, "--inbox": inbox}
        named |= {"--outbox": outbox, "--adapter": adapter}
        argv = ["--protocol", str(PROTOCOL), *_option_args(named), *(("-v",) if verbose else ()), *args]
        argv += () if world_path is None else ("--replay" if replays else "--", world_path)
        bridge = cls(asyncio.get_running_loop(), temp_dir, stop_timeout)
        try:
            await bridge._run(program, argv, start_timeout, advice)
        except BaseException:
            bridge._remove_temp_dir()
            raise
        return bridge

    def __init__(self, loop: asyncio.AbstractEventLoop, temp_dir: str | None, stop_timeout: float):
        """Use `Bridge.start`."""
        self._loop = loop
        self._temp_dir = temp_dir
        self._stop_timeout = stop_timeout
        self._transport: asyncio.SubprocessTransport | None = None
        self._sends = SendQueue(loop, self._write_input, self._end_input)
        self._state: str | None = None
        self._peers: dict[str, int] = {}
        self._ready: dict[str, Peer] = {}  # what each ready peer's announcement said, with its current mtu
        self._disconnecting: dict[str, list[asyncio.Future[Peer | None]]] = {}
        self._version: str | None = None
        self._hello: asyncio.Future[None] = loop.create_future()
        self._partial = b""
        self._stderr = b""
        self._stderr_partial = b""
        self._open_outputs = 2  # standard output and error
        self._process_running = True
        self._close_error: BridgeError | None = None
        self._closed: asyncio.Future[int | None] = loop.create_future()
        self._kill_timer: asyncio.TimerHandle | None = None
        self._backlog: list[Event | None] | None = []
        self._streams: list[weakref.ref[EventStream]] = []
        self._waiters: list[tuple[str | None, asyncio.Future[Peer]]] = []
        self._last_send_id: object = None
        self._last_send_peer = ""

    @property
    def state(self) -> str | None:
        """The adapter's state from the last "state" event; None before the first."""
        return self._state

    @property
    def peers(self) -> MappingProxyType[str, int]:
        """Ready peers: id (upper case) to "mtu" (a live read-only view)."""
        return MappingProxyType(self._peers)

    @property
    def version(self) -> str | None:
        """The bridge's version, from its "hello"."""
        return self._version

    @property
    def pid(self) -> int | None:
        return None if self._transport is None else self._transport.get_pid()

    @property
    def returncode(self) -> int | None:
        """The exit status once the process has exited (negative: the signal that ended it)."""
        return self._closed.result() if self._closed.done() else None

    def events(self, *kinds: type[Event]) -> EventStream:
        """The events from now on, or only those of the classes given (`events(Frame, Peer)`); the first
        stream also gets those that came before it. Ends when the bridge exits."""
        stream = EventStream(kinds)
        if self._backlog is None and self._closed.done():
            stream.end()
            return stream
        self._streams.append(weakref.ref(stream))
        if self._backlog is not None:
            backlog, self._backlog = self._backlog, None
            for event in backlog:
                self._dispatch(event)
        return stream

    async def wait_for_peer(self, peer_id: str | None = None) -> Peer:
        """Returns a ready peer (that peer, if `peer_id` is given): at once if one is ready, else when one is."""
        wanted = None if peer_id is None else _peer_id(peer_id)
        for ready, peer in self._ready.items():
            if wanted is None or wanted == ready:
                return peer
        if self._close_error is not None:
            raise self._close_error
        waiter = (wanted, self._loop.create_future())
        self._waiters.append(waiter)
        try:
            return await waiter[1]
        finally:
            if waiter in self._waiters:
                self._waiters.remove(waiter)

    def send(self, peer_id: str, data: bytes | bytearray | memoryview | str) -> asyncio.Future[Outcome]:
        """Queues a frame (bytes, or a string sent as its UTF-8 bytes) for a peer, at the call, and returns a
        future of its Outcome. It fails with BridgeClosedError if the bridge goes first."""
        # Most sends go to the peer of the send before: its id is checked and upper-cased once.
        if peer_id != self._last_send_id:
            self._last_send_peer = _peer_id(peer_id)
            self._last_send_id = peer_id
        peer = self._last_send_peer
        payload = data.encode() if isinstance(data, str) else data
        size = len(payload)
        if size == 0:
            raise ValueError("a frame holds at least one byte")
        if self._close_error is not None:
            raise self._close_error
        if self._kill_timer is not None:
            raise BridgeClosedError("the bridge is stopping")
        if size > MAX_FRAME_BYTES:
            # Refused here as the bridge would refuse it, without sending a line it might find too long.
            future = self._loop.create_future()
            future.set_result(Outcome(False, size, "too_long"))
            return future
        return self._sends.send(peer, binascii.b2a_base64(payload, newline=False).decode("ascii"), size)

    async def disconnect(self, peer_id: str) -> Peer | None:
        """Ends the link to a peer and keeps the bridge from connecting it again until `connect(peer_id)`.
        Returns the peer's `Peer` gone event (reason "closed") once it came, when the peer was ready; else None at
        once (a link still being set up then ends with its own "closed" event)."""
        peer = self._command("disconnect", peer_id)
        if peer not in self._peers:
            return None
        future: asyncio.Future[Peer | None] = self._loop.create_future()
        self._disconnecting.setdefault(peer, []).append(future)
        return await future

    async def connect(self, peer_id: str) -> None:
        """Lets the bridge connect a peer again after `disconnect(peer_id)`, at its next discovery; for an id that
        was never disconnected it changes nothing. Returns at once: wait for the peer with `wait_for_peer`."""
        self._command("connect", peer_id)

    def _command(self, name: str, peer_id: str) -> str:
        """Writes a "disconnect" or "connect" line and returns the upper-case id."""
        peer = _peer_id(peer_id)
        if self._close_error is not None:
            raise self._close_error
        if self._kill_timer is not None:
            raise BridgeClosedError("the bridge is stopping")
        self._sends.command(f'{{"command":"{name}","id":"{peer}"}}')
        return peer

    async def stop(self, timeout: float | None = None) -> int | None:
        """Sends "stop", closes the bridge's input and returns its exit status once it has exited, killing it
        after `timeout` seconds. Sends still pending then fail with BridgeClosedError."""
        if not self._closed.done() and self._kill_timer is None:
            self._sends.stop()
            self._kill_timer = self._loop.call_later(
                self._stop_timeout if timeout is None else timeout, self._kill
            )
        return await asyncio.shield(self._closed)

    async def __aenter__(self) -> Bridge:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.stop()

    async def _run(self, path: str, argv: list[str], start_timeout: float, advice: str) -> None:
        try:
            self._transport, _ = await self._loop.subprocess_exec(
                lambda: _Pipes(self),
                path,
                *argv,
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE,
            )
        except OSError as error:
            raise BridgeStartError(f"cannot run {path}: {error}. {advice}") from error
        if self._close_error is not None:
            self._kill()  # what the bridge said before the process was ours to kill was already wrong
        self._maybe_closed()
        timer = self._loop.call_later(
            start_timeout,
            lambda: self._fail(BridgeStartError(f'no "hello" from the bridge within {start_timeout} s')),
        )
        try:
            await self._hello
        finally:
            timer.cancel()

    def _read(self, data: bytes) -> None:
        if self._partial:
            data = self._partial + data
        end = data.rfind(b"\n")
        self._partial = data[end + 1 :]
        if end == -1:
            return
        for line in data[:end].decode(errors="replace").split("\n"):
            try:
                if not self._hello.done():
                    self._greeted(json.loads(line))
                else:
                    event = parse_event_line(line)
                    if event is not None:
                        self._handle(event)
            except (ValueError, KeyError, TypeError, AttributeError) as error:
                problem = f"the bridge wrote a line this client cannot read ({error}): {line[:200]!r}"
                self._fail(BridgeClosedError(problem))
            if self._close_error is not None:
                return

    def _greeted(self, fields: dict) -> None:
        if fields.get("event") != "hello":
            self._fail(BridgeStartError(f'the bridge began with {fields} instead of "hello"'))
        elif fields.get("protocol") != PROTOCOL:
            spoken = fields.get("protocol")
            self._fail(BridgeStartError(f"the bridge speaks protocol {spoken}; this client speaks {PROTOCOL}"))
        else:
            self._version = fields.get("version")
            self._hello.set_result(None)

    def _handle(self, event: Event) -> None:
        kind = type(event)
        if kind is Write:
            self._sends.answered(event)
        elif kind is Frame:
            pass
        elif kind is Peer:
            if event.connected:
                self._peer_ready(event)
            else:
                self._peer_gone(event)
        elif kind is Mtu:
            if event.id in self._peers:
                self._peers[event.id] = event.mtu
                self._ready[event.id] = replace(self._ready[event.id], mtu=event.mtu)
        elif kind is State:
            self._state = event.value
        elif kind is Rejected:
            self._sends.rejected(event.line, BridgeError(f"the bridge rejected a send line: {event.reason}"))
        self._deliver(event)

    def _peer_ready(self, peer: Peer) -> None:
        self._peers[peer.id] = peer.mtu
        self._ready[peer.id] = peer
        for waiter in list(self._waiters):
            wanted, future = waiter
            if (wanted is None or wanted == peer.id) and not future.done():
                future.set_result(peer)

    def _peer_gone(self, peer: Peer) -> None:
        self._peers.pop(peer.id, None)
        self._ready.pop(peer.id, None)
        for future in self._disconnecting.pop(peer.id, []):
            if not future.done():
                future.set_result(peer)

    def _deliver(self, event: Event | None) -> None:
        """Passes an event (None: the end) to the streams, or keeps it until the first stream: but for
        "write" events, which have settled their sends already and, in a program that only sends, would
        be kept for every frame."""
        if self._backlog is None:
            self._dispatch(event)
        elif type(event) is not Write:
            self._backlog.append(event)

    def _dispatch(self, event: Event | None) -> None:
        dropped = False
        for ref in self._streams:
            stream = ref()
            if stream is None:
                dropped = True
            elif event is None:
                stream.end()
            else:
                stream.push(event)
        if dropped:
            self._streams = [ref for ref in self._streams if ref() is not None]

    def _fail(self, error: BridgeError) -> None:
        """Ends the session on a fault of the bridge: the error goes to whoever waits for the start or a send."""
        if self._close_error is None:
            self._close_error = error
        self._kill()

    def _write_input(self, data: bytes) -> None:
        assert self._transport is not None
        self._transport.get_pipe_transport(0).write(data)

    def _end_input(self) -> None:
        assert self._transport is not None
        self._transport.get_pipe_transport(0).close()

    def _kill(self) -> None:
        if self._transport is not None and self._process_running:
            self._transport.kill()

    def _stderr_received(self, data: bytes) -> None:
        """Each line of standard error (the -v diagnostics) is a DEBUG record of the "gattrelay" logger; the
        tail names why a bridge died."""
        self._stderr = (self._stderr + data)[-_STDERR_TAIL_BYTES:]
        *lines, self._stderr_partial = (self._stderr_partial + data).split(b"\n")
        for line in lines:
            _log.debug("%s", line.decode(errors="replace"))

    def _output_closed(self) -> None:
        self._open_outputs -= 1
        self._maybe_closed()

    def _process_exited(self) -> None:
        self._process_running = False
        self._maybe_closed()

    def _maybe_closed(self) -> None:
        """Once the process has exited and its last words are read, settles everything still pending."""
        if self._open_outputs or self._process_running or self._transport is None or self._closed.done():
            return
        returncode = self._transport.get_returncode()
        if self._kill_timer is not None:
            self._kill_timer.cancel()
        if returncode is not None and returncode < 0:
            how = f"was killed by {signal.Signals(-returncode).name}"
        else:
            how = f"exited with status {returncode}"
        last = self._stderr.decode(errors="replace").rstrip().rpartition("\n")[2]
        message = f"the bridge {how}" + (f": {last}" if last else "")
        if not self._hello.done():
            if isinstance(self._close_error, BridgeStartError):
                self._hello.set_exception(self._close_error)
            else:
                self._hello.set_exception(BridgeStartError(str(self._close_error or message)))
        if self._close_error is None:
            self._close_error = BridgeClosedError(message, returncode)
        self._sends.close(self._close_error)
        futures = [future for _, future in self._waiters]
        futures += [future for waiting in self._disconnecting.values() for future in waiting]
        for future in futures:
            if not future.done():
                future.set_exception(self._close_error)
        self._disconnecting.clear()
        self._peers.clear()
        self._ready.clear()
        self._remove_temp_dir()
        self._transport.close()
        self._deliver(None)
        self._closed.set_result(returncode)

    def _remove_temp_dir(self) -> None:
        if self._temp_dir is not None:
            shutil.rmtree(self._temp_dir, ignore_errors=True)
            self._temp_dir = None


class _Pipes(asyncio.SubprocessProtocol):
    """Hands what happens on the process's pipes to its Bridge."""

    def __init__(self, bridge: Bridge):
        self._bridge = bridge

    def pipe_data_received(self, fd: int, data: bytes) -> None:
        if fd == 1:
            self._bridge._read(data)
        else:
            self._bridge._stderr_received(data)

    def pipe_connection_lost(self, fd: int, exc: Exception | None) -> None:
        if fd != 0:
            self._bridge._output_closed()

    def process_exited(self) -> None:
        self._bridge._process_exited()

    def pause_writing(self) -> None:
        self._bridge._sends.pause()

    def resume_writing(self) -> None:
        self._bridge._sends.resume()


def _option_args(options: dict[str, str | int | Sequence[str] | None]) -> list[str]:
    """The bridge's options for the keyword options of `start`: a sequence gives the option once per item."""
    args = []
    for option, value in options.items():
        values = () if value is None else (value,) if isinstance(value, (str, int)) else value
        for item in values:
            if not isinstance(item, (str, int)) or isinstance(item, bool):
                raise TypeError(f"Bridge.start: {option}: expected a string or an integer, found {type(item).__name__}")
            args += [option, str(item)]
    return args


def _find_program(path: str | os.PathLike[str] | None, name: str) -> tuple[str, str]:
    """The program to run, and what to say if it cannot be run: where it was looked for, and how to get it."""
    variable = "GATTRELAY_PATH" if name == "gattrelay" else "GATTRELAY_SIM_PATH"
    from_env = os.environ.get(variable)
    if path is not None:
        program, looked = os.fspath(path), f"Looked at {os.fspath(path)} (the path argument)."
    elif from_env is not None:
        program, looked = from_env, f"Looked at {from_env} (from {variable})."
    else:
        program, looked = name, f"Looked for {name} on PATH."
    advice = (
        f"{looked} Name the program with {variable} or the path argument (in a gattrelay source checkout, "
        f"build/bin/{name}, which scripts/build makes), or install gattrelay's Debian package "
        "(apt install ./gattrelay_VERSION_ARCH.deb, which scripts/package makes), which puts it on PATH."
    )
    return program, advice


def _peer_id(peer_id: str) -> str:
    if not isinstance(peer_id, str) or not _UUID.fullmatch(peer_id):
        raise ValueError(f"not a peer id: {peer_id!r}")
    return peer_id.upper()
