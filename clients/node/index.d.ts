import { EventEmitter } from 'node:events';

export type AdapterState =
    'unknown' | 'resetting' | 'unsupported' | 'unauthorized' | 'powered_off' | 'ready' | 'failed';

export type WriteReason = 'too_long' | 'unknown_peer' | 'not_ready' | 'queue_full' | 'write_failed' | 'peer_gone';
export type PeerGoneReason = 'connect_failed' | 'setup_failed' | 'disconnected';
export type RejectedReason = 'not_json' | 'not_a_command' | 'bad_id' | 'bad_data' | 'bad_tag' | 'too_long';

export interface StateEvent { event: 'state'; value: AdapterState }
export interface PeerReadyEvent { event: 'peer'; id: string; connected: true; mtu: number }
export interface PeerGoneEvent { event: 'peer'; id: string; connected: false; mtu: number; reason: PeerGoneReason }
export interface FrameEvent { event: 'frame'; id: string; data: Buffer }
export interface WriteEvent {
    event: 'write';
    id: string;
    accepted: boolean;
    bytes: number;
    reason?: WriteReason;
    tag?: string;
}
export interface MtuEvent { event: 'mtu'; id: string; mtu: number }
export interface RejectedEvent { event: 'rejected'; line: number; reason: RejectedReason }

export type BridgeEvent =
    StateEvent | PeerReadyEvent | PeerGoneEvent | FrameEvent | WriteEvent | MtuEvent | RejectedEvent;

/** What became of one frame: written (`accepted` true) or not, and why not. */
export interface Outcome {
    accepted: boolean;
    bytes: number;
    reason?: WriteReason;
}

export interface Exit {
    code: number | null;
    signal: NodeJS.Signals | null;
}

export interface StartOptions {
    /** The program: GATTRELAY_PATH, else `gattrelay`; with `world`, GATTRELAY_SIM_PATH, else `gattrelay-sim`. */
    path?: string;
    /** Options given to the bridge after `--protocol 2`, e.g. `['--service', uuid, '-v']`. */
    args?: string[];
    /** A World, or the path of a world file, for `gattrelay-sim`. */
    world?: World | string;
    /**
     * The bridge's standard error: 'log' (default) makes each line a "log" event (with `-v` in `args`, its
     * diagnostics); 'inherit' passes it through to this process's standard error unchanged.
     */
    stderr?: 'log' | 'inherit';
    /** How long to wait for "hello" (default 10000). */
    startTimeoutMs?: number;
    /** How long `stop()` waits before it kills the bridge (default 5000). */
    stopTimeoutMs?: number;
}

export interface BridgeEvents {
    event: [BridgeEvent];
    state: [StateEvent];
    peer: [PeerReadyEvent | PeerGoneEvent];
    frame: [FrameEvent];
    write: [WriteEvent];
    mtu: [MtuEvent];
    rejected: [RejectedEvent];
    close: [Exit];
    /** One line of the bridge's standard error, without its line feed. */
    log: [string];
}

export declare class Bridge extends EventEmitter {
    static start(options?: StartOptions): Promise<Bridge>;
    private constructor();

    /** The adapter's state from the last "state" event; undefined before the first. */
    readonly state: AdapterState | undefined;
    /** Ready peers: id (upper case) to "mtu". */
    readonly peers: ReadonlyMap<string, number>;
    /** The bridge's version, from its "hello". */
    readonly version: string;
    /** The bridge's process id. */
    readonly pid: number;
    /** Settles, never rejects, once the process has exited. */
    readonly exited: Promise<Exit>;

    on<K extends keyof BridgeEvents>(name: K, listener: (...args: BridgeEvents[K]) => void): this;
    once<K extends keyof BridgeEvents>(name: K, listener: (...args: BridgeEvents[K]) => void): this;
    off<K extends keyof BridgeEvents>(name: K, listener: (...args: BridgeEvents[K]) => void): this;

    /** The events from now on; the first consumer also gets those that came before it. Ends when the bridge exits. */
    events(): AsyncIterableIterator<BridgeEvent>;
    waitForPeer(options?: { id?: string; signal?: AbortSignal }): Promise<{ id: string; mtu: number }>;
    /** A string is sent as its UTF-8 bytes. Rejects with BridgeClosedError if the bridge goes first. */
    send(id: string, data: Uint8Array | string): Promise<Outcome>;
    stop(options?: { timeoutMs?: number }): Promise<Exit>;
}

export interface Peripheral {
    id?: string;
    advertiseAt?: number;
    serviceCount?: number;
    serviceUuid?: string;
    inboxUuid?: string;
    outboxUuid?: string;
    inbox?: boolean;
    outbox?: boolean;
    outboxNotifying?: boolean;
    writeLimit?: number | { at?: number; limit: number }[];
    connectFails?: boolean;
    discoverServicesFails?: boolean;
    discoverCharacteristicsFails?: boolean;
    subscribeFails?: boolean;
    writeFailures?: { all?: boolean; firstAttemptsOfEachFrame?: number; nth?: number[] };
    delays?: {
        connect?: number;
        discoverServices?: number;
        discoverCharacteristics?: number;
        subscribe?: number;
        write?: number;
        disconnect?: number;
    };
    disconnectAt?: number[];
    disconnectAfterWrites?: number;
    readvertiseAfter?: number;
    notifications?: { after?: number; data: Uint8Array | string }[];
    echo?: boolean;
}

export declare class World {
    adapter(steps: { at?: number; state: string | number }[]): this;
    /** Adds a peripheral and returns its id. */
    peripheral(options?: Peripheral): string;
    toJSON(): object;
}

export declare class BridgeError extends Error {}
export declare class BridgeStartError extends BridgeError {}
export declare class BridgeClosedError extends BridgeError {
    readonly code: number | null;
    readonly signal: NodeJS.Signals | null;
}
