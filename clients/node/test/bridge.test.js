// The package against the real bridge on the simulated stack (gattrelay-sim, from GATTRELAY_SIM_PATH or
// the build folder of this source tree).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { once } from 'node:events';
import { test } from 'node:test';

import { Bridge, BridgeClosedError, BridgeStartError, World } from '../index.js';
import { fixture } from './sim_path.js';

test('echo round trip: outcomes by tag, frames back in order, nothing lost before the first consumer', async () => {
    const world = new World();
    const id = world.peripheral({ echo: true, writeLimit: 182, notifications: [{ after: 0, data: 'hi' }] });
    const bridge = await Bridge.start({ world });
    assert.match(bridge.version, /^\d+\.\d+\.\d+$/);
    const peer = await bridge.waitForPeer({ id: id.toLowerCase() });
    assert.deepEqual(peer, { id, mtu: 185 });
    assert.equal(bridge.state, 'ready');
    assert.equal(bridge.peers.get(id), 185);

    // Attached only now: "state", "peer" and the notification came before, and are kept for it.
    const events = bridge.events();
    const frames = Array.from({ length: 600 }, (_, i) => Buffer.from(`frame ${i}`));
    const outcomes = await Promise.all(frames.map((frame) => bridge.send(id, frame)));
    assert.deepEqual(outcomes, frames.map((frame) => ({ accepted: true, bytes: frame.length })));
    const seen = [];
    let frameEvents = 0;
    for await (const event of events) {
        seen.push(event);
        if (event.event === 'frame' && ++frameEvents === frames.length + 1) break;
    }
    await bridge.stop();
    assert.deepEqual(seen.slice(0, 2), [
        { event: 'state', value: 'ready' },
        { event: 'peer', connected: true, id, mtu: 185 },
    ]);
    const echoed = seen.filter((e) => e.event === 'frame').map((e) => e.data.toString());
    assert.deepEqual(echoed, ['hi', ...frames.map(String)]);
    assert.deepEqual(new Set(seen.filter((e) => e.event === 'write').map((e) => e.tag)).size, frames.length);
});

test('every send settles once, with the reason the bridge gives', async () => {
    const world = new World();
    const failing = world.peripheral({ writeFailures: { all: true } });
    const leaving = world.peripheral({ delays: { write: 20 }, disconnectAfterWrites: 2 });
    const shrinking = world.peripheral({ writeLimit: [{ at: 0, limit: 182 }, { at: 200, limit: 20 }] });
    const unready = world.peripheral({ subscribeFails: true });
    const bridge = await Bridge.start({ world });
    await Promise.all([failing, leaving, shrinking].map((id) => bridge.waitForPeer({ id })));
    await new Promise((resolve) => setTimeout(resolve, 250));
    const gone = new Promise((resolve) => bridge.on('peer', (e) => e.id === leaving && !e.connected && resolve(e)));

    const cases = [
        [failing, 1, { accepted: false, bytes: 1, reason: 'write_failed' }],
        [leaving, 1, { accepted: true, bytes: 1 }],
        [leaving, 2, { accepted: true, bytes: 2 }],
        [leaving, 3, { accepted: false, bytes: 3, reason: 'peer_gone' }],
        [leaving, 4, { accepted: false, bytes: 4, reason: 'peer_gone' }],
        [shrinking, 100, { accepted: false, bytes: 100, reason: 'too_long' }],
        [shrinking, 20, { accepted: true, bytes: 20 }],
        [unready, 1, { accepted: false, bytes: 1, reason: 'not_ready' }],
        ['5EC1A5E0-0000-4000-8000-0000000000FF', 1, { accepted: false, bytes: 1, reason: 'unknown_peer' }],
        [failing, 16385, { accepted: false, bytes: 16385, reason: 'too_long' }],
    ];
    const outcomes = await Promise.all(cases.map(([id, size]) => bridge.send(id, new Uint8Array(size).fill(65))));
    assert.deepEqual(outcomes, cases.map(([, , outcome]) => outcome));
    // The limit read by the write that failed is reported before that write's outcome.
    assert.equal(bridge.peers.get(shrinking), 23);
    assert.equal((await gone).reason, 'disconnected');
    assert.equal(bridge.peers.has(leaving), false);
    await bridge.stop();
});

