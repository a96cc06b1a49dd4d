// Tests run gattrelay-sim from GATTRELAY_SIM_PATH, else from this source tree's build folder; their fixture
// files are shared with the Python package's tests.
import { fileURLToPath } from 'node:url';

process.env.GATTRELAY_SIM_PATH ??= fileURLToPath(new URL('../../../build/bin/gattrelay-sim', import.meta.url));

export function fixture(name) {
    return fileURLToPath(new URL(`../../fixtures/${name}`, import.meta.url));
}
