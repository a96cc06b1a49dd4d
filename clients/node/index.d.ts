import { EventEmitter } from 'node:events';

export type AdapterState =
    'unknown' | 'resetting' | 'unsupported' | 'unauthorized' | 'powered_off' | 'ready' | 'failed';

export type WriteReason = 'too_long' | 'unknown_peer' | 'not_ready' | 'queue_full' | 'write_failed' | 'pairing_required' | 'peer_gone';
export type PeerGoneReason = 'connect_failed' | 'setup_failed' | 'disconnected' | 'closed' | 'pairing_required';
/** Why the adapter is in its state, where the backend knows. */
export type StateReason = 'no_bus' | 'no_bluetoothd' | 'no_adapter' | 'adapter_missing' | 'access_denied' | 'blocked';
export type RejectedReason = 'not_json' | 'not_a_command' | 'bad_id' | 'bad_data' | 'bad_tag' | 'too_long';

export interface StateEvent { event: 'state'; value: AdapterState; reason?: StateReason }
/** What a ready peer's announcement says: its advertised name, signal strength (dBm) and address, where known. */
export interface ReadyPeer {
    id: string;
    mtu: number;
    name?: string;
    rssi?: number;
    /** `AA:BB:CC:DD:EE:FF`, where the stack shows addresses (Linux, gattrelay-sim), not on macOS. */
    address?: string;
}
export interface PeerReadyEvent extends ReadyPeer { event: 'peer'; connected: true }
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
    /** `--peer`: only these peers, by id or device address. */
    peer?: string | string[];
    /** `--name`: only peripherals whose name starts with one of these. */
    name?: string | string[];
    /** `--min-rssi`: only peripherals reported at this many dBm or stronger. */
    minRssi?: number;
    /** `--service`, `--inbox`, `--outbox`: your own GATT service, e.g. '180d' or a full UUID. */
    service?: string;
    inbox?: string;
    outbox?: string;
    /** `--adapter` (gattrelay on Linux): 'hci1' or the adapter's address. */
    adapter?: string;
    /** `-v`: the bridge's diagnostics, as "log" events (or on standard error with `stderr: 'inherit'`). */
    verbose?: boolean;
    /** More options for the bridge, after `--protocol 2` and the named ones above, e.g. `['--list']`. */
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
    waitForPeer(options?: { id?: string; signal?: AbortSignal }): Promise<ReadyPeer>;
    /** A string is sent as its UTF-8 bytes. Rejects with BridgeClosedError if the bridge goes first. */
    send(id: string, data: Uint8Array | string): Promise<Outcome>;
    /**
     * Ends the peer's link and keeps it unconnected until `connect(id)`. Resolves its "peer" connected false
     * event once it came, when the peer was ready; else undefined at once.
     */
    disconnect(id: string): Promise<PeerGoneEvent | undefined>;
    /** Lets a disconnected peer be connected again at its next discovery; resolves at once. */
    connect(id: string): Promise<void>;
    stop(options?: { timeoutMs?: number }): Promise<Exit>;
}

export interface Peripheral {
    id?: string;
    advertiseAt?: number;
    /** The name its discovery reports carry. */
    name?: string;
    /** Its signal strength in dBm, or steps of it over time. */
    rssi?: number | { at?: number; dbm: number }[];
    /** The device address the stack shows, `AA:BB:CC:DD:EE:FF`. */
    address?: string;
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
    delays?: Delays;
    disconnectAt?: number[];
    disconnectAfterWrites?: number;
    readvertiseAfter?: number;
    notifications?: Notification[];
    echo?: boolean;
    /** When not empty, the n-th connection attempt goes as the n-th script says, in place of the keys above. */
    connections?: ConnectionScript[];
}

export interface Delays {
    connect?: number;
    discoverServices?: number;
    discoverCharacteristics?: number;
    subscribe?: number;
    write?: number;
    disconnect?: number;
}

export interface Notification {
    after?: number;
    data: Uint8Array | string;
}

/** How one connection attempt goes (docs/worlds.md, "Connection script"). */
export interface ConnectionScript {
    fails?: boolean;
    delays?: Delays;
    discoverServicesFails?: boolean;
    discoverCharacteristicsFails?: boolean;
    subscribeFails?: boolean;
    /** The connection's writes in order: outcome, delay of the answer, notifications after the answer. */
    writes?: { fails?: boolean; after?: number; notify?: Notification[] }[];
    notifications?: Notification[];
    drop?: { afterWrites?: number; after?: number };
    readvertiseAfter?: number;
}

export declare class World {
    /** The world of a session recorded with `gattrelay --record FILE`, replayed with `gattrelay-sim --replay`. */
    static fromRecording(path: string): World;
    /** The recording this world replays, if it is one. */
    readonly recording: string | undefined;
    adapter(steps: { at?: number; state: string | number; reason?: StateReason }[]): this;
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
