import { Buffer } from 'node:buffer';

import { adapterStepKeys, check, peripheralKeys } from './world_keys.js';

/**
 * A simulated world for `gattrelay-sim`, built in code: `Bridge.start({ world })` writes it to a temporary
 * world file. Keys and values are those of the world file format (docs/worlds.md in the gattrelay sources);
 * notification data may be given as bytes or as a string (its UTF-8 bytes) instead of base64. An unknown key
 * or a value of the wrong type throws a TypeError naming it, at the call that gives it.
 */
export class World {
    #adapter;
    #peripherals = [];
    #recording;

    /**
     * The world of a session recorded with `gattrelay --record FILE` (docs/record.md in the gattrelay sources):
     * `Bridge.start({ world: World.fromRecording('session.jsonl') })` replays it with `gattrelay-sim --replay`.
     */
    static fromRecording(path) {
        const world = new World();
        world.#recording = String(path);
        return world;
    }

    /** The recording this world replays, if it is one. */
    get recording() {
        return this.#recording;
    }

    /** The adapter's states over time, e.g. `[{ at: 0, state: 'powered_off' }, { at: 1000, state: 'powered_on' }]`. */
    adapter(steps) {
        this.#refuseIfRecorded();
        check(steps, [adapterStepKeys], 'adapter');
        this.#adapter = steps;
        return this;
    }

    /** Adds a peripheral and returns its id (upper case), made up when `options.id` is not given. */
    peripheral(options = {}) {
        this.#refuseIfRecorded();
        check(options, peripheralKeys, '');
        const id = (options.id ?? madeUpId(this.#peripherals.length + 1)).toUpperCase();
        const peripheral = { ...options, id };
        if (options.notifications !== undefined) peripheral.notifications = timedInBase64(options.notifications);
        if (options.connections !== undefined) {
            peripheral.connections = options.connections.map((c) => {
                const script = { ...c };
                if (c.notifications !== undefined) script.notifications = timedInBase64(c.notifications);
                if (c.writes !== undefined) {
                    script.writes = c.writes.map((w) => (w.notify === undefined ? w : { ...w, notify: timedInBase64(w.notify) }));
                }
                return script;
            });
        }
        this.#peripherals.push(peripheral);
        return id;
    }

    #refuseIfRecorded() {
        if (this.#recording !== undefined) {
            throw new TypeError('World: a recording is replayed as it is; to change it, print it as a world file with '
                + '`gattrelay-sim --replay FILE --print-world` and edit that');
        }
    }

    toJSON() {
        const world = { peripherals: this.#peripherals };
        if (this.#adapter !== undefined) world.adapter = this.#adapter;
        return world;
    }
}

function madeUpId(n) {
    return `5EC1A5E0-0000-4000-8000-${n.toString(16).toUpperCase().padStart(12, '0')}`;
}

// Notifications with their data as bytes or text, in the file's base64.
function timedInBase64(list) {
    return list.map((n) => ({ ...n, data: Buffer.from(n.data).toString('base64') }));
}
