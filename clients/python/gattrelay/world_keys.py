"""The keys and value types of a world file (docs/worlds.md), so that World refuses a mistake where it is made.

Keys may be given in snake case (`write_limit`) or as in the file (`writeLimit`); errors name them as given."""

from __future__ import annotations

from typing import Any

_INTEGER = "an integer"
_BOOLEAN = "a boolean"
_STRING = "a string"
_DATA = "bytes or a string"


class _AnyOf(tuple):
    """A value that may have any of these types."""


_DELAYS = {
    key: _INTEGER
    for key in ("connect", "discoverServices", "discoverCharacteristics", "subscribe", "write", "disconnect")
}

_TIMED = [{"after": _INTEGER, "data": _DATA}]

# A connection script's keys: how one connection attempt goes.
_CONNECTION = {
    "fails": _BOOLEAN,
    "delays": _DELAYS,
    "discoverServicesFails": _BOOLEAN,
    "discoverCharacteristicsFails": _BOOLEAN,
    "subscribeFails": _BOOLEAN,
    "writes": [{"fails": _BOOLEAN, "after": _INTEGER, "notify": _TIMED}],
    "notifications": _TIMED,
    "drop": {"afterWrites": _INTEGER, "after": _INTEGER},
    "readvertiseAfter": _INTEGER,
}

# A peripheral's keys; a list holds the type of its items.
PERIPHERAL_KEYS: dict[str, Any] = {
    "id": _STRING,
    "advertiseAt": _INTEGER,
    "name": _STRING,
    "rssi": _AnyOf((_INTEGER, [{"at": _INTEGER, "dbm": _INTEGER}])),
    "address": _STRING,
    "serviceUuid": _STRING,
    "inboxUuid": _STRING,
    "outboxUuid": _STRING,
    "serviceCount": _INTEGER,
    "inbox": _BOOLEAN,
    "outbox": _BOOLEAN,
    "outboxNotifying": _BOOLEAN,
    "writeLimit": _AnyOf((_INTEGER, [{"at": _INTEGER, "limit": _INTEGER}])),
    "connectFails": _BOOLEAN,
    "discoverServicesFails": _BOOLEAN,
    "discoverCharacteristicsFails": _BOOLEAN,
    "subscribeFails": _BOOLEAN,
    "writeFailures": {"all": _BOOLEAN, "firstAttemptsOfEachFrame": _INTEGER, "nth": [_INTEGER]},
    "delays": _DELAYS,
    "disconnectAt": [_INTEGER],
    "disconnectAfterWrites": _INTEGER,
    "readvertiseAfter": _INTEGER,
    "notifications": _TIMED,
    "echo": _BOOLEAN,
    "connections": [_CONNECTION],
}

ADAPTER_STEP_KEYS: dict[str, Any] = {"at": _INTEGER, "state": _AnyOf((_STRING, _INTEGER)), "reason": _STRING}


def camel(name: str) -> str:
    first, *rest = name.split("_")
    return first + "".join(word.capitalize() for word in rest)


def check(value: Any, kind: Any, path: str) -> None:
    """Raises TypeError naming `path` and what is wrong when `value` does not have the type `kind`."""
    if isinstance(kind, _AnyOf):
        match = next((k for k in kind if _fits(value, k)), None)
        if match is None:
            _wrong(value, " or ".join(_describe(k) for k in kind), path)
        check(value, match, path)
    elif isinstance(kind, list):
        if not isinstance(value, (list, tuple)):
            _wrong(value, "a list", path)
        for i, item in enumerate(value):
            check(item, kind[0], f"{path}[{i}]")
    elif isinstance(kind, dict):
        if not isinstance(value, dict):
            _wrong(value, "a dict", path)
        for key, item in value.items():
            item_path = f"{path}.{key}" if path else str(key)
            if not isinstance(key, str) or camel(key) not in kind:
                raise TypeError(f"World: {item_path}: unknown key")
            check(item, kind[camel(key)], item_path)
    elif not _fits(value, kind):
        _wrong(value, kind, path)


def _fits(value: Any, kind: Any) -> bool:
    if kind == _INTEGER:
        return isinstance(value, int) and not isinstance(value, bool)
    if kind == _BOOLEAN:
        return isinstance(value, bool)
    if kind == _STRING:
        return isinstance(value, str)
    if kind == _DATA:
        return isinstance(value, (str, bytes, bytearray, memoryview))
    if isinstance(kind, list):
        return isinstance(value, (list, tuple))
    return isinstance(value, dict)


def _describe(kind: Any) -> str:
    if isinstance(kind, list):
        return "a list"
    return "a dict" if isinstance(kind, dict) else kind


def _wrong(value: Any, expected: str, path: str) -> None:
    raise TypeError(f"World: {path}: expected {expected}, found {type(value).__name__}")