test('more than a queue of frames to one slow peer: held back in order, never refused as queue_full', async () => {
    const world = new World();
    const id = world.peripheral({ echo: true, delays: { write: 1 } });
    const bridge = await Bridge.start({ world });
    await bridge.waitForPeer({ id });
    const frames = Array.from({ length: 1500 }, (_, i) => Buffer.from(String(i)));
    const echoed = [];
    const allEchoed = new Promise((resolve) => {
        bridge.on('frame', (e) => echoed.push(e.data.toString()) === frames.length && resolve());
    });
    const outcomes = await Promise.all(frames.map((frame) => bridge.send(id, frame)));
    assert.deepEqual(outcomes.filter((o) => !o.accepted), []);
    await allEchoed;
    await bridge.stop();
    assert.deepEqual(echoed, frames.map(String));
});

test('many peers at once', async () => {
    const world = new World();
    const ids = Array.from({ length: 24 }, (_, i) =>
        world.peripheral({ echo: true, writeLimit: 182, advertiseAt: i * 5 }));
    const bridge = await Bridge.start({ world });
    await Promise.all(ids.map((id) => bridge.waitForPeer({ id })));
    assert.equal(bridge.peers.size, ids.length);
    const echoed = new Map(ids.map((id) => [id, []]));
    let count = 0;
    const allEchoed = new Promise((resolve) => {
        bridge.on('frame', (e) => {
            echoed.get(e.id).push(e.data.toString());
            if (++count === 100 * ids.length) resolve();
        });
    });
    const sends = ids.flatMap((id) => Array.from({ length: 100 }, (_, i) => bridge.send(id, `${id} ${i}`)));
    assert.ok((await Promise.all(sends)).every((o) => o.accepted));
    await allEchoed;
    await bridge.stop();
    for (const id of ids) assert.deepEqual(echoed.get(id), Array.from({ length: 100 }, (_, i) => `${id} ${i}`));
});

test('stop with sends in flight: each resolves or rejects with BridgeClosedError, and the bridge exits 0', async () => {
    const world = new World();
    const id = world.peripheral({ delays: { write: 30 } });
    const bridge = await Bridge.start({ world });
    await bridge.waitForPeer({ id });
    let unhandled = 0;
    const countUnhandled = () => unhandled++;
    process.on('unhandledRejection', countUnhandled);
    const forgotten = bridge.waitForPeer({ id: '5EC1A5E0-0000-4000-8000-0000000000FE' });
    const sends = Array.from({ length: 700 }, () => bridge.send(id, 'x'));
    await sends[0];
    bridge.send(id, 'nobody awaits this one');
    const nobody = bridge.waitForPeer({ id: '5EC1A5E0-0000-4000-8000-0000000000FF', signal: AbortSignal.timeout(20) });
    await assert.rejects(nobody, { name: 'TimeoutError' });
    const exit = await bridge.stop();
    assert.deepEqual(exit, { code: 0, signal: null });
    const settled = await Promise.allSettled(sends);
    assert.equal(settled[0].status, 'fulfilled');
    const rejected = settled.filter((s) => s.status === 'rejected');
    assert.ok(rejected.length >= 600);
    assert.ok(rejected.every((s) => s.reason instanceof BridgeClosedError));
    await assert.rejects(bridge.send(id, 'late'), BridgeClosedError);
    await assert.rejects(bridge.waitForPeer(), BridgeClosedError);
    bridge.send(id, 'nor this one');
    await new Promise((resolve) => setTimeout(resolve, 10));
    process.off('unhandledRejection', countUnhandled);
    assert.equal(unhandled, 0);
    await assert.rejects(forgotten, BridgeClosedError);
});

