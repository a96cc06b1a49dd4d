"""Reads one line of the bridge's output as an event.

The bridge writes each event as compact JSON with its keys in byte order, so the two events that come once
per frame, "write" and "frame", have a fixed layout that is read here without the JSON parser. Any line that
does not match that layout exactly is parsed as JSON.
"""

from __future__ import annotations

import binascii
import json

from .events import Event, Frame, Write, parse_event

_FRAME_HEAD = '{"data":"'
_FRAME_TAIL = '","event":"frame","id":"'  # then the 36-character id and '"}'
_WRITE_TRUE = '{"accepted":true,"bytes":'
_WRITE_FALSE = '{"accepted":false,"bytes":'
_WRITE_MIDDLE = ',"event":"write","id":"'  # then the id and '",'
_REASON = '"reason":"'
_TAG = '"tag":"'
_ID_LENGTH = 36
_decode_json = json.JSONDecoder().decode


def parse_event_line(line: str) -> Event | None:
    """The event of a line, or None for an event this package does not know. Raises ValueError, KeyError or
    TypeError for a line that is not an event."""
    if line.endswith('"}'):
        if line.startswith(_FRAME_HEAD):
            event = _read_frame(line)
        elif line.startswith('{"accepted":'):
            event = _read_write(line)
        else:
            event = None
        if event is not None:
            return event
    fields = _decode_json(line)
    if not isinstance(fields, dict):
        raise ValueError("not a JSON object")
    return parse_event(fields)


def _read_frame(line: str) -> Frame | None:
    tail = len(line) - _ID_LENGTH - 2 - len(_FRAME_TAIL)
    if not line.startswith(_FRAME_TAIL, tail):
        return None
    data = line[len(_FRAME_HEAD) : tail]
    # Base64 text can hold no escape but "\/" for "/"; anything else goes to the JSON parser.
    if "\\" in data:
        data = data.replace("\\/", "/")
    if "\\" in data or '"' in data:
        return None
    return Frame(line[tail + len(_FRAME_TAIL) : -2], binascii.a2b_base64(data, strict_mode=True))


def _read_write(line: str) -> Write | None:
    if line.startswith(_WRITE_TRUE):
        accepted, at = True, len(_WRITE_TRUE)
    elif line.startswith(_WRITE_FALSE):
        accepted, at = False, len(_WRITE_FALSE)
    else:
        return None
    middle = line.find(_WRITE_MIDDLE, at)
    size = line[at:middle]
    id_at = middle + len(_WRITE_MIDDLE)
    at = id_at + _ID_LENGTH
    if middle == -1 or not size.isdigit() or not size.isascii() or not line.startswith('",', at):
        return None
    peer_id = line[id_at:at]
    at += 2
    reason = None
    if line.startswith(_REASON, at):
        end = line.find('",', at + len(_REASON))
        if end == -1:
            return None
        reason = line[at + len(_REASON) : end]
        at = end + 2
    if not line.startswith(_TAG, at):
        return None
    tag = line[at + len(_TAG) : -2]
    if not tag.isdigit() or not tag.isascii():
        return None
    return Write(peer_id, accepted, int(size), reason, tag)
