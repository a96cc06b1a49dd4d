import { Buffer } from 'node:buffer';

// The bridge writes each event as compact JSON with its keys in byte order, so the two events that come
// once per frame, "write" and "frame", have a fixed layout that is read here without a JSON parser. Any
// line that does not match that layout exactly is parsed as JSON.

const frameHead = '{"data":"';
const frameTail = '","event":"frame","id":"'; // then the 36-character id and '"}'
const writeHead = '{"accepted":';
const writeMiddle = ',"event":"write","id":"'; // then the id and '",'
const reasonKey = '"reason":"';
const tagKey = '"tag":"';
const idLength = 36;

/** The event of one line: the parsed JSON object, with a frame's "data" as a Buffer. */
export function parseEventLine(line) {
    const event = readFrame(line) ?? readWrite(line) ?? JSON.parse(line);
    if (event.event === 'frame' && typeof event.data === 'string') event.data = Buffer.from(event.data, 'base64');
    return event;
}

function readFrame(line) {
    const tail = line.length - idLength - 2 - frameTail.length;
    if (!line.startsWith(frameHead) || !line.startsWith(frameTail, tail) || !line.endsWith('"}')) return undefined;
    let data = line.slice(frameHead.length, tail);
    // Base64 text can hold no escape but "\/" for "/"; anything else goes to the JSON parser.
    if (data.includes('\\')) {
        data = data.replaceAll('\\/', '/');
        if (data.includes('\\') || data.includes('"')) return undefined;
    } else if (data.includes('"')) {
        return undefined;
    }
    return { data, event: 'frame', id: line.slice(tail + frameTail.length, line.length - 2) };
}

function readWrite(line) {
    if (!line.startsWith(writeHead) || !line.endsWith('"}')) return undefined;
    const accepted = line.startsWith('true,"bytes":', writeHead.length);
    if (!accepted && !line.startsWith('false,"bytes":', writeHead.length)) return undefined;
    const bytesAt = writeHead.length + (accepted ? 13 : 14);
    const middle = line.indexOf(writeMiddle, bytesAt);
    if (middle === -1) return undefined;
    const bytes = line.slice(bytesAt, middle);
    const idAt = middle + writeMiddle.length;
    let at = idAt + idLength;
    if (!isDigits(bytes) || !line.startsWith('",', at)) return undefined;
    const event = { accepted, bytes: Number(bytes), event: 'write', id: line.slice(idAt, at) };
    at += 2;
    if (line.startsWith(reasonKey, at)) {
        const end = line.indexOf('"', at + reasonKey.length);
        event.reason = line.slice(at + reasonKey.length, end);
        at = end + 2;
        if (line[end + 1] !== ',') return undefined;
    }
    if (!line.startsWith(tagKey, at)) return undefined;
    const tag = line.slice(at + tagKey.length, line.length - 2);
    if (!isDigits(tag)) return undefined;
    event.tag = tag;
    return event;
}

function isDigits(text) {
    if (text.length === 0) return false;
    for (let i = 0; i < text.length; i++) {
        const c = text.charCodeAt(i);
        if (c < 48 || c > 57) return false;
    }
    return true;
}