test('the bridge killed under the client: everything pending fails with BridgeClosedError', async () => {
    const world = new World();
    const id = world.peripheral({ delays: { write: 1000 } });
    const bridge = await Bridge.start({ world });
    await bridge.waitForPeer({ id });
    const sends = Array.from({ length: 600 }, () => bridge.send(id, 'x'));
    const waiter = bridge.waitForPeer({ id: '5EC1A5E0-0000-4000-8000-0000000000FF' });
    const events = bridge.events();
    const closed = once(bridge, 'close');
    setTimeout(() => process.kill(bridge.pid, 'SIGKILL'), 50);

    for (const result of await Promise.allSettled([...sends, waiter])) {
        assert.equal(result.status, 'rejected');
        assert.ok(result.reason instanceof BridgeClosedError);
        assert.equal(result.reason.signal, 'SIGKILL');
    }
    assert.deepEqual(await closed, [{ code: null, signal: 'SIGKILL' }]);
    for await (const event of events) assert.notEqual(event.event, 'write');
    assert.equal(bridge.peers.size, 0);
});

test('a bridge that does not end on "stop" is killed after the timeout', async () => {
    const bridge = await Bridge.start({ path: fixture('ignores-stop') });
    const send = bridge.send('5EC1A5E0-0000-4000-8000-0000000000FF', 'x');
    assert.deepEqual(await bridge.stop({ timeoutMs: 100 }), { code: null, signal: 'SIGKILL' });
    await assert.rejects(send, BridgeClosedError);
});

test('a line from the bridge that is not JSON ends the session, and what is pending fails quoting it', async () => {
    const bridge = await Bridge.start({ path: fixture('says-nonsense') });
    await assert.rejects(bridge.send('5EC1A5E0-0000-4000-8000-0000000000FF', 'x'), (error) => {
        assert.ok(error instanceof BridgeClosedError);
        assert.match(error.message, /not JSON: nonsense/);
        return true;
    });
    assert.deepEqual(await bridge.exited, { code: null, signal: 'SIGKILL' });
});

test('a bridge that cannot start is a BridgeStartError naming why', async () => {
    const cases = [
        [{ path: '/nonexistent/gattrelay' }, /cannot run \/nonexistent\/gattrelay: .*ENOENT. Looked at \/nonexistent\/gattrelay \(the "path" option\)/],
        [{ world: new World(), name: '' }, /exited with status 2: .*--name/],
        [{ path: fixture('speaks-protocol-1') }, /speaks protocol 1; this client speaks 2/],
        [{ world: fixture('not-a-world.json') }, /exited with status 2: gattrelay-sim: .*not-a-world\.json/],
        [{ world: new World(), args: ['--no-such-option'] }, /exited with status 2: .*--no-such-option/],
    ];
    for (const [options, message] of cases) {
        await assert.rejects(Bridge.start(options), (error) => {
            assert.ok(error instanceof BridgeStartError, String(error));
            assert.match(error.message, message);
            return true;
        });
    }
});

test('a missing program: where it was looked for, and the three ways to get it', async () => {
    const sim = process.env.GATTRELAY_SIM_PATH;
    const searchPath = process.env.PATH;
    try {
        const cases = [
            ['/nonexistent/gattrelay-sim', searchPath, /Looked at \/nonexistent\/gattrelay-sim \(from GATTRELAY_SIM_PATH\)/],
            [undefined, '/nonexistent', /Looked for gattrelay-sim on PATH/],
        ];
        for (const [variable, path, looked] of cases) {
            if (variable === undefined) delete process.env.GATTRELAY_SIM_PATH;
            else process.env.GATTRELAY_SIM_PATH = variable;
            process.env.PATH = path;
            await assert.rejects(Bridge.start({ world: new World() }), (error) => {
                assert.ok(error instanceof BridgeStartError);
                assert.match(error.message, looked);
                assert.match(error.message, /GATTRELAY_SIM_PATH/);
                assert.match(error.message, /build\/bin\/gattrelay-sim/);
                assert.match(error.message, /Debian package/);
                return true;
            });
        }
    } finally {
        process.env.GATTRELAY_SIM_PATH = sim;
        process.env.PATH = searchPath;
    }
});

