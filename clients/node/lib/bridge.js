import { Buffer } from 'node:buffer';
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { mkdtemp, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { BridgeClosedError, BridgeError, BridgeStartError } from './errors.js';
import { parseEventLine } from './event_line.js';
import { EventQueue } from './event_queue.js';
import { rejectHandled, SendQueue } from './send_queue.js';
import { World } from './world.js';

const protocol = 2;
const maxFrameBytes = 16384;
const uuidPattern = /^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$/;
const eventNames = new Set(['event', 'state', 'peer', 'frame', 'write', 'mtu', 'rejected', 'close']);
const stderrTailChars = 4096;

/**
 * A running bridge process speaking protocol 2. Emits every event by its name ("state", "peer", "frame",
 * "write", "mtu", "rejected") and as "event"; "close" once the process has exited. Events that arrive
 * before the first listener or `events()` iterator are kept for it, but for "write" events.
 */
export class Bridge extends EventEmitter {
    /** The adapter's state, from the last "state" event (undefined before the first). */
    state = undefined;
    /** Ready peers: id -> "mtu". */
    peers = new Map();
    /** Ready peers: id -> what their "peer" event said, with the current "mtu". */
    #ready = new Map();
    /** Peers being disconnected: id -> the settlers of the `disconnect` calls waiting for their end. */
    #disconnecting = new Map();
    /** The bridge's version, from its "hello". */
    version = undefined;
    /** Settles (never rejects) with `{ code, signal }` once the process has exited. */
    exited;

    #child;
    #sends;
    #tempDir;
    #stopTimeoutMs;
    #hello;
    #helloTimer;
    #killTimer;
    #partial = '';
    #stderr = '';
    #stderrPartial = '';
    #spawnError;
    #closeError;
    #backlog = [];
    #backlogFlushing = false;
    #queues = new Set();
    #waiters = new Set();
    #settleExited;
    #lastSendId;
    #lastSendPeer;

    /**
     * Starts the bridge and resolves once it has said "hello" in protocol 2. The named options (`peer`, `name`,
     * `minRssi`, `service`, `inbox`, `outbox`, `adapter`, `verbose`) become the bridge's own, before `args`.
     */
    static async start(options = {}) {
        const { path, args = [], world, stderr = 'log', startTimeoutMs = 10000, stopTimeoutMs = 5000 } = options;
        let worldPath;
        let tempDir;
        if (world instanceof World && world.recording !== undefined) {
            worldPath = world.recording;
        } else if (world instanceof World) {
            tempDir = await mkdtemp(join(tmpdir(), 'gattrelay-'));
            worldPath = join(tempDir, 'world.json');
            await writeFile(worldPath, JSON.stringify(world));
        } else if (world !== undefined) {
            worldPath = String(world);
        }
        const found = findProgram(path, worldPath === undefined ? 'gattrelay' : 'gattrelay-sim');
        const argv = ['--protocol', String(protocol), ...optionArgs(options), ...args,
            ...(worldPath === undefined ? [] : world?.recording !== undefined ? ['--replay', worldPath] : ['--', worldPath])];
        const stdio = ['pipe', 'pipe', stderr === 'inherit' ? 'inherit' : 'pipe'];
        const bridge = new Bridge(spawn(found.program, argv, { stdio }), found, tempDir, stopTimeoutMs);
        await bridge.#waitForHello(startTimeoutMs);
        return bridge;
    }

    constructor(child, found, tempDir, stopTimeoutMs) {
        super();
        this.#child = child;
        this.#tempDir = tempDir;
        this.#stopTimeoutMs = stopTimeoutMs;
        this.#sends = new SendQueue(child.stdin);
        this.exited = new Promise((resolve) => (this.#settleExited = resolve));
        this.on('newListener', (name) => {
            if (eventNames.has(name)) this.#consumerAttached();
        });
        // A write to a bridge that died fails with EPIPE; its exit is what reports it.
        child.stdin.on('error', () => {});
        child.stdout.setEncoding('utf8');
        child.stdout.on('data', (text) => this.#read(text));
        // Each line on standard error (the -v diagnostics) is a "log" event; the tail names why a bridge died.
        child.stderr?.setEncoding('utf8');
        child.stderr?.on('data', (text) => {
            this.#stderr = (this.#stderr + text).slice(-stderrTailChars);
            const lines = (this.#stderrPartial + text).split('\n');
            this.#stderrPartial = lines.pop();
            for (const line of lines) this.emit('log', line);
        });
        child.on('error', (error) => {
            this.#spawnError = new BridgeStartError(`cannot run ${found.program}: ${error.message}. ${found.advice}`);
            if (child.pid === undefined) this.#closed(null, null);
        });
        child.on('close', (code, signal) => this.#closed(code, signal));
    }

    /** The bridge's process id. */
    get pid() {
        return this.#child.pid;
    }

    /** An async iterator over the events from now on (and over those kept for the first consumer). */
    events() {
        const queue = new EventQueue((q) => this.#queues.delete(q));
        if (this.#backlog === null && this.#closeError !== undefined) queue.end();
        else this.#queues.add(queue);
        this.#consumerAttached();
        return queue;
    }

    /**
     * Resolves `{ id, mtu, name?, rssi?, address? }` once a peer (that peer, if `id` is given) is ready; at once
     * if one is.
     */
    waitForPeer({ id, signal } = {}) {
        let wanted;
        if (id !== undefined) {
            wanted = peerId(id);
            if (wanted === undefined) return Promise.reject(new TypeError(`not a peer id: ${id}`));
        }
        for (const [ready, peer] of this.#ready) {
            if (wanted === undefined || wanted === ready) return Promise.resolve({ ...peer });
        }
        if (this.#closeError !== undefined) return handledRejection(this.#closeError);
        if (signal?.aborted) return Promise.reject(signal.reason);
        let waiter;
        const promise = new Promise((resolve, reject) => (waiter = { wanted, resolve, reject, signal, promise: null }));
        waiter.promise = promise;
        waiter.onAbort = () => {
            this.#dropWaiter(waiter);
            waiter.reject(signal.reason);
        };
        signal?.addEventListener('abort', waiter.onAbort, { once: true });
        this.#waiters.add(waiter);
        return promise;
    }

    /**
     * Sends a frame (bytes, or a string sent as its UTF-8 bytes) to a peer and resolves its outcome,
     * `{ accepted, bytes, reason? }`. Rejects with BridgeClosedError if the bridge goes first.
     */
    send(id, data) {
        // Most sends go to the peer of the send before: its id is checked and upper-cased once.
        if (id !== this.#lastSendId) {
            this.#lastSendPeer = peerId(id);
            this.#lastSendId = id;
        }
        const peer = this.#lastSendPeer;
        if (peer === undefined) return Promise.reject(new TypeError(`not a peer id: ${id}`));
        const bytes = typeof data === 'string' ? Buffer.from(data) : data;
        if (!(bytes instanceof Uint8Array)) return Promise.reject(new TypeError('a frame is a Uint8Array or a string'));
        if (bytes.length === 0) return Promise.reject(new TypeError('a frame holds at least one byte'));
        if (this.#closeError !== undefined) return handledRejection(this.#closeError);
        if (this.#killTimer !== undefined) return handledRejection(new BridgeClosedError('the bridge is stopping'));
        // Refused here as the bridge would refuse it, without sending a line it might find too long.
        if (bytes.length > maxFrameBytes) {
            return Promise.resolve({ accepted: false, bytes: bytes.length, reason: 'too_long' });
        }
        const base64 = (Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.length))
            .toString('base64');
        return this.#sends.send(peer, base64, bytes.length);
    }

    /**
     * Ends the link to a peer and keeps the bridge from connecting it again until `connect(id)`. Resolves the
     * peer's "peer" connected false event (reason "closed") when the peer was ready, once that event came;
     * else at once with undefined (a link still being set up then ends with its own "closed" event).
     */
    disconnect(id) {
        const peer = this.#command('disconnect', id);
        if (typeof peer !== 'string') return peer;
        if (!this.peers.has(peer)) return Promise.resolve(undefined);
        let settler;
        const promise = new Promise((resolve, reject) => (settler = { resolve, reject, promise: null }));
        settler.promise = promise;
        if (!this.#disconnecting.has(peer)) this.#disconnecting.set(peer, []);
        this.#disconnecting.get(peer).push(settler);
        return promise;
    }

    /**
     * Lets the bridge connect a peer again after `disconnect(id)`, at its next discovery; for an id that was
     * never disconnected it changes nothing. Resolves at once: wait for the peer with `waitForPeer({ id })`.
     */
    connect(id) {
        const peer = this.#command('connect', id);
        return typeof peer === 'string' ? Promise.resolve(undefined) : peer;
    }

    /** Writes a "disconnect" or "connect" line and gives the upper-case id, or the promise to return instead. */
    #command(name, id) {
        const peer = peerId(id);
        if (peer === undefined) return Promise.reject(new TypeError(`not a peer id: ${id}`));
        if (this.#closeError !== undefined) return handledRejection(this.#closeError);
        if (this.#killTimer !== undefined) return handledRejection(new BridgeClosedError('the bridge is stopping'));
        this.#sends.command(`{"command":"${name}","id":"${peer}"}`);
        return peer;
    }

    /**
     * Sends "stop", closes the bridge's input and resolves `{ code, signal }` when it has exited, killing it
     * after `timeoutMs`. Sends still pending then reject with BridgeClosedError.
     */
    stop({ timeoutMs = this.#stopTimeoutMs } = {}) {
        if (this.#closeError === undefined && this.#killTimer === undefined) {
            this.#sends.stop();
            this.#killTimer = setTimeout(() => this.#child.kill('SIGKILL'), timeoutMs);
        }
        return this.exited;
    }

    #waitForHello(timeoutMs) {
        return new Promise((resolve, reject) => {
            this.#hello = { resolve, reject };
            this.#helloTimer = setTimeout(() => {
                this.#fail(new BridgeStartError(`no "hello" from the bridge within ${timeoutMs} ms`));
            }, timeoutMs);
        });
    }

    #read(text) {
        let start = 0;
        if (this.#partial !== '') {
            text = this.#partial + text;
            this.#partial = '';
        }
        for (let end = text.indexOf('\n'); end !== -1; end = text.indexOf('\n', start)) {
            const line = text.slice(start, end);
            start = end + 1;
            let event;
            try {
                event = parseEventLine(line);
            } catch {
                this.#fail(new BridgeClosedError(`the bridge wrote a line that is not JSON: ${line.slice(0, 200)}`));
                return;
            }
            this.#handle(event);
            if (this.#closeError !== undefined) return;
        }
        this.#partial = text.slice(start);
    }

    #handle(event) {
        if (this.#hello !== undefined) {
            this.#greeted(event);
            return;
        }
        switch (event.event) {
            case 'state':
                this.state = event.value;
                break;
            case 'peer':
                if (event.connected) this.#peerReady(event);
                else this.#peerGone(event);
                break;
            case 'mtu':
                if (this.peers.has(event.id)) {
                    this.peers.set(event.id, event.mtu);
                    this.#ready.get(event.id).mtu = event.mtu;
                }
                break;
            case 'write':
                this.#sends.answered(event);
                break;
            case 'rejected':
                this.#sends.rejected(event.line, new BridgeError(`the bridge rejected a send line: ${event.reason}`));
                break;
        }
        this.#deliver(event);
    }

    #greeted(event) {
        const hello = this.#hello;
        if (event.event !== 'hello') {
            this.#fail(new BridgeStartError(`the bridge began with ${JSON.stringify(event)} instead of "hello"`));
        } else if (event.protocol !== protocol) {
            const message = `the bridge speaks protocol ${event.protocol}; this client speaks ${protocol}`;
            this.#fail(new BridgeStartError(message));
        } else {
            this.#hello = undefined;
            clearTimeout(this.#helloTimer);
            this.version = event.version;
            hello.resolve();
        }
    }

    #peerReady(event) {
        const { connected, event: kind, ...peer } = event; // id, mtu, and name, rssi, address where known
        this.peers.set(peer.id, peer.mtu);
        this.#ready.set(peer.id, peer);
        for (const waiter of this.#waiters) {
            if (waiter.wanted === undefined || waiter.wanted === peer.id) {
                this.#dropWaiter(waiter);
                waiter.resolve({ ...peer });
            }
        }
    }

    #peerGone(event) {
        this.peers.delete(event.id);
        this.#ready.delete(event.id);
        for (const settler of this.#disconnecting.get(event.id) ?? []) settler.resolve(event);
        this.#disconnecting.delete(event.id);
    }

    #dropWaiter(waiter) {
        this.#waiters.delete(waiter);
        waiter.signal?.removeEventListener('abort', waiter.onAbort);
    }

    /** Ends the session on a fault of the bridge: the error goes to whoever waits for the start or a send. */
    #fail(error) {
        this.#closeError ??= error;
        this.#child.stdout.removeAllListeners('data');
        this.#child.kill('SIGKILL');
    }

    #closed(code, signal) {
        if (this.#settleExited === undefined) return;
        const settleExited = this.#settleExited;
        this.#settleExited = undefined;
        clearTimeout(this.#helloTimer);
        clearTimeout(this.#killTimer);
        const how = signal !== null ? `was killed by ${signal}` : `exited with status ${code}`;
        const last = this.#stderr.trimEnd().split('\n').pop();
        const detail = last ? `: ${last}` : '';
        if (this.#hello !== undefined) {
            const closeError = this.#closeError;
            const startError = closeError instanceof BridgeStartError ? closeError : undefined;
            this.#hello.reject(this.#spawnError ?? startError ??
                new BridgeStartError(closeError?.message ?? `the bridge ${how}${detail}`));
            this.#hello = undefined;
        }
        this.#closeError ??= new BridgeClosedError(`the bridge ${how}${detail}`, { code, signal });
        this.#sends.close(this.#closeError);
        for (const waiter of this.#waiters) {
            this.#dropWaiter(waiter);
            rejectHandled(waiter, this.#closeError);
        }
        for (const settlers of this.#disconnecting.values()) {
            for (const settler of settlers) rejectHandled(settler, this.#closeError);
        }
        this.#disconnecting.clear();
        this.peers.clear();
        this.#ready.clear();
        if (this.#tempDir !== undefined) rm(this.#tempDir, { recursive: true, force: true }).catch(() => {});
        this.#deliver({ event: 'close', code, signal });
        settleExited({ code, signal });
    }

    #consumerAttached() {
        if (this.#backlog === null || this.#backlogFlushing) return;
        this.#backlogFlushing = true;
        // Later in this turn, so that every listener attached in the same turn gets the kept events.
        queueMicrotask(() => {
            const backlog = this.#backlog;
            this.#backlog = null;
            for (const event of backlog) this.#dispatch(event);
        });
    }

    #deliver(event) {
        // Kept for the first consumer, but for "write" events: each has settled its send already, and a
        // program that only sends would otherwise keep one for every frame.
        if (this.#backlog === null) this.#dispatch(event);
        else if (event.event !== 'write') this.#backlog.push(event);
    }

    #dispatch(event) {
        if (event.event === 'close') {
            for (const queue of this.#queues) queue.end();
            this.#queues.clear();
            this.emit('close', { code: event.code, signal: event.signal });
            return;
        }
        for (const queue of this.#queues) queue.push(event);
        this.emit(event.event, event);
        this.emit('event', event);
    }
}

/** A promise rejected with `error`, counted as handled: the bridge going away never ends the program. */
function handledRejection(error) {
    const promise = Promise.reject(error);
    promise.catch(() => {});
    return promise;
}

// The named options of `start` and the bridge's options they stand for; `peer` and `name` may be arrays.
const optionNames = [['peer', '--peer'], ['name', '--name'], ['minRssi', '--min-rssi'], ['service', '--service'],
    ['inbox', '--inbox'], ['outbox', '--outbox'], ['adapter', '--adapter']];

function optionArgs(options) {
    const args = [];
    for (const [key, option] of optionNames) {
        for (const value of [options[key] ?? []].flat()) {
            if (typeof value !== 'string' && typeof value !== 'number') {
                throw new TypeError(`Bridge.start: ${key}: expected a string or a number, found ${typeof value}`);
            }
            args.push(option, String(value));
        }
    }
    if (options.verbose) args.push('-v');
    return args;
}

/**
 * The program to run, and what to say if it cannot be run: where it was looked for, and how to get it.
 * `name` is "gattrelay" or "gattrelay-sim".
 */
function findProgram(path, name) {
    const variable = name === 'gattrelay' ? 'GATTRELAY_PATH' : 'GATTRELAY_SIM_PATH';
    const fromEnv = process.env[variable];
    const program = path ?? fromEnv ?? name;
    const looked = path !== undefined ? `Looked at ${program} (the "path" option).`
        : fromEnv !== undefined ? `Looked at ${program} (from ${variable}).` : `Looked for ${name} on PATH.`;
    const advice = `${looked} Name the program with ${variable} or the "path" option (in a gattrelay source ` +
        `checkout, build/bin/${name}, which scripts/build makes), or install gattrelay's Debian package ` +
        `(apt install ./gattrelay_VERSION_ARCH.deb, which scripts/package makes), which puts it on PATH.`;
    return { program, advice };
}

function peerId(id) {
    return typeof id === 'string' && uuidPattern.test(id) ? id.toUpperCase() : undefined;
}
