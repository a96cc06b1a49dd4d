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

    /** Starts the bridge and resolves once it has said "hello" in protocol 2. */
    static async start({ path, args = [], world, stderr = 'log', startTimeoutMs = 10000, stopTimeoutMs = 5000 } = {}) {
        let worldPath;
        let tempDir;
        if (world instanceof World) {
            tempDir = await mkdtemp(join(tmpdir(), 'gattrelay-'));
            worldPath = join(tempDir, 'world.json');
            await writeFile(worldPath, JSON.stringify(world));
        } else if (world !== undefined) {
            worldPath = String(world);
        }
        const env = process.env;
        const program = path ??
            (worldPath === undefined ? env.GATTRELAY_PATH ?? 'gattrelay' : env.GATTRELAY_SIM_PATH ?? 'gattrelay-sim');
        const argv = ['--protocol', String(protocol), ...args, ...(worldPath === undefined ? [] : ['--', worldPath])];
        const stdio = ['pipe', 'pipe', stderr === 'inherit' ? 'inherit' : 'pipe'];
        const bridge = new Bridge(spawn(program, argv, { stdio }), program, tempDir, stopTimeoutMs);
        await bridge.#waitForHello(startTimeoutMs);
        return bridge;
    }

    constructor(child, program, tempDir, stopTimeoutMs) {
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
            this.#spawnError = new BridgeStartError(`cannot run ${program}: ${error.message}`);
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

    /** Resolves `{ id, mtu }` once a peer (that peer, if `id` is given) is ready; at once if one is. */
    waitForPeer({ id, signal } = {}) {
        let wanted;
        if (id !== undefined) {
            wanted = peerId(id);
            if (wanted === undefined) return Promise.reject(new TypeError(`not a peer id: ${id}`));
        }
        for (const [ready, mtu] of this.peers) {
            if (wanted === undefined || wanted === ready) return Promise.resolve({ id: ready, mtu });
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
                if (event.connected) this.#peerReady(event.id, event.mtu);
                else this.peers.delete(event.id);
                break;
            case 'mtu':
                if (this.peers.has(event.id)) this.peers.set(event.id, event.mtu);
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

    #peerReady(id, mtu) {
        this.peers.set(id, mtu);
        for (const waiter of this.#waiters) {
            if (waiter.wanted === undefined || waiter.wanted === id) {
                this.#dropWaiter(waiter);
                waiter.resolve({ id, mtu });
            }
        }
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
        this.peers.clear();
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

function peerId(id) {
    return typeof id === 'string' && uuidPattern.test(id) ? id.toUpperCase() : undefined;
}
