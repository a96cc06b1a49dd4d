import json

import pytest

from gattrelay.event_line import parse_event_line
from gattrelay.events import parse_event

ID = "5EC1A5E0-0000-4000-8000-000000000001"


@pytest.mark.parametrize(
    "line",
    [
        f'{{"accepted":true,"bytes":20,"event":"write","id":"{ID}","tag":"7"}}',
        f'{{"accepted":false,"bytes":3,"event":"write","id":"{ID}","reason":"peer_gone","tag":"12"}}',
        f'{{"accepted":false,"bytes":3,"event":"write","id":"{ID}","reason":"not_ready"}}',
        f'{{"accepted":true,"bytes":20,"event":"write","id":"{ID}"}}',
        f'{{"accepted":true,"bytes":20,"event":"write","id":"{ID}","tag":"caf\\u00e9"}}',
        f'{{"accepted":true,"bytes":20,"event":"write","id":"{ID}","tag":"a\\",b"}}',
        f'{{"data":"aGk=","event":"frame","id":"{ID}"}}',
        f'{{"data":"\\/\\/8=","event":"frame","id":"{ID}"}}',
        f'{{"data":"\\u0061Gk=","event":"frame","id":"{ID}"}}',
        f'{{"connected":false,"event":"peer","id":"{ID}","mtu":23,"reason":"disconnected"}}',
        '{"event":"state","value":"ready"}',
    ],
)
def test_event_lines_read_as_their_json_by_the_fast_path_or_the_parser_alike(line):
    assert parse_event_line(line) == parse_event(json.loads(line))


def test_frame_data_is_decoded():
    assert parse_event_line(f'{{"data":"\\/\\/4v","event":"frame","id":"{ID}"}}').data == b"\xff\xfe/"


@pytest.mark.parametrize("line", ["", "[1]", f'{{"data":"aGk=","event":"frame","id":"{ID}"', '{"event":"peer"}'])
def test_a_line_that_is_no_event_raises(line):
    with pytest.raises((ValueError, KeyError)):
        parse_event_line(line)
