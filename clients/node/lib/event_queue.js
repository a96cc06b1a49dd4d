/**
 * One consumer's view of the event stream, as an async iterator: events are queued until read, and the
 * iteration ends once the bridge has closed and everything before that was read.
 */
export class EventQueue {
    #items = [];
    #head = 0;
    #ended = false;
    #wake = null;
    #detach;

    constructor(detach) {
        this.#detach = detach;
    }

    push(event) {
        this.#items.push(event);
        this.#notify();
    }

    end() {
        this.#ended = true;
        this.#notify();
    }

    async next() {
        while (this.#head === this.#items.length) {
            if (this.#ended) return { done: true, value: undefined };
            await new Promise((resolve) => (this.#wake = resolve));
        }
        const value = this.#items[this.#head];
        this.#items[this.#head++] = undefined;
        if (this.#head === this.#items.length) {
            this.#items = [];
            this.#head = 0;
        }
        return { done: false, value };
    }

    async return() {
        this.#items = [];
        this.#head = 0;
        this.#ended = true;
        this.#detach(this);
        this.#notify();
        return { done: true, value: undefined };
    }

    [Symbol.asyncIterator]() {
        return this;
    }

    #notify() {
        const wake = this.#wake;
        this.#wake = null;
        wake?.();
    }
}
