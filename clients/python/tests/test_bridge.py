"""The package against the real bridge on the simulated stack."""

import asyncio
import gc
import logging
import os
import re
import signal

import pytest
from conftest import FIXTURES

from gattrelay import Bridge, BridgeClosedError, BridgeStartError, Frame, Outcome, Peer, State, World, Write

NOBODY = "5EC1A5E0-0000-4000-8000-0000000000FF"


async def test_echo_round_trip_with_nothing_lost_before_the_first_stream():
    world = World()
    peer_id = world.peripheral(echo=True, write_limit=182, notifications=[{"after": 0, "data": "hi"}])
    async with await Bridge.start(world=world) as bridge:
        assert bridge.version is not None and bridge.version.count(".") == 2
        assert await bridge.wait_for_peer(peer_id.lower()) == Peer(peer_id, True, 185)
        assert bridge.state == "ready" and dict(bridge.peers) == {peer_id: 185}
        # Made only now: "state", "peer" and the notification came before, and are kept for it.
        events = bridge.events()
        frames = [f"frame {i}".encode() for i in range(600)]
        outcomes = await asyncio.gather(*(bridge.send(peer_id, frame) for frame in frames))
        assert outcomes == [Outcome(True, len(frame)) for frame in frames]
        seen = []
        frame_events = 0
        async for event in events:
            seen.append(event)
            frame_events += isinstance(event, Frame)
            if frame_events == len(frames) + 1:
                break
    assert bridge.returncode == 0
    assert seen[:2] == [State("ready"), Peer(peer_id, True, 185)]
    assert [e.data for e in seen if isinstance(e, Frame)] == [b"hi", *frames]
    assert len({e.tag for e in seen if isinstance(e, Write)}) == len(frames)


async def test_every_send_settles_once_with_the_reason_the_bridge_gives():
    world = World()
    failing = world.peripheral(write_failures={"all": True})
    leaving = world.peripheral(delays={"write": 20}, disconnect_after_writes=2)
    shrinking = world.peripheral(write_limit=[{"at": 0, "limit": 182}, {"at": 200, "limit": 20}])
    unready = world.peripheral(subscribe_fails=True)
    async with await Bridge.start(world=world) as bridge:
        for peer_id in (failing, leaving, shrinking):
            await bridge.wait_for_peer(peer_id)
        await asyncio.sleep(0.25)
        events = bridge.events()
        cases = [
            (failing, 1, Outcome(False, 1, "write_failed")),
            (leaving, 1, Outcome(True, 1)),
            (leaving, 2, Outcome(True, 2)),
            (leaving, 3, Outcome(False, 3, "peer_gone")),
            (leaving, 4, Outcome(False, 4, "peer_gone")),
            (shrinking, 100, Outcome(False, 100, "too_long")),
            (shrinking, 20, Outcome(True, 20)),
            (unready, 1, Outcome(False, 1, "not_ready")),
            (NOBODY, 1, Outcome(False, 1, "unknown_peer")),
            (failing, 16385, Outcome(False, 16385, "too_long")),
        ]
        outcomes = await asyncio.gather(*(bridge.send(peer_id, b"A" * size) for peer_id, size, _ in cases))
        assert outcomes == [outcome for _, _, outcome in cases]
        # The limit read by the write that failed is reported before that write's outcome.
        assert bridge.peers[shrinking] == 23
        async for event in events:
            if isinstance(event, Peer) and event.id == leaving and not event.connected:
                assert event == Peer(leaving, False, 23, "disconnected")
                break
        assert leaving not in bridge.peers


async def test_more_than_a_queue_of_frames_to_a_slow_peer_is_held_back_never_refused():
    world = World()
    peer_id = world.peripheral(echo=True, delays={"write": 1})
    async with await Bridge.start(world=world) as bridge:
        await bridge.wait_for_peer(peer_id)
        echoes = bridge.events(Frame)
        frames = [str(i).encode() for i in range(1500)]
        outcomes = await asyncio.gather(*(bridge.send(peer_id, frame) for frame in frames))
        assert [o for o in outcomes if not o.accepted] == []
        assert [(await anext(echoes)).data for _ in frames] == frames


