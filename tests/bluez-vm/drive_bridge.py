#!/usr/bin/python3
"""Drives gattrelay over its stdin and stdout against the real stack in the VM, checks what it
writes, and measures it. Prints "figure: NAME VALUE" lines; exit status 0 when every check held.

usage: drive_bridge.py GATTRELAY   (EXCHANGE_MTU in the environment: the MTU bluetoothd negotiates)
"""
import base64
import json
import os
import queue
import statistics
import subprocess
import sys
import threading
import time

import dbus

GATTRELAY = sys.argv[1]
MTU = int(os.environ["EXCHANGE_MTU"])
WAIT = 90.0  # generous: the VM runs on an emulated CPU


class Bridge:
    def __init__(self):
        self.started = time.monotonic()
        self.process = subprocess.Popen([GATTRELAY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.lines = queue.Queue()
        self.seen = []  # (time read, event)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put((time.monotonic(), json.loads(raw)))
        self.lines.put(None)

    def expect(self, **fields):
        """The next event with all `fields`, and when it was read; other events are skipped."""
        deadline = time.monotonic() + WAIT
        while True:
            try:
                item = self.lines.get(timeout=max(deadline - time.monotonic(), 0))
            except queue.Empty:
                item = None
            if item is None:
                raise AssertionError(f"no event with {fields} within {WAIT} s")
            self.seen.append(item)
            if all(item[1].get(k) == v for k, v in fields.items()):
                return item

    def send(self, peer, data):
        line = json.dumps({"command": "send", "id": peer, "data": base64.b64encode(data).decode()}) + "\n"
        self.process.stdin.write(line.encode())
        self.process.stdin.flush()

    def quiet_for(self, seconds):
        """Reads events until none came for `seconds`."""
        while True:
            try:
                self.seen.append(self.lines.get(timeout=seconds))
            except queue.Empty:
                return

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def figure(name, value):
    print(f"figure: {name} {value}", flush=True)


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def connected_devices(adapter):
    bus = dbus.SystemBus()
    objects = dbus.Interface(bus.get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager").GetManagedObjects()
    return [str(p) for p, ifs in objects.items()
            if str(p).startswith(adapter + "/") and ifs.get("org.bluez.Device1", {}).get("Connected")]


def run(bridge):
    first = bridge.expect()
    check(first[1] == {"event": "hello", "protocol": 1}, f"first line {first[1]}")
    bridge.expect(event="state", value="ready")
    when, peer = bridge.expect(event="peer", connected=True)
    figure("start_to_announcement_ms", round((when - bridge.started) * 1000))
    check(peer["mtu"] == MTU, f"mtu {peer['mtu']}, negotiated {MTU}")
    peer_id = peer["id"]
    limit = MTU - 3

    # Frames of several sizes, back to back: accepted in order, echoed back in order. (The
    # peripheral's bluetoothd cuts notifications short near the limit, so the largest frame's
    # echo is checked as a prefix.)
    frames = [bytes((i * 7 + n) % 256 for i in range(n)) for n in (1, 20, 100, limit)]
    for frame in frames:
        bridge.send(peer_id, frame)
    for frame in frames:
        bridge.expect(event="write", id=peer_id, accepted=True, bytes=len(frame))
    echoes = [e["data"] for _, e in bridge.seen if e["event"] == "frame"]
    while len(echoes) < len(frames):
        echoes.append(bridge.expect(event="frame", id=peer_id)[1]["data"])
    echoes = [base64.b64decode(e) for e in echoes]
    check(echoes[:3] == frames[:3] and frames[3].startswith(echoes[3]),
          f"echoes out of order or altered: {[len(e) for e in echoes]}")
    figure("largest_notification_bytes_seen", len(echoes[3]))

    # Over the write limit: discarded without an event; the next frame goes.
    bridge.send(peer_id, b"o" * (limit + 1))
    bridge.send(peer_id, b"after")
    bridge.expect(event="write", id=peer_id, accepted=True, bytes=5)
    check(limit + 1 not in [e.get("bytes") for _, e in bridge.seen], "a frame over the limit was written")

    # Round trip: send line to write line, one frame at a time.
    trips = []
    for i in range(200):
        sent = time.monotonic()
        bridge.send(peer_id, b"r" * 20)
        when, _ = bridge.expect(event="write", id=peer_id, accepted=True, bytes=20)
        trips.append((when - sent) * 1000)
    figure("write_round_trip_median_ms", round(statistics.median(trips), 2))
    figure("write_round_trip_p99_ms", round(statistics.quantiles(trips, n=100)[98], 2))

    # Writes back to back: 300 frames queued at once; and the bridge's own CPU time for them.
    for size in (20, limit):
        started, cpu = time.monotonic(), bridge.cpu_seconds()
        for i in range(300):
            bridge.send(peer_id, b"b" * size)
        for i in range(300):
            when, _ = bridge.expect(event="write", id=peer_id, accepted=True, bytes=size)
        figure(f"frames_per_second_{size}_bytes", round(300 / (when - started), 1))
        figure(f"bridge_cpu_ms_per_frame_{size}_bytes", round((bridge.cpu_seconds() - cpu) * 1000 / 300, 2))

    # Idle with one connected peer, once the last echoes are in.
    bridge.quiet_for(2)
    before = bridge.cpu_seconds()
    time.sleep(10)  # the measurement itself, not a wait for a condition
    figure("idle_cpu_ms_over_10_s", round((bridge.cpu_seconds() - before) * 1000))

    # The peripheral drops the link: reported, then found again and announced again.
    bridge.send(peer_id, b"bye")
    dropped, _ = bridge.expect(event="peer", id=peer_id, connected=False)
    again, event = bridge.expect(event="peer", id=peer_id, connected=True)
    figure("loss_to_new_announcement_ms", round((again - dropped) * 1000))
    check(event["mtu"] == MTU, f"mtu after reconnection {event['mtu']}")
    bridge.send(peer_id, b"still here")
    bridge.expect(event="frame", id=peer_id, data=base64.b64encode(b"still here").decode())

    # Stop: exit 0, nothing on stderr, and bluetoothd really lets the link go.
    bridge.process.stdin.write(b'{"command":"stop"}\n')
    bridge.process.stdin.flush()
    rc = bridge.process.wait(WAIT)
    err = bridge.process.stderr.read()
    check(rc == 0 and not err, f"exit {rc}, stderr {err!r}")
    deadline = time.monotonic() + 30
    while connected_devices("/org/bluez/hci0") and time.monotonic() < deadline:
        time.sleep(0.2)
    check(not connected_devices("/org/bluez/hci0"), "the link outlived the bridge")


def main():
    bridge = Bridge()
    try:
        run(bridge)
    except AssertionError as e:
        print("FAIL:", e)
        print("events:")
        for when, event in bridge.seen[-60:]:
            print(f"  {when - bridge.started:9.3f} {json.dumps(event)}")
        if bridge.process.poll() is None:
            bridge.process.kill()
        return 1
    print("PASS")
    return 0


sys.exit(main())
