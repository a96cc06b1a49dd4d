// The keys and value types of a world file (docs/worlds.md), so that World refuses a mistake where it is made.

const integer = 'an integer';
const boolean = 'a boolean';
const string = 'a string';
const data = 'a string or bytes';
const anyOf = (...types) => ({ anyOf: types });

const delays = Object.fromEntries(
    ['connect', 'discoverServices', 'discoverCharacteristics', 'subscribe', 'write', 'disconnect'].map((k) => [k, integer]),
);

const timed = [{ after: integer, data }];

/** A connection script's keys: how one connection attempt goes. */
const connection = {
    fails: boolean,
    delays,
    discoverServicesFails: boolean,
    discoverCharacteristicsFails: boolean,
    subscribeFails: boolean,
    writes: [{ fails: boolean, after: integer, notify: timed }],
    notifications: timed,
    drop: { afterWrites: integer, after: integer },
    readvertiseAfter: integer,
};

/** A peripheral's keys; an array holds the type of its items. */
export const peripheralKeys = {
    id: string,
    advertiseAt: integer,
    name: string,
    rssi: anyOf(integer, [{ at: integer, dbm: integer }]),
    address: string,
    serviceUuid: string,
    inboxUuid: string,
    outboxUuid: string,
    serviceCount: integer,
    inbox: boolean,
    outbox: boolean,
    outboxNotifying: boolean,
    writeLimit: anyOf(integer, [{ at: integer, limit: integer }]),
    connectFails: boolean,
    discoverServicesFails: boolean,
    discoverCharacteristicsFails: boolean,
    subscribeFails: boolean,
    writeFailures: { all: boolean, firstAttemptsOfEachFrame: integer, nth: [integer] },
    delays,
    disconnectAt: [integer],
    disconnectAfterWrites: integer,
    readvertiseAfter: integer,
    notifications: timed,
    echo: boolean,
    connections: [connection],
};

/** An adapter step's keys. */
export const adapterStepKeys = { at: integer, state: anyOf(string, integer), reason: string };

/** Throws a TypeError naming `path` and what is wrong when `value` does not have the type `type`. */
export function check(value, type, path) {
    if (type.anyOf) {
        const match = type.anyOf.find((t) => fits(value, t));
        if (match === undefined) wrong(value, type.anyOf.map(describe).join(' or '), path);
        check(value, match, path);
    } else if (Array.isArray(type)) {
        if (!Array.isArray(value)) wrong(value, 'an array', path);
        value.forEach((item, i) => check(item, type[0], `${path}[${i}]`));
    } else if (typeof type === 'object') {
        if (!isPlainObject(value)) wrong(value, 'an object', path);
        for (const [key, item] of Object.entries(value)) {
            const itemPath = path ? `${path}.${key}` : key;
            if (!Object.hasOwn(type, key)) throw new TypeError(`World: ${itemPath}: unknown key`);
            if (item !== undefined) check(item, type[key], itemPath);
        }
    } else if (!fits(value, type)) {
        wrong(value, type, path);
    }
}

function fits(value, type) {
    if (type === integer) return Number.isInteger(value);
    if (type === boolean) return typeof value === 'boolean';
    if (type === string) return typeof value === 'string';
    if (type === data) return typeof value === 'string' || value instanceof Uint8Array || Array.isArray(value);
    if (Array.isArray(type)) return Array.isArray(value);
    return isPlainObject(value);
}

function describe(type) {
    if (Array.isArray(type)) return 'an array';
    return typeof type === 'object' ? 'an object' : type;
}

function isPlainObject(value) {
    return typeof value === 'object' && value !== null && !Array.isArray(value) && !(value instanceof Uint8Array);
}

function wrong(value, expected, path) {
    const found = value === null ? 'null' : Array.isArray(value) ? 'an array' : typeof value;
    throw new TypeError(`World: ${path || 'options'}: expected ${expected}, found ${found}`);
}
