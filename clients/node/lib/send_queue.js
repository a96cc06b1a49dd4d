/**
 * The "send" side of a session: numbers every line written to the bridge, keeps at most
 * `maxInFlightPerPeer` frames per peer unanswered and holds the rest in order, coalesces the lines of
 * one turn of the event loop into one pipe write, and stops writing while the pipe is full.
 *
 * Each send's tag is the number of its line, so a "write" event (by its tag) and a "rejected" event
 * (by its line) both lead straight to the send they answer.
 */
export const maxInFlightPerPeer = 512;

export class SendQueue {
    #input;
    #lineNumber = 0;
    #pending = new Map(); // line number -> send
    #peers = new Map(); // peer id -> { inFlight, held: Fifo of sends }
    #lines = [];
    #flushScheduled = false;
    #pipeFull = false;
    #stopped = false;

    constructor(input) {
        this.#input = input;
        this.#input.on('drain', () => {
            this.#pipeFull = false;
            this.#flush();
        });
    }

    /** Queues a frame of `bytes` bytes, base64 `data`, for `peer` (an upper-case id); settles with its outcome. */
    send(peer, data, bytes) {
        let send;
        const promise = new Promise((resolve, reject) => {
            send = { peer, data, bytes, resolve, reject, promise: null };
        });
        send.promise = promise;
        let state = this.#peers.get(peer);
        if (state === undefined) {
            state = { inFlight: 0, held: new Fifo() };
            this.#peers.set(peer, state);
        }
        if (state.inFlight < maxInFlightPerPeer) this.#write(send, state);
        else state.held.push(send);
        return promise;
    }

    /** Writes a command that is not a send ("disconnect", "connect"), in order with the sends; its line counts too. */
    command(line) {
        ++this.#lineNumber;
        this.#lines.push(`${line}\n`);
        this.#scheduleFlush();
    }

    /** A "write" event: settles its send and lets the next held frame of that peer go. */
    answered(event) {
        const send = this.#take(Number(event.tag));
        if (send === undefined) return;
        const outcome = { accepted: event.accepted, bytes: event.bytes };
        if (event.reason !== undefined) outcome.reason = event.reason;
        send.resolve(outcome);
    }

    /** A "rejected" event: true if the line was a send, which then fails with `error`. */
    rejected(line, error) {
        const send = this.#take(line);
        if (send === undefined) return false;
        send.reject(error);
        return true;
    }

    /** Ends the input with "stop": frames not yet written are dropped and settle at `close`. */
    stop() {
        if (this.#stopped) return;
        this.#stopped = true;
        this.#lines = [];
        this.#input.end('{"command":"stop"}\n');
    }

    /**
     * The bridge is gone: every send not yet answered fails with `error`, as a rejection that counts as
     * handled, so that sends nobody awaits do not end the program as unhandled rejections.
     */
    close(error) {
        this.#stopped = true;
        this.#lines = [];
        for (const send of this.#pending.values()) rejectHandled(send, error);
        this.#pending.clear();
        for (const state of this.#peers.values()) {
            for (let send = state.held.shift(); send !== undefined; send = state.held.shift()) {
                rejectHandled(send, error);
            }
        }
        this.#peers.clear();
    }

    #take(line) {
        const send = this.#pending.get(line);
        if (send === undefined) return undefined;
        this.#pending.delete(line);
        const state = this.#peers.get(send.peer);
        state.inFlight--;
        if (!this.#stopped) {
            while (state.inFlight < maxInFlightPerPeer && state.held.length > 0) this.#write(state.held.shift(), state);
        }
        if (state.inFlight === 0 && state.held.length === 0) this.#peers.delete(send.peer);
        return send;
    }

    #write(send, state) {
        const line = ++this.#lineNumber;
        this.#pending.set(line, send);
        state.inFlight++;
        this.#lines.push(`{"command":"send","id":"${send.peer}","data":"${send.data}","tag":"${line}"}\n`);
        send.data = undefined;
        this.#scheduleFlush();
    }

    #scheduleFlush() {
        if (this.#flushScheduled) return;
        this.#flushScheduled = true;
        queueMicrotask(() => {
            this.#flushScheduled = false;
            this.#flush();
        });
    }

    #flush() {
        if (this.#pipeFull || this.#stopped || this.#lines.length === 0) return;
        const text = this.#lines.length === 1 ? this.#lines[0] : this.#lines.join('');
        this.#lines = [];
        if (!this.#input.write(text, 'latin1')) this.#pipeFull = true;
    }
}

/** Rejects a settler `{ promise, reject }` with a rejection that counts as handled. */
export function rejectHandled(settler, error) {
    settler.promise.catch(() => {});
    settler.reject(error);
}

/** A first-in first-out queue whose shift does not move what is left. */
class Fifo {
    #items = [];
    #head = 0;

    get length() {
        return this.#items.length - this.#head;
    }

    push(item) {
        this.#items.push(item);
    }

    shift() {
        if (this.#head === this.#items.length) return undefined;
        const item = this.#items[this.#head];
        this.#items[this.#head++] = undefined;
        if (this.#head === this.#items.length) {
            this.#items = [];
            this.#head = 0;
        } else if (this.#head >= 1024 && this.#head * 2 >= this.#items.length) {
            this.#items = this.#items.slice(this.#head);
            this.#head = 0;
        }
        return item;
    }
}