async def test_many_peers():
    world = World()
    ids = [world.peripheral(echo=True, write_limit=182, advertise_at=i * 5) for i in range(24)]
    async with await Bridge.start(world=world) as bridge:
        for peer_id in ids:
            await bridge.wait_for_peer(peer_id)
        assert len(bridge.peers) == len(ids)
        frames = bridge.events(Frame)
        outcomes = await asyncio.gather(*(bridge.send(p, f"{p} {i}") for p in ids for i in range(100)))
        assert all(o.accepted for o in outcomes)
        echoed = {p: [] for p in ids}
        for _ in range(100 * len(ids)):
            frame = await anext(frames)
            echoed[frame.id].append(frame.data.decode())
    assert echoed == {p: [f"{p} {i}" for i in range(100)] for p in ids}


async def test_stop_with_sends_in_flight():
    world = World()
    peer_id = world.peripheral(delays={"write": 30})
    bridge = await Bridge.start(world=world)
    await bridge.wait_for_peer(peer_id)
    reported = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(context))
    sends = [bridge.send(peer_id, b"x") for _ in range(700)]
    await sends[0]
    bridge.send(peer_id, b"nobody awaits this one")
    assert await bridge.stop() == 0
    results = await asyncio.gather(*sends, return_exceptions=True)
    failed = [r for r in results if not isinstance(r, Outcome)]
    assert len(failed) >= 600 and all(isinstance(r, BridgeClosedError) for r in failed)
    with pytest.raises(BridgeClosedError):
        bridge.send(peer_id, b"late")
    with pytest.raises(BridgeClosedError):
        await bridge.wait_for_peer()
    gc.collect()
    assert reported == []


async def test_the_bridge_killed_under_the_client():
    world = World()
    peer_id = world.peripheral(delays={"write": 1000})
    bridge = await Bridge.start(world=world)
    await bridge.wait_for_peer(peer_id)
    sends = [bridge.send(peer_id, b"x") for _ in range(600)]
    waiter = asyncio.ensure_future(bridge.wait_for_peer(NOBODY))
    events = bridge.events()
    asyncio.get_running_loop().call_later(0.05, os.kill, bridge.pid, signal.SIGKILL)
    for result in await asyncio.gather(*sends, waiter, return_exceptions=True):
        assert isinstance(result, BridgeClosedError) and result.returncode == -signal.SIGKILL
    assert [e async for e in events if isinstance(e, Write)] == []
    assert await bridge.stop() == -signal.SIGKILL
    assert len(bridge.peers) == 0


async def test_a_bridge_that_does_not_end_on_stop_is_killed_after_the_timeout():
    bridge = await Bridge.start(path=FIXTURES / "ignores-stop")
    send = bridge.send(NOBODY, b"x")
    assert await bridge.stop(timeout=0.1) == -signal.SIGKILL
    with pytest.raises(BridgeClosedError):
        await send


async def test_a_line_that_is_no_event_ends_the_session_and_what_is_pending_fails_quoting_it():
    bridge = await Bridge.start(path=FIXTURES / "says-nonsense")
    with pytest.raises(BridgeClosedError, match="cannot read .*nonsense"):
        await bridge.send(NOBODY, b"x")
    assert await bridge.stop() == -signal.SIGKILL


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"path": "/nonexistent/gattrelay"}, r"cannot run /nonexistent/gattrelay: .*Looked at /nonexistent/gattrelay \(the path"),
        ({"world": World(), "name": ""}, "exited with status 2: .*--name"),
        ({"path": FIXTURES / "speaks-protocol-1"}, "speaks protocol 1; this client speaks 2"),
        ({"world": FIXTURES / "not-a-world.json"}, "exited with status 2: gattrelay-sim: "),
        ({"world": World(), "args": ["--no-such-option"]}, "--no-such-option"),
    ],
)
async def test_a_bridge_that_cannot_start_says_why(options, message):
    with pytest.raises(BridgeStartError, match=message):
        await Bridge.start(**options)


