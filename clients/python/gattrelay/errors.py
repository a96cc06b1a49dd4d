class BridgeError(Exception):
    """Every error this package raises about the bridge process itself."""


class BridgeStartError(BridgeError):
    """The bridge could not be started: not found, exited before "hello", or speaks another protocol."""


class BridgeClosedError(BridgeError):
    """The bridge is gone (stopped, exited or killed): what was still pending when it went fails with this.

    `returncode` is the process's exit status, negative for the signal that ended it, None if not known.
    """

    def __init__(self, message: str, returncode: int | None = None):
        super().__init__(message)
        self.returncode = returncode
