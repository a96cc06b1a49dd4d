// Frames per second and echo round trip through this package against gattrelay-sim, and the same through a
// bare client that only writes send lines and counts event lines, in the same run. One echoing peer.
//
//   node clients/node/bench/throughput.js [--sim PATH] [--runs 5] [--frames 100000] [--samples 5000]
import { spawn } from 'node:child_process';
import { mkdtemp, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

import { Bridge, World } from '../index.js';

const { values: options } = parseArgs({
    options: {
        sim: { type: 'string', default: fileURLToPath(new URL('../../../build/bin/gattrelay-sim', import.meta.url)) },
        runs: { type: 'string', default: '5' },
        frames: { type: 'string', default: '100000' },
        samples: { type: 'string', default: '5000' },
    },
});
const runs = Number(options.runs);
const frameCount = Number(options.frames);
const sampleCount = Number(options.samples);
const frame = Buffer.alloc(20, 0x61);
const inFlight = 512; // what the package keeps per peer, so that both clients pipeline alike

const world = new World();
const peer = world.peripheral({ echo: true, writeLimit: 512 });
const dir = await mkdtemp(join(tmpdir(), 'gattrelay-bench-'));
const worldPath = join(dir, 'world.json');
await writeFile(worldPath, JSON.stringify(world));

/** A bare client: spawns the bridge, reads lines as they come, and hands each chunk to `onChunk`. */
async function bareSession(onChunk) {
    const child = spawn(options.sim, ['--protocol', '2', '--', worldPath], { stdio: ['pipe', 'pipe', 'inherit'] });
    child.stdout.setEncoding('utf8');
    let ready = false;
    let text = '';
    await new Promise((resolve) => {
        child.stdout.on('data', (chunk) => {
            if (ready) return onChunk(chunk);
            text += chunk;
            if (text.includes('"event":"peer"')) {
                ready = true;
                resolve();
            }
        });
    });
    return child;
}

function lineCount(chunk) {
    let n = 0;
    for (let i = chunk.indexOf('\n'); i !== -1; i = chunk.indexOf('\n', i + 1)) n++;
    return n;
}

async function bareRate() {
    const line = `{"command":"send","id":"${peer}","data":"${frame.toString('base64')}"}\n`;
    let sent = 0;
    let lines = 0;
    let start;
    let child;
    const done = new Promise((resolve) => {
        const pump = () => {
            // Each echoed frame is two lines, "write" then "frame": half the lines count answered frames.
            const room = Math.min(inFlight - (sent - Math.floor(lines / 2)), frameCount - sent);
            if (room > 0) {
                child.stdin.write(line.repeat(room));
                sent += room;
            }
        };
        bareSession((chunk) => {
            lines += lineCount(chunk);
            if (lines === 2 * frameCount) resolve(performance.now() - start);
            else pump();
        }).then((c) => {
            child = c;
            start = performance.now();
            pump();
        });
    });
    const ms = await done;
    child.stdin.end('{"command":"stop"}\n');
    return frameCount / (ms / 1000);
}

async function bareRoundTrips() {
    const line = `{"command":"send","id":"${peer}","data":"${frame.toString('base64')}"}\n`;
    const samples = [];
    let sentAt;
    let lines = 0;
    let child;
    let next;
    const send = () => {
        sentAt = performance.now();
        child.stdin.write(line);
    };
    child = await bareSession((chunk) => {
        lines += lineCount(chunk);
        if (lines < 2) return;
        lines = 0;
        samples.push(performance.now() - sentAt);
        if (samples.length === sampleCount) next();
        else send();
    });
    await new Promise((resolve) => {
        next = resolve;
        send();
    });
    child.stdin.end('{"command":"stop"}\n');
    return samples;
}

// Through the package, keeping `window` sends unsettled: the next send is made as one settles. With a window
// of all the frames, every send is made at once and the package holds back all but 512.
async function packageRate(window) {
    const bridge = await Bridge.start({ world: worldPath, path: options.sim });
    await bridge.waitForPeer();
    let echoed = 0;
    let sent = 0;
    const start = performance.now();
    const done = new Promise((resolve) => bridge.on('frame', () => ++echoed === frameCount && resolve()));
    const next = () => {
        if (sent < frameCount) {
            sent++;
            bridge.send(peer, frame).then(next);
        }
    };
    for (let i = 0; i < window; i++) next();
    await done;
    const ms = performance.now() - start;
    await bridge.stop();
    return frameCount / (ms / 1000);
}

async function packageRoundTrips() {
    const bridge = await Bridge.start({ world: worldPath, path: options.sim });
    await bridge.waitForPeer();
    let echo;
    bridge.on('frame', () => echo());
    const samples = [];
    for (let i = 0; i < sampleCount; i++) {
        const start = performance.now();
        const echoed = new Promise((resolve) => (echo = resolve));
        await bridge.send(peer, frame);
        await echoed;
        samples.push(performance.now() - start);
    }
    await bridge.stop();
    return samples;
}

const median = (xs) => quantile(xs, 0.5);
function quantile(xs, q) {
    const sorted = [...xs].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

const rates = { bare: [], windowed: [], allAtOnce: [] };
const trips = { bare: [], package: [] };
for (let run = 0; run < runs; run++) {
    rates.bare.push(await bareRate());
    rates.windowed.push(await packageRate(2 * inFlight));
    rates.allAtOnce.push(await packageRate(frameCount));
    trips.bare.push(await bareRoundTrips());
    trips.package.push(await packageRoundTrips());
}
await rm(dir, { recursive: true, force: true });

const us = (ms) => `${(ms * 1000).toFixed(0)} µs`;
console.log(`gattrelay-sim: ${options.sim}; ${runs} runs; medians of the runs`);
console.log(`${frameCount} pipelined 20-byte frames, one peer, frames/s echoed:`);
const bare = median(rates.bare);
console.log(`  bare client (${inFlight} in flight): ${bare.toFixed(0)}`);
const labels = { windowed: `package, ${2 * inFlight} sends unsettled`, allAtOnce: 'package, every send at once' };
for (const [name, label] of Object.entries(labels)) {
    const rate = median(rates[name]);
    console.log(`  ${label}: ${rate.toFixed(0)} (${(100 * rate / bare).toFixed(0)}% of the bare client)`);
}
console.log(`echo round trip of one 20-byte frame (${sampleCount} a run), median / 99th percentile:`);
for (const who of ['bare', 'package']) {
    const all = trips[who];
    console.log(`  ${who}: ${us(median(all.map(median)))} / ${us(median(all.map((s) => quantile(s, 0.99))))}`);
}
