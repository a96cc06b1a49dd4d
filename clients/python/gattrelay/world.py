from __future__ import annotations

import base64
import json
import os
from typing import Any

from .world_keys import ADAPTER_STEP_KEYS, PERIPHERAL_KEYS, camel, check


class World:
    """A simulated world for `gattrelay-sim`, built in code: `Bridge.start(world=...)` writes it to a temporary
    world file.

    Keys are those of the world file format (docs/worlds.md in the gattrelay sources) in snake case:
    `write_limit=182`, `write_failures={"first_attempts_of_each_frame": 1}`, `delays={"write": 50}`.
    Notification data is given as bytes (or a string, for its UTF-8 bytes). An unknown key or a value of the wrong
    type raises TypeError naming it, at the call that gives it.
    """

    def __init__(self) -> None:
        self._adapter: list[dict[str, Any]] | None = None
        self._peripherals: list[dict[str, Any]] = []
        self._recording: str | None = None

    @classmethod
    def from_recording(cls, path: str | os.PathLike[str]) -> World:
        """The world of a session recorded with `gattrelay --record FILE` (docs/record.md in the gattrelay
        sources): `Bridge.start(world=World.from_recording("session.jsonl"))` replays it with
        `gattrelay-sim --replay`."""
        world = cls()
        world._recording = os.fspath(path)
        return world

    @property
    def recording(self) -> str | None:
        """The recording this world replays, if it is one."""
        return self._recording

    def _refuse_if_recorded(self) -> None:
        if self._recording is not None:
            raise TypeError(
                "World: a recording is replayed as it is; to change it, print it as a world file with "
                "`gattrelay-sim --replay FILE --print-world` and edit that"
            )

    def adapter(self, *steps: dict[str, Any]) -> World:
        """The adapter's states over time, e.g.
        `adapter({"at": 0, "state": "powered_off"}, {"at": 1000, "state": "powered_on"})`."""
        self._refuse_if_recorded()
        check(list(steps), [ADAPTER_STEP_KEYS], "adapter")
        self._adapter = [_camel_keys(step) for step in steps]
        return self

    def peripheral(self, id: str | None = None, **options: Any) -> str:
        """Adds a peripheral and returns its id (upper case), made up when not given."""
        self._refuse_if_recorded()
        check(options if id is None else {"id": id, **options}, PERIPHERAL_KEYS, "")
        peripheral_id = (id or f"5EC1A5E0-0000-4000-8000-{len(self._peripherals) + 1:012X}").upper()
        peripheral = {"id": peripheral_id, **_camel_keys(options)}
        if "notifications" in peripheral:
            peripheral["notifications"] = _timed_in_base64(peripheral["notifications"])
        for script in peripheral.get("connections", []):
            if "notifications" in script:
                script["notifications"] = _timed_in_base64(script["notifications"])
            for write in script.get("writes", []):
                if "notify" in write:
                    write["notify"] = _timed_in_base64(write["notify"])
        self._peripherals.append(peripheral)
        return peripheral_id

    def to_json(self) -> str:
        world: dict[str, Any] = {"peripherals": self._peripherals}
        if self._adapter is not None:
            world["adapter"] = self._adapter
        return json.dumps(world)


def _camel_keys(value: Any) -> Any:
    if isinstance(value, dict):
        return {camel(key): _camel_keys(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_camel_keys(item) for item in value]
    return value


def _timed_in_base64(notifications: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Notifications with their data as bytes or text, in the file's base64."""
    return [{**n, "data": base64.b64encode(_bytes(n["data"])).decode("ascii")} for n in notifications]


def _bytes(data: bytes | str) -> bytes:
    return data.encode() if isinstance(data, str) else bytes(data)
