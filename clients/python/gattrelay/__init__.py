"""Client for the gattrelay bridge: BLE peripherals through a child process's standard input and output."""

from .bridge import Bridge
from .errors import BridgeClosedError, BridgeError, BridgeStartError
from .events import Event, Frame, Mtu, Outcome, Peer, Rejected, State, Write
from .world import World

__all__ = [
    "Bridge",
    "BridgeClosedError",
    "BridgeError",
    "BridgeStartError",
    "Event",
    "Frame",
    "Mtu",
    "Outcome",
    "Peer",
    "Rejected",
    "State",
    "World",
    "Write",
]