test('filters as named options, on a World of named peripherals with signal strengths and addresses', async () => {
    const world = new World();
    const near = world.peripheral({ name: 'Kit-1', rssi: -50, address: 'AA:BB:CC:00:00:01', writeLimit: 182 });
    const far = world.peripheral({ name: 'Kit-2', rssi: [{ at: 0, dbm: -80 }], address: 'AA:BB:CC:00:00:02' });
    const other = world.peripheral({ name: 'Other', rssi: -40, address: 'aa:bb:cc:00:00:03' });
    const cases = [
        [{ name: 'Kit', minRssi: -70 }, near, { id: near, mtu: 185, name: 'Kit-1', rssi: -50, address: 'AA:BB:CC:00:00:01' }],
        [{ peer: ['AA:BB:CC:00:00:03'] }, other, { id: other, mtu: 23, name: 'Other', rssi: -40, address: 'AA:BB:CC:00:00:03' }],
    ];
    for (const [filters, wanted, announced] of cases) {
        const bridge = await Bridge.start({ world, ...filters });
        try {
            assert.deepEqual(await bridge.waitForPeer(), announced);
            // All three advertise from the start: the others were found and left alone by then.
            for (const id of [near, far, other].filter((id) => id !== wanted)) {
                assert.equal((await bridge.send(id, 'x')).reason, 'unknown_peer');
            }
        } finally {
            await bridge.stop();
        }
    }
});

test('a state says why; disconnect ends a link and holds the peer, connect lets it come back', async () => {
    const world = new World();
    world.adapter([{ at: 0, state: 'powered_off', reason: 'blocked' }, { at: 50, state: 'powered_on' }]);
    // On the simulated stack a held peer comes back at its next advertisement after "connect".
    const id = world.peripheral({ echo: true, readvertiseAfter: 1000 });
    const bridge = await Bridge.start({ world });
    const events = bridge.events();
    await bridge.waitForPeer({ id });
    const gone = await bridge.disconnect(id.toLowerCase());
    assert.deepEqual(gone, { connected: false, event: 'peer', id, mtu: 23, reason: 'closed' });
    assert.equal(bridge.peers.has(id), false);
    assert.equal(await bridge.disconnect(id), undefined);   // not ready: nothing to wait for
    assert.equal((await bridge.send(id, 'x')).reason, 'unknown_peer');
    await bridge.connect(id);
    assert.deepEqual(await bridge.waitForPeer({ id }), { id, mtu: 23 });
    await assert.rejects(bridge.disconnect('not-an-id'), TypeError);
    await bridge.stop();
    await assert.rejects(bridge.connect(id), BridgeClosedError);
    const seen = [];
    for await (const event of events) seen.push(event);
    assert.deepEqual(seen.slice(0, 2), [
        { event: 'state', reason: 'blocked', value: 'powered_off' },
        { event: 'state', value: 'ready' },
    ]);
    assert.deepEqual(seen.filter((e) => e.event === 'peer').map((e) => e.connected), [true, false, true]);
});

test('connection scripts: a failed attempt, then writes answered as scripted, notifications after them, a drop', async () => {
    const world = new World();
    const id = world.peripheral({
        writeLimit: 182,
        connections: [
            { fails: true, readvertiseAfter: 10 },
            {
                delays: { connect: 5 },
                writes: [
                    { after: 5, notify: [{ after: 10, data: [1, 2] }, { after: 20, data: 'hi' }] },
                    { fails: true, after: 5 },
                    { after: 5 },
                ],
                drop: { afterWrites: 3, after: 5 },
            },
        ],
    });
    const bridge = await Bridge.start({ world });
    const departures = [];
    bridge.on('log', (line) => departures.push(line));
    const events = bridge.events();
    await bridge.waitForPeer({ id });
    assert.deepEqual(await bridge.send(id, 'a'), { accepted: true, bytes: 1 });
    // The second write fails, and the bridge's retry is the script's third.
    assert.deepEqual(await bridge.send(id, 'b'), { accepted: true, bytes: 1 });
    const seen = [];
    for await (const event of events) {
        seen.push(event);
        if (event.event === 'peer' && event.reason === 'disconnected') break;
    }
    assert.deepEqual(await bridge.stop(), { code: 0, signal: null });
    assert.deepEqual(seen.filter((e) => e.event === 'frame').map((e) => [...e.data]), [[1, 2], [...Buffer.from('hi')]]);
    assert.deepEqual(seen.filter((e) => e.event === 'peer').map((e) => e.reason ?? 'connected'),
        ['connect_failed', 'connected', 'disconnected']);
    assert.deepEqual(departures, []);   // the client kept to the script
});

