// The package as users get it: `npm pack`, installed offline into a temporary project, passes an echo round trip.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdir, mkdtemp, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import './sim_path.js';

const run = promisify(execFile);

const roundTrip = `
import { Bridge, World } from 'gattrelay';
const world = new World();
const id = world.peripheral({ echo: true });
const bridge = await Bridge.start({ world });
const frame = new Promise((resolve) => bridge.once('frame', (e) => resolve(e.data.toString())));
await bridge.waitForPeer({ id });
console.log(JSON.stringify(await bridge.send(id, 'ping')), await frame);
await bridge.stop();
`;

test('the packed package installs offline and echoes', async () => {
    const dir = await mkdtemp(join(tmpdir(), 'gattrelay-pack-'));
    try {
        const source = fileURLToPath(new URL('..', import.meta.url));
        const { stdout: packed } = await run('npm', ['pack', '--silent', '--pack-destination', dir], { cwd: source });
        const app = join(dir, 'app');
        await mkdir(app);
        await writeFile(join(app, 'package.json'), '{"name":"app","private":true,"type":"module"}');
        await writeFile(join(app, 'main.js'), roundTrip);
        const npmInstall = ['install', '--offline', '--no-audit', '--no-fund', '--silent', join(dir, packed.trim())];
        await run('npm', npmInstall, { cwd: app });
        const { stdout } = await run(process.execPath, ['main.js'], { cwd: app, timeout: 60000 });
        assert.equal(stdout, '{"accepted":true,"bytes":4} ping\n');
    } finally {
        await rm(dir, { recursive: true, force: true });
    }
});
