"""The bridge's events, one class each, and the outcome of a send."""

from __future__ import annotations

import base64
from dataclasses import dataclass
from typing import Any, Literal

AdapterState = Literal["unknown", "resetting", "unsupported", "unauthorized", "powered_off", "ready", "failed"]
StateReason = Literal["no_bus", "no_bluetoothd", "no_adapter", "adapter_missing", "access_denied", "blocked"]
PeerGoneReason = Literal["connect_failed", "setup_failed", "disconnected", "closed", "pairing_required"]
WriteReason = Literal["too_long", "unknown_peer", "not_ready", "queue_full", "write_failed", "pairing_required", "peer_gone"]
RejectedReason = Literal["not_json", "not_a_command", "bad_id", "bad_data", "bad_tag", "too_long"]


@dataclass(slots=True)
class State:
    """The adapter's state, and why it is in it where the backend knows."""

    value: AdapterState
    reason: StateReason | None = None


@dataclass(slots=True)
class Peer:
    """A peer became ready (`connected` true), with its advertised name, signal strength (dBm) and device address
    where known (no address on macOS); or it is gone, with the reason."""

    id: str
    connected: bool
    mtu: int
    reason: PeerGoneReason | None = None
    name: str | None = None
    rssi: int | None = None
    address: str | None = None


@dataclass(slots=True)
class Frame:
    """Bytes a peer notified."""

    id: str
    data: bytes


@dataclass(slots=True)
class Write:
    """The answer to one send, with the send's tag."""

    id: str
    accepted: bool
    bytes: int
    reason: WriteReason | None = None
    tag: str | None = None


@dataclass(slots=True)
class Mtu:
    """A ready peer's write limit changed."""

    id: str
    mtu: int


@dataclass(slots=True)
class Rejected:
    """The bridge refused an input line."""

    line: int
    reason: RejectedReason


Event = State | Peer | Frame | Write | Mtu | Rejected


@dataclass(slots=True)
class Outcome:
    """What became of one frame: written (`accepted`) or not, and why not ("too_long", "unknown_peer",
    "not_ready", "queue_full", "write_failed", "pairing_required", "peer_gone")."""

    accepted: bool
    bytes: int
    reason: WriteReason | None = None


def parse_event(fields: dict[str, Any]) -> Event | None:
    """The event of a decoded line, or None for an event this package does not know."""
    match fields.get("event"):
        case "write":
            return Write(fields["id"], fields["accepted"], fields["bytes"], fields.get("reason"), fields.get("tag"))
        case "frame":
            return Frame(fields["id"], base64.b64decode(fields["data"]))
        case "peer":
            return Peer(
                fields["id"],
                fields["connected"],
                fields["mtu"],
                fields.get("reason"),
                fields.get("name"),
                fields.get("rssi"),
                fields.get("address"),
            )
        case "state":
            return State(fields["value"], fields.get("reason"))
        case "mtu":
            return Mtu(fields["id"], fields["mtu"])
        case "rejected":
            return Rejected(fields["line"], fields["reason"])
    return None