test('World refuses an unknown key or a wrong type where it is given, naming it', () => {
    const world = new World();
    const mistakes = [
        [{ wirteLimit: 20 }, 'World: wirteLimit: unknown key'],
        [{ delays: { wirte: 5 } }, 'World: delays.wirte: unknown key'],
        [{ writeLimit: [{ at: 0, limit: 20 }, { at: 5, limt: 9 }] }, 'World: writeLimit[1].limt: unknown key'],
        [{ writeLimit: '20' }, 'World: writeLimit: expected an integer or an array, found string'],
        [{ echo: 'yes' }, 'World: echo: expected a boolean, found string'],
        [{ notifications: [{ data: 5 }] }, 'World: notifications[0].data: expected a string or bytes, found number'],
        [{ writeFailures: { nth: [1.5] } }, 'World: writeFailures.nth[0]: expected an integer, found number'],
        [{ rssi: [{ at: 0, dmb: -50 }] }, 'World: rssi[0].dmb: unknown key'],
        [{ name: 5 }, 'World: name: expected a string, found number'],
        [{ connections: [{ writes: [{ notfy: [] }] }] }, 'World: connections[0].writes[0].notfy: unknown key'],
        [{ connections: [{ drop: { afterWrites: '2' } }] }, 'World: connections[0].drop.afterWrites: expected an integer, found string'],
        [{ connections: [{ notifications: [{ data: null }] }] }, 'World: connections[0].notifications[0].data: expected a string or bytes, found null'],
        [null, 'World: options: expected an object, found null'],
    ];
    for (const [options, message] of mistakes) assert.throws(() => world.peripheral(options), { name: 'TypeError', message });
    assert.throws(() => world.adapter([{ at: 0, sate: 'powered_on' }]), { message: 'World: adapter[0].sate: unknown key' });
    assert.throws(() => world.adapter([{ state: 'powered_off', reason: 1 }]), {
        message: 'World: adapter[0].reason: expected a string, found number',
    });
    assert.throws(() => world.adapter([{ state: true }]), {
        message: 'World: adapter[0].state: expected a string or an integer, found boolean',
    });
    assert.deepEqual(world.toJSON(), { peripherals: [] });
});

test('with -v each diagnostic line is a "log" event, or goes to standard error unchanged', async () => {
    const world = new World();
    world.peripheral({ echo: true });
    const bridge = await Bridge.start({ world, args: ['-v'] });
    const lines = [];
    bridge.on('log', (line) => lines.push(line));
    await bridge.waitForPeer();
    await bridge.stop();
    assert.ok(lines.length > 0);
    for (const line of lines) assert.match(line, /^gattrelay-sim: [^\n]+$/);

    const script = `import { Bridge, World } from ${JSON.stringify(new URL('../index.js', import.meta.url).href)};
        const world = new World();
        world.peripheral({ echo: true });
        const bridge = await Bridge.start({ world, args: ['-v'], stderr: 'inherit' });
        bridge.on('log', () => console.log('log event'));
        await bridge.waitForPeer();
        await bridge.stop();`;
    const child = spawnSync(process.execPath, ['--input-type=module', '-e', script], { encoding: 'utf8', timeout: 30000 });
    assert.equal(child.stdout, '');
    assert.match(child.stderr, /^gattrelay-sim: .*ready/m);
});

test('a recorded session replays in one line: World.fromRecording', async () => {
    const bridge = await Bridge.start({ world: World.fromRecording(fixture('echo-session.jsonl')) });
    const id = '5EC1A5E0-0000-4000-8000-000000000001';
    assert.deepEqual(await bridge.waitForPeer({ id }), { id, mtu: 185 });
    const events = bridge.events();
    assert.deepEqual(await bridge.send(id, 'hi'), { accepted: true, bytes: 2 });
    for await (const event of events) {
        if (event.event !== 'frame') continue;
        assert.equal(event.data.toString(), 'hi');
        break;
    }
    await bridge.stop();
    assert.throws(() => World.fromRecording('x.jsonl').peripheral({}), /a recording is replayed as it is/);
});
