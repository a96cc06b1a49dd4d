/** Every error this package raises about the bridge process itself. */
export class BridgeError extends Error {
    get name() {
        return this.constructor.name;
    }
}

/** The bridge could not be started: not found, exited before "hello", or speaks another protocol. */
export class BridgeStartError extends BridgeError {}

/**
 * The bridge is gone (stopped, exited or killed): what was still pending when it went rejects with this.
 * `code` and `signal` are the process's exit status and signal, as far as known.
 */
export class BridgeClosedError extends BridgeError {
    constructor(message, { code = null, signal = null } = {}) {
        super(message);
        this.code = code;
        this.signal = signal;
    }
}
