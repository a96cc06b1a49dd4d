import assert from 'node:assert/strict';
import { test } from 'node:test';

import { parseEventLine } from '../lib/event_line.js';

const id = '5EC1A5E0-0000-4000-8000-000000000001';

test('event lines read as their JSON, by the fast path or the parser alike', () => {
    const lines = [
        `{"accepted":true,"bytes":20,"event":"write","id":"${id}","tag":"7"}`,
        `{"accepted":false,"bytes":3,"event":"write","id":"${id}","reason":"peer_gone","tag":"12"}`,
        `{"accepted":false,"bytes":3,"event":"write","id":"${id}","reason":"not_ready"}`,
        `{"accepted":true,"bytes":20,"event":"write","id":"${id}"}`,
        `{"accepted":true,"bytes":20,"event":"write","id":"${id}","tag":"caf\\u00e9"}`,
        `{"accepted":true,"bytes":20,"event":"write","id":"${id}","tag":"a\\"b"}`,
        `{"data":"aGk=","event":"frame","id":"${id}"}`,
        `{"data":"\\/\\/8=","event":"frame","id":"${id}"}`,
        `{"data":"\\u0061Gk=","event":"frame","id":"${id}"}`,
        `{"connected":false,"event":"peer","id":"${id}","mtu":23,"reason":"disconnected"}`,
        '{"event":"state","value":"ready"}',
    ];
    for (const line of lines) {
        const expected = JSON.parse(line);
        if (expected.event === 'frame') expected.data = Buffer.from(expected.data, 'base64');
        assert.deepEqual(parseEventLine(line), expected, line);
    }
    assert.throws(() => parseEventLine(`{"data":"aGk=","event":"frame","id":"${id}"`), SyntaxError);
});