@pytest.mark.parametrize(
    ("variable", "search_path", "looked"),
    [
        ("/nonexistent/gattrelay-sim", None, r"Looked at /nonexistent/gattrelay-sim \(from GATTRELAY_SIM_PATH\)"),
        (None, "/nonexistent", "Looked for gattrelay-sim on PATH"),
    ],
)
async def test_a_missing_program_says_where_it_was_looked_for_and_how_to_get_it(monkeypatch, variable, search_path, looked):
    if variable is None:
        monkeypatch.delenv("GATTRELAY_SIM_PATH")
    else:
        monkeypatch.setenv("GATTRELAY_SIM_PATH", variable)
    if search_path is not None:
        monkeypatch.setenv("PATH", search_path)
    with pytest.raises(BridgeStartError) as raised:
        await Bridge.start(world=World())
    message = str(raised.value)
    assert re.search(looked, message)
    for advice in ("GATTRELAY_SIM_PATH", "build/bin/gattrelay-sim", "Debian package"):
        assert advice in message


async def test_filters_as_keyword_options_on_a_world_of_named_peripherals():
    world = World()
    near = world.peripheral(name="Kit-1", rssi=-50, address="AA:BB:CC:00:00:01", write_limit=182)
    far = world.peripheral(name="Kit-2", rssi=[{"at": 0, "dbm": -80}], address="AA:BB:CC:00:00:02")
    other = world.peripheral(name="Other", rssi=-40, address="aa:bb:cc:00:00:03")
    cases = [
        ({"name": "Kit", "min_rssi": -70}, Peer(near, True, 185, None, "Kit-1", -50, "AA:BB:CC:00:00:01")),
        ({"peer": ["AA:BB:CC:00:00:03"]}, Peer(other, True, 23, None, "Other", -40, "AA:BB:CC:00:00:03")),
    ]
    for filters, announced in cases:
        async with await Bridge.start(world=world, **filters) as bridge:
            assert await bridge.wait_for_peer() == announced
            # All three advertise from the start: the others were found and left alone by then.
            for left_alone in {near, far, other} - {announced.id}:
                assert (await bridge.send(left_alone, b"x")).reason == "unknown_peer"


async def test_a_state_says_why_and_disconnect_holds_a_peer_until_connect():
    world = World()
    world.adapter({"at": 0, "state": "powered_off", "reason": "blocked"}, {"at": 50, "state": "powered_on"})
    # On the simulated stack a held peer comes back at its next advertisement after "connect".
    peer_id = world.peripheral(echo=True, readvertise_after=1000)
    bridge = await Bridge.start(world=world)
    events = bridge.events(State, Peer)
    await bridge.wait_for_peer(peer_id)
    assert await bridge.disconnect(peer_id.lower()) == Peer(peer_id, False, 23, "closed")
    assert peer_id not in bridge.peers
    assert await bridge.disconnect(peer_id) is None  # not ready: nothing to wait for
    assert (await bridge.send(peer_id, b"x")).reason == "unknown_peer"
    await bridge.connect(peer_id)
    assert await bridge.wait_for_peer(peer_id) == Peer(peer_id, True, 23)
    with pytest.raises(ValueError):
        await bridge.disconnect("not-an-id")
    await bridge.stop()
    with pytest.raises(BridgeClosedError):
        await bridge.connect(peer_id)
    seen = [event async for event in events]
    assert seen[:2] == [State("powered_off", "blocked"), State("ready")]
    assert [e.connected for e in seen if isinstance(e, Peer)] == [True, False, True]


async def test_connection_scripts_a_failed_attempt_writes_answered_as_scripted_and_a_drop(caplog):
    world = World()
    peer_id = world.peripheral(
        write_limit=182,
        connections=[
            {"fails": True, "readvertise_after": 10},
            {
                "delays": {"connect": 5},
                "writes": [
                    {"after": 5, "notify": [{"after": 10, "data": b"\x01\x02"}, {"after": 20, "data": "hi"}]},
                    {"fails": True, "after": 5},
                    {"after": 5},
                ],
                "drop": {"after_writes": 3, "after": 5},
            },
        ],
    )
    caplog.set_level(logging.DEBUG, logger="gattrelay")
    bridge = await Bridge.start(world=world)
    events = bridge.events(Frame, Peer)
    await bridge.wait_for_peer(peer_id)
    assert await bridge.send(peer_id, b"a") == Outcome(True, 1)
    # The second write fails, and the bridge's retry is the script's third.
    assert await bridge.send(peer_id, b"b") == Outcome(True, 1)
    seen = []
    async for event in events:
        seen.append(event)
        if isinstance(event, Peer) and event.reason == "disconnected":
            break
    assert await bridge.stop() == 0
    assert [e.data for e in seen if isinstance(e, Frame)] == [b"\x01\x02", b"hi"]
    assert [e.reason or "connected" for e in seen if isinstance(e, Peer)] == ["connect_failed", "connected", "disconnected"]
    assert caplog.records == []  # the client kept to the script: nothing said on standard error


