"""Client for the gattrelay bridge: BLE peripherals through a child process's standard input and output."""

from .bridge import Bridge
from .errors import BridgeClosedError, BridgeError, BridgeStartError
from .events import (
    AdapterState,
    Event,
    Frame,
    Mtu,
    Outcome,
    Peer,
    PeerGoneReason,
    Rejected,
    RejectedReason,
    State,
    StateReason,
    Write,
    WriteReason,
)
from .world import World

__all__ = [
    "AdapterState",
    "Bridge",
    "BridgeClosedError",
    "BridgeError",
    "BridgeStartError",
    "Event",
    "Frame",
    "Mtu",
    "Outcome",
    "Peer",
    "PeerGoneReason",
    "Rejected",
    "RejectedReason",
    "State",
    "StateReason",
    "World",
    "Write",
    "WriteReason",
]