@pytest.mark.parametrize(
    "options, message",
    [
        ({"wirte_limit": 20}, "World: wirte_limit: unknown key"),
        ({"rssi": [{"at": 0, "dmb": -50}]}, "World: rssi[0].dmb: unknown key"),
        ({"name": 5}, "World: name: expected a string, found int"),
        ({"delays": {"wirte": 5}}, "World: delays.wirte: unknown key"),
        ({"write_limit": [{"at": 0, "limit": 20}, {"at": 5, "limt": 9}]}, "World: write_limit[1].limt: unknown key"),
        ({"write_limit": "20"}, "World: write_limit: expected an integer or a list, found str"),
        ({"echo": 1}, "World: echo: expected a boolean, found int"),
        ({"notifications": [{"data": 5}]}, "World: notifications[0].data: expected bytes or a string, found int"),
        ({"write_failures": {"nth": [True]}}, "World: write_failures.nth[0]: expected an integer, found bool"),
        ({"id": 7}, "World: id: expected a string, found int"),
        ({"connections": [{"writes": [{"notfy": []}]}]}, "World: connections[0].writes[0].notfy: unknown key"),
        ({"connections": [{"drop": {"after_writes": "2"}}]}, "World: connections[0].drop.after_writes: expected an integer, found str"),
        ({"connections": [{"notifications": [{"data": None}]}]}, "World: connections[0].notifications[0].data: expected bytes or a string, found NoneType"),
    ],
)
def test_world_refuses_an_unknown_key_or_a_wrong_type_where_it_is_given(options, message):
    world = World()
    with pytest.raises(TypeError) as raised:
        world.peripheral(**options)
    assert str(raised.value) == message
    with pytest.raises(TypeError, match=r"^World: adapter\[0\]\.sate: unknown key$"):
        world.adapter({"at": 0, "sate": "powered_on"})
    with pytest.raises(TypeError, match=r"^World: adapter\[0\]\.reason: expected a string, found int$"):
        world.adapter({"state": "powered_off", "reason": 1})
    assert world.to_json() == '{"peripherals": []}'


async def test_with_v_each_diagnostic_line_is_a_debug_record_of_the_gattrelay_logger(caplog):
    caplog.set_level(logging.DEBUG, logger="gattrelay")
    world = World()
    peer_id = world.peripheral(echo=True)
    async with await Bridge.start(world=world, args=["-v"]) as bridge:
        await bridge.wait_for_peer(peer_id)
    records = [r for r in caplog.records if r.name == "gattrelay"]
    assert any(re.fullmatch(f"gattrelay-sim: [0-9]+ ms: peer {peer_id}: found, connecting", r.getMessage()) for r in records)
    assert all(r.levelno == logging.DEBUG and "\n" not in r.getMessage() for r in records)


async def test_a_recorded_session_replays_in_one_line_with_world_from_recording():
    bridge = await Bridge.start(world=World.from_recording(FIXTURES / "echo-session.jsonl"))
    peer_id = "5EC1A5E0-0000-4000-8000-000000000001"
    assert (await bridge.wait_for_peer(peer_id)).mtu == 185
    events = bridge.events()
    outcome = await bridge.send(peer_id, b"hi")
    assert outcome.accepted and outcome.bytes == 2
    async for event in events:
        if isinstance(event, Frame):
            assert event.data == b"hi"
            break
    await bridge.stop()
    with pytest.raises(TypeError, match="a recording is replayed as it is"):
        World.from_recording("x.jsonl").peripheral()
