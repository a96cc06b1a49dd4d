#!/usr/bin/python3
"""The gattrelay executable over JSON lines, against a stand-in bluetoothd on a private bus.

Each test starts its own dbus-daemon and stand-in (fake_bluetoothd.py) and the bridge with
DBUS_SYSTEM_BUS_ADDRESS pointing at them, drives the bridge over its stdin and stdout, and
steers the stand-in through its test.Control interface. Every wait is on a condition, bounded.
usage: GATTRELAY=path/to/gattrelay bridge_on_bluez_test.py [TestClass ...]
"""
import base64
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
GATTRELAY = os.environ.get("GATTRELAY", "")
PYTHON = "/usr/bin/python3"
WAIT = 15.0  # generous: these machines are shared and slow at times

SERVICE = "a3e5b7c9-5d1f-4e2a-9b6c-000000000001"
INBOX = "a3e5b7c9-5d1f-4e2a-9b6c-000000000002"
OUTBOX = "a3e5b7c9-5d1f-4e2a-9b6c-000000000003"
ADAPTER = "00:11:22:33:44:00"


def peer_id(address, adapter=ADAPTER):
    """The documented rule: adapter address, 80 00 80 00, device address."""
    hexa = adapter.replace(":", "")
    hexd = address.replace(":", "")
    return f"{hexa[:8]}-{hexa[8:]}-8000-8000-{hexd}".upper()


def device_path(address, adapter="hci0"):
    return f"/org/bluez/{adapter}/dev_" + address.replace(":", "_")


BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <!-- As on the system bus. -->
  <limit name="max_replies_per_connection">128</limit>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def read_line_within(stream, seconds, what):
    """One line from a child's pipe, or a failure naming `what` after `seconds`."""
    lines = queue.Queue()
    threading.Thread(target=lambda: lines.put(stream.readline()), daemon=True).start()
    try:
        return lines.get(timeout=seconds)
    except queue.Empty:
        raise AssertionError(f"{what}: no line within {seconds} s")


class PrivateBus:
    def __init__(self, folder):
        conf = os.path.join(folder, "bus.conf")
        with open(conf, "w") as f:
            f.write(BUS_CONFIG.format(socket=os.path.join(folder, "bus.socket")))
        self.daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + conf, "--nofork", "--print-address=1"],
                                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = read_line_within(self.daemon.stdout, WAIT, "dbus-daemon").strip()

    def close(self):
        self.daemon.terminate()
        self.daemon.wait(WAIT)
        self.daemon.stdout.close()


class FakeBluetoothd:
    def __init__(self, bus, config, folder):
        full = {"adapter": ADAPTER, "service": SERVICE, "inbox": INBOX, "outbox": OUTBOX}
        full.update(config)
        self.log = open(os.path.join(folder, "fake_bluetoothd.log"), "a")
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus.address)
        self.process = subprocess.Popen([PYTHON, os.path.join(HERE, "fake_bluetoothd.py"), json.dumps(full)],
                                        stdout=subprocess.PIPE, stderr=self.log, text=True, env=env)
        line = read_line_within(self.process.stdout, WAIT, "fake bluetoothd")
        assert line.strip() == "ready", "fake bluetoothd did not start: " + line
        self.control = dbus.Interface(dbus.bus.BusConnection(bus.address).get_object("org.bluez", "/"),
                                      "test.Control")

    def calls(self):
        return [(str(path), str(member)) for path, member in self.control.Calls()]

    def count(self, path, member):
        return self.calls().count((path, member))

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(WAIT)
        self.process.stdout.close()
        self.log.close()


class Bridge:
    def __init__(self, address, args=()):
        self.process = subprocess.Popen([GATTRELAY, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address))
        self.lines = queue.Queue()
        self.seen = []   # every event read so far, in order
        self.matched = set()  # indices in `seen` that expect() returned
        self.next = 0    # index in `seen` after the last in-order match
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put(json.loads(raw))
        self.lines.put(None)

    def expect(self, in_order=True, **fields):
        """The first event not matched before that has all `fields`: after the last match when
        `in_order`, anywhere otherwise. Waits for it, bounded."""
        deadline = time.monotonic() + WAIT
        while True:
            start = self.next if in_order else 0
            for i in range(start, len(self.seen)):
                event = self.seen[i]
                if i not in self.matched and all(event.get(k) == v for k, v in fields.items()):
                    self.matched.add(i)
                    if in_order:
                        self.next = i + 1
                    return event
            try:
                event = self.lines.get(timeout=max(deadline - time.monotonic(), 0))
            except queue.Empty:
                event = None
            if event is None:
                raise AssertionError(f"no event with {fields} within {WAIT} s; events: {self.seen}")
            self.seen.append(event)

    def events_so_far(self):
        """Every event read so far, after reading what is already there."""
        try:
            while True:
                event = self.lines.get_nowait()
                if event is not None:
                    self.seen.append(event)
        except queue.Empty:
            return self.seen

    def command(self, **fields):
        self.process.stdin.write((json.dumps(fields) + "\n").encode())
        self.process.stdin.flush()

    def send(self, address, data):
        self.command(command="send", id=peer_id(address), data=base64.b64encode(data).decode())

    def stop(self, quiet=True):
        """Stops the bridge with the stop command; it must exit 0 and, when `quiet`, write nothing
        to stderr. Returns what it wrote there."""
        self.command(command="stop")
        rc = self.process.wait(WAIT)
        err = self.process.stderr.read().decode()
        assert rc == 0 and not (quiet and err), f"exit {rc}, stderr {err!r}"
        return err

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(WAIT)
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            pipe.close()


class BluezCase(unittest.TestCase):
    """A private bus and, unless told otherwise, a stand-in bluetoothd; the bridge on them."""

    peers = [{"address": "C0:FF:EE:00:00:01"}]
    fake_config = {}
    start_fake = True

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="gattrelay-bluez-")
        self.bus = PrivateBus(self.folder)
        self.fake = self.start_bluetoothd() if self.start_fake else None
        self.bridge = Bridge(self.bus.address)

    def tearDown(self):
        self.bridge.kill()
        if self.fake:
            self.fake.close()
        if self.bus:
            self.bus.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_bluetoothd(self):
        return FakeBluetoothd(self.bus, dict(self.fake_config, peers=self.peers), self.folder)

    def start_over(self, peers):
        """A fresh bus, stand-in with `peers`, and bridge, started."""
        self.peers = peers
        self.tearDown()
        self.setUp()
        self.expect_start()

    def restart_with_options(self, *args):
        """The bridge again, with `args`; skips the test on a gattrelay that reads no options (it
        takes a bad one without complaint)."""
        probe = subprocess.run([GATTRELAY, "--no-such-option"], stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=WAIT, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus.address))
        if probe.returncode == 0:
            self.skipTest("this gattrelay reads no options")
        self.bridge.kill()
        self.earlier_calls = len(self.fake.calls())
        self.bridge = Bridge(self.bus.address, args)

    def start_fresh(self, peers, *args):
        """A fresh bus and stand-in with `peers`, and the bridge on them with `args`: no bridge
        before it, whose notification streams the stand-in would still hold."""
        self.peers = peers
        self.tearDown()
        self.folder = tempfile.mkdtemp(prefix="gattrelay-bluez-")
        self.bus = PrivateBus(self.folder)
        self.fake = self.start_bluetoothd()
        self.bridge = Bridge(self.bus.address, args)

    def expect_start(self):
        self.assertEqual(self.bridge.expect(), {"event": "hello", "protocol": 1})
        self.bridge.expect(event="state", value="ready")

    def announced(self, address, mtu=247):
        return self.bridge.expect(event="peer", id=peer_id(address), connected=True, mtu=mtu)

    def lost(self, address, mtu=247):
        return self.bridge.expect(event="peer", id=peer_id(address), connected=False, mtu=mtu)

    def echo(self, address, data):
        """Sends `data`, which must be accepted and come back as a frame (in either order: the
        answer to a write and a notification travel apart)."""
        self.bridge.send(address, data)
        self.bridge.expect(in_order=False, event="write", id=peer_id(address), accepted=True, bytes=len(data))
        self.bridge.expect(in_order=False, event="frame", id=peer_id(address), data=base64.b64encode(data).decode())


class Relay(BluezCase):
    peers = [{"address": "C0:FF:EE:00:00:01"}, {"address": "C0:FF:EE:00:00:02", "mtu": 23},
             {"address": "C0:FF:EE:00:00:03", "known": True},
             {"address": "C0:FF:EE:00:00:04", "gatt": False},
             {"address": "C0:FF:EE:00:00:05", "adapter": "hci1"}]

    def test_frames_both_ways_with_several_peers(self):
        self.expect_start()
        # One known before the scan started; one with the smallest MTU; the one without the
        # service, and the one on another adapter, are never reported.
        for address, mtu in (("C0:FF:EE:00:00:01", 247), ("C0:FF:EE:00:00:02", 23), ("C0:FF:EE:00:00:03", 247)):
            self.bridge.expect(in_order=False, event="peer", id=peer_id(address), connected=True, mtu=mtu)
        for size in (1, 20, 100, 244):
            self.echo("C0:FF:EE:00:00:01", bytes(range(256))[:size])
        self.echo("C0:FF:EE:00:00:02", b"x" * 20)
        self.echo("C0:FF:EE:00:00:03", b"third")
        # Over the write limit (MTU - 3): discarded without an event; the next frame goes.
        self.bridge.send("C0:FF:EE:00:00:01", b"y" * 245)
        self.bridge.send("C0:FF:EE:00:00:02", b"y" * 21)
        self.echo("C0:FF:EE:00:00:01", b"after")
        self.echo("C0:FF:EE:00:00:02", b"after")
        self.bridge.stop()
        events = self.bridge.events_so_far()
        self.assertNotIn(peer_id("C0:FF:EE:00:00:04"), [e.get("id") for e in events])
        self.assertFalse([e for e in events if e.get("id", "").endswith("C0FFEE000005")])
        self.assertNotIn(245, [e.get("bytes") for e in events])
        self.assertNotIn(21, [e.get("bytes") for e in events])

        calls = self.fake.calls()
        self.assertEqual(calls[:2], [("/org/bluez/hci0", "SetDiscoveryFilter:DuplicateData,Transport,UUIDs"),
                                     ("/org/bluez/hci0", "StartDiscovery")])
        # At stop: the scan ends, the shared filter is cleared, and each link is disconnected
        # before the process exits.
        self.assertIn(("/org/bluez/hci0", "StopDiscovery"), calls)
        self.assertIn(("/org/bluez/hci0", "SetDiscoveryFilter:"), calls)
        for address in ("C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02", "C0:FF:EE:00:00:03"):
            self.assertIn((device_path(address), "Disconnect"), calls)
        self.assertNotIn((device_path("C0:FF:EE:00:00:04"), "Connect"), calls)
        self.assertNotIn(("/org/bluez/hci1/dev_C0_FF_EE_00_00_05", "Connect"), calls)

    def test_an_empty_notification_is_no_end_of_the_stream(self):
        address = "C0:FF:EE:00:00:01"
        self.expect_start()
        self.announced(address)
        self.fake.control.Notify(address, dbus.ByteArray(b""))
        self.echo(address, b"still there")
        self.bridge.stop()
        self.assertFalse([e for e in self.bridge.events_so_far() if e.get("connected") is False])

    def test_writes_are_answered_in_order_when_sent_back_to_back(self):
        self.expect_start()
        self.announced("C0:FF:EE:00:00:01")
        frames = [f"frame {i}".encode() for i in range(50)]
        for frame in frames:
            self.bridge.send("C0:FF:EE:00:00:01", frame)
        for frame in frames:
            self.bridge.expect(event="frame", id=peer_id("C0:FF:EE:00:00:01"), data=base64.b64encode(frame).decode())
        # A frame may come back before the answer to its write: they travel apart.
        writes = [self.bridge.expect(in_order=False, event="write") for _ in frames]
        self.assertEqual([(w["accepted"], w["bytes"]) for w in writes[:50]], [(True, len(f)) for f in frames])
        self.bridge.stop()


class Faults(BluezCase):
    """The faults a real bluetoothd shows, one peer each."""

    def run_case(self, config):
        self.start_over([dict(config, address="C0:FF:EE:00:00:01")])

    def test_connection_faults_still_end_in_an_announcement(self):
        for name, config, failed_first in (
                ("InProgress: another attempt brings the link up", {"connect": "in_progress"}, False),
                ("the controller aborts the first attempt", {"connect": "abort_once"}, True),
                ("the Connected signal is lost", {"connect": "silent"}, False),
                ("GATT objects arrive after ServicesResolved", {"gatt_lag_ms": 500}, False)):
            with self.subTest(name):
                self.run_case(config)
                if failed_first:
                    # The failed attempt is reported with the limit known then: none.
                    self.lost("C0:FF:EE:00:00:01", mtu=23)
                self.announced("C0:FF:EE:00:00:01")
                self.echo("C0:FF:EE:00:00:01", b"ping")
                self.bridge.stop()

    def test_gatt_objects_that_never_come_end_the_connection(self):
        # After ServicesResolved the wait for the service is bounded; without it the bridge
        # gives the peer up.
        address = "C0:FF:EE:00:00:01"
        self.run_case({"gatt_lag_ms": -1})
        self.lost(address, mtu=23)
        self.bridge.stop()
        self.assertIn((device_path(address), "Disconnect"), self.fake.calls())

    def test_losing_the_link_is_reported_once_and_the_peer_comes_back(self):
        address = "C0:FF:EE:00:00:01"
        control = lambda: self.fake.control
        for name, act, back, states in (
                ("the peer drops the link", lambda: control().Drop(address), lambda: None, ["ready"]),
                ("power off, then on", lambda: control().SetPowered(False), lambda: control().SetPowered(True),
                 ["ready", "powered_off", "ready"]),
                ("the adapter vanishes, then one appears", lambda: control().SetAdapterPresent(False),
                 lambda: control().SetAdapterPresent(True), ["ready", "unsupported", "ready"]),
                ("the device is removed without a Connected signal", lambda: control().Remove(address),
                 lambda: control().Advertise(address), ["ready"]),
                ("the GATT objects are replaced while connected", lambda: control().ReplaceGatt(address),
                 lambda: control().Advertise(address), ["ready"]),
                ("bluetoothd closes the notification stream", lambda: control().CloseStream(address),
                 lambda: control().Advertise(address), ["ready"])):
            with self.subTest(name):
                self.run_case({})
                self.announced(address)
                act()
                self.bridge.expect(in_order=False, event="peer", id=peer_id(address), connected=False, mtu=247)
                back()
                self.announced(address)
                self.echo(address, b"again")
                self.bridge.stop()
                events = self.bridge.events_so_far()
                self.assertEqual(sum(1 for e in events if e.get("connected") is False), 1, events)
                self.assertEqual([e["value"] for e in events if e["event"] == "state"], states)
                # Nothing is written to what is gone, and each loss asked for no connection
                # that failed.
                self.assertEqual(self.fake.count(device_path(address), "Connect"), 2)

    def test_system_bus_gone(self):
        address = "C0:FF:EE:00:00:01"
        self.expect_start()
        self.announced(address)
        self.bus.daemon.kill()
        self.bridge.expect(in_order=False, event="state", value="unsupported")
        self.bridge.expect(in_order=False, event="peer", id=peer_id(address), connected=False, mtu=247)
        self.bridge.stop()

    def test_a_failing_write_is_tried_three_times_then_refused(self):
        address = "C0:FF:EE:00:00:01"
        self.expect_start()
        self.announced(address)
        self.bridge.send(address, b"fail me")
        self.bridge.expect(event="write", id=peer_id(address), accepted=False, bytes=7)
        self.echo(address, b"next")
        self.bridge.stop()
        # Three attempts of the failing frame, then the next one.
        self.assertEqual([c[1] for c in self.fake.calls() if c[1].startswith("WriteValue")],
                         ["WriteValue:" + b"fail me".hex()] * 3 + ["WriteValue:" + b"next".hex()])

    def test_an_mtu_change_moves_the_write_limit(self):
        address = "C0:FF:EE:00:00:01"
        self.expect_start()
        self.announced(address)
        self.fake.control.SetMtu(address, dbus.UInt16(100))
        self.bridge.send(address, b"z" * 98)  # over 100 - 3: discarded
        self.echo(address, b"z" * 97)
        self.bridge.stop()
        self.assertNotIn(98, [e.get("bytes") for e in self.bridge.events_so_far()])


class PeerData(BluezCase):
    peers = [{"address": "C0:FF:EE:00:00:01", "name": "Kit/1"}, {"address": "C0:FF:EE:00:00:02"}]

    def test_protocol_2_announces_name_rssi_and_address_and_peer_takes_an_address(self):
        self.expect_start()
        self.restart_with_options("--protocol", "2", "--peer", "c0:ff:ee:00:00:01")
        self.bridge.expect(event="state", value="ready")
        self.assertEqual(self.bridge.expect(event="peer", connected=True),
                         {"address": "C0:FF:EE:00:00:01", "connected": True, "event": "peer",
                          "id": peer_id("C0:FF:EE:00:00:01"), "mtu": 247, "name": "Kit/1", "rssi": -50})
        self.bridge.stop()
        self.assertNotIn(peer_id("C0:FF:EE:00:00:02"), [e.get("id") for e in self.bridge.events_so_far()])
        self.assertNotIn((device_path("C0:FF:EE:00:00:02"), "Connect"), self.fake.calls()[self.earlier_calls:])


class AdapterStates(BluezCase):
    start_fake = False

    def test_states_before_any_peer(self):
        cases = (
            ("no system bus", None, "unsupported"),
            ("nobody owns org.bluez", {}, "unsupported"),
            ("access denied", {"deny": True}, "unauthorized"),
            ("adapter powered off", {"powered": False}, "powered_off"),
        )
        for name, config, state in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                self.bridge.kill()
                if config:
                    self.fake_config = config
                    self.fake = self.start_bluetoothd()
                address = self.bus.address if name != "no system bus" else "unix:path=" + self.folder + "/none"
                self.bridge = Bridge(address)
                self.bridge.expect(event="hello")
                self.bridge.expect(event="state", value=state)
                self.bridge.stop()

    def test_a_failed_first_look_at_the_objects_is_retried(self):
        self.fake_config = {"objects_fail": 2}
        self.fake = self.start_bluetoothd()
        self.bridge.kill()
        self.bridge = Bridge(self.bus.address)
        self.bridge.expect(event="hello")
        self.bridge.expect(event="state", value="unsupported")
        self.bridge.expect(event="state", value="ready")
        self.announced("C0:FF:EE:00:00:01")
        self.bridge.stop()

    def test_bluetoothd_starting_late_is_followed(self):
        self.bridge.expect(event="state", value="unsupported")
        self.fake = self.start_bluetoothd()
        self.bridge.expect(event="state", value="ready")
        self.announced("C0:FF:EE:00:00:01")
        self.bridge.stop()


class StateReasons(BluezCase):
    """Protocol 2 says why the adapter cannot be used and -v what to do about it; protocol 1
    writes the states it always did."""
    start_fake = False

    def start(self, address, *args):
        self.bridge.kill()
        self.bridge = Bridge(address, args)
        self.bridge.expect(event="hello")

    def states(self):
        return [(e["value"], e.get("reason")) for e in self.bridge.events_so_far() if e["event"] == "state"]

    def test_each_cause_is_named_with_its_remedy(self):
        two_adapters = {"adapters": [{"name": "hci0", "address": "00:11:22:33:44:00"},
                                     {"name": "hci1", "address": "00:11:22:33:44:AB"}]}
        cases = (
            # name, stand-in config (None: no stand-in), options, state, reason, remedy on stderr
            ("no system bus", None, (), "unsupported", "no_bus", "mount the host's system bus socket"),
            ("nobody owns org.bluez", None, (), "unsupported", "no_bluetoothd", "systemctl start bluetooth"),
            ("no adapter", {"adapters": []}, (), "unsupported", "no_adapter", "bluetoothctl list"),
            ("the named adapter is absent", two_adapters, ("--adapter", "hci7"), "unsupported", "adapter_missing",
             "adapter hci7 (--adapter) is absent; present: hci0 (00:11:22:33:44:00), hci1 (00:11:22:33:44:AB)"),
            ("access denied", {"deny": True}, (), "unauthorized", "access_denied",
             "run as root or join the group that it lets in"),
            ("rfkill blocks the adapter", {"powered": False, "power_state": "off-blocked"}, (), "powered_off",
             "blocked", "rfkill unblock bluetooth"),
            ("the adapter is powered off", {"powered": False, "power_state": "off"}, (), "powered_off", None,
             "bluetoothctl power on"),
            ("powered off before bluetoothd 5.64", {"powered": False}, (), "powered_off", None,
             "bluetoothctl power on"),
        )
        for name, config, options, state, reason, remedy in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                if config is not None:
                    self.fake_config = config
                    self.fake = self.start_bluetoothd()
                address = self.bus.address if name != "no system bus" else "unix:path=" + self.folder + "/none"
                self.start(address, "--protocol", "2", "-v", *options)
                self.bridge.expect(event="state", value=state)
                err = self.bridge.stop(quiet=False)
                self.assertEqual(self.states(), [(state, reason)])
                self.assertIn(remedy, err)

    def test_a_change_of_reason_alone_is_a_state_event_in_protocol_2_only(self):
        address = "C0:FF:EE:00:00:01"
        self.fake_config = {"powered": False, "power_state": "off-blocked"}
        self.fake = self.start_bluetoothd()
        for protocol, states in (("2", [("powered_off", "blocked"), ("powered_off", None), ("ready", None)]),
                                 ("1", [("powered_off", None), ("ready", None)])):
            with self.subTest(protocol=protocol):
                self.fake.control.SetPowerState("off-blocked")
                self.start(self.bus.address, "--protocol", protocol)
                self.bridge.expect(event="state", value="powered_off")
                # Unblocked, still off: only the reason changes.
                self.fake.control.SetPowerState("off")
                if protocol == "2":
                    self.bridge.expect(event="state", value="powered_off")
                self.fake.control.SetPowerState("on")
                self.bridge.expect(event="state", value="ready")
                self.announced(address)
                self.bridge.stop()
                self.assertEqual(self.states(), states)

    def test_a_system_bus_that_comes_late_or_comes_back_is_followed(self):
        address = "C0:FF:EE:00:00:01"
        self.bus.close()
        late = "unix:path=" + os.path.join(self.folder, "bus.socket")
        for protocol, states in (("2", [("unsupported", "no_bus"), ("ready", None)]),
                                 ("1", [("unsupported", None), ("ready", None)])):
            with self.subTest(protocol=protocol):
                started = time.monotonic()
                self.start(late, "--protocol", protocol)
                self.bridge.expect(event="state", value="unsupported")
                time.sleep(max(0.0, started + 2 - time.monotonic()))
                self.bus = PrivateBus(self.folder)
                self.fake = self.start_bluetoothd()
                self.bridge.expect(event="state", value="ready")
                self.announced(address)
                self.echo(address, b"late")
                # In protocol 2 a reason may come between ("no_bluetoothd": the stand-in
                # starts after the bus); protocol 1 shows no change of reason.
                self.assertEqual([s for s in self.states() if s[1] != "no_bluetoothd"], states)
                if protocol == "1":
                    self.assertEqual(self.states(), states)
                # The bus goes and comes back: the peer is lost, then found again.
                self.bus.daemon.kill()
                self.bus.close()
                self.fake.close()
                self.bridge.expect(in_order=False, event="state", value="unsupported")
                self.lost(address)
                self.bus = PrivateBus(self.folder)
                self.fake = self.start_bluetoothd()
                self.bridge.expect(in_order=False, event="state", value="ready")
                self.announced(address)
                self.echo(address, b"back")
                self.bridge.stop()
                self.fake.close()
                self.fake = None
                self.bus.close()
                self.bus = None


class Signals(BluezCase):
    """A supervisor's signal is a stop: the bridge ends every link it made, then exits 0."""

    peers = [{"address": "C0:FF:EE:00:00:01"}, {"address": "C0:FF:EE:00:00:02"}]

    def test_sigterm_disconnects_every_link_and_exits_0(self):
        self.expect_start()
        for address in ("C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02"):
            self.bridge.expect(in_order=False, event="peer", id=peer_id(address), connected=True, mtu=247)
        self.bridge.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.bridge.process.wait(WAIT), 0)
        self.assertEqual(self.bridge.process.stderr.read(), b"")
        later = []
        while (event := self.bridge.lines.get(timeout=WAIT)) is not None:
            later.append(event)
        self.assertEqual(later, [])
        calls = self.fake.calls()
        self.assertIn(("/org/bluez/hci0", "StopDiscovery"), calls)
        for address in ("C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02"):
            self.assertIn((device_path(address), "Disconnect"), calls)


class WriteLimit(BluezCase):
    """The announced "mtu" is the link's, however bluetoothd tells it."""

    def test_the_links_mtu_on_every_bluetoothd(self):
        address = "C0:FF:EE:00:00:01"
        for name, config, fallback in (
                ("no MTU property (before 5.62): AcquireNotify tells it", {"mtu_property": False}, False),
                ("objects cached while disconnected, MTU set without a signal", {"cached": True, "known": True},
                 False),
                ("another client subscribed: StartNotify", {"acquire": "refuse", "cached": True, "known": True}, True),
                ("no AcquireNotify (before 5.46)", {"acquire": "absent", "mtu": 185}, True)):
            with self.subTest(name):
                self.start_over([dict(config, address=address)])
                mtu = config.get("mtu", 247)
                self.announced(address, mtu=mtu)
                self.echo(address, bytes(range(256))[:mtu - 3])
                # Notifications keep their order on either path.
                frames = [f"frame {i}".encode() for i in range(30)]
                for frame in frames:
                    self.bridge.send(address, frame)
                for frame in frames:
                    self.bridge.expect(event="frame", id=peer_id(address), data=base64.b64encode(frame).decode())
                self.bridge.stop()
                outbox = device_path(address) + "/service0010/char0013"
                self.assertEqual(self.fake.count(outbox, "StartNotify"), 1 if fallback else 0)


class Adapters(BluezCase):
    fake_config = {"adapters": [{"name": "hci0", "address": "00:11:22:33:44:00", "powered": False},
                                {"name": "hci10", "address": "00:11:22:33:44:10", "powered": True},
                                # Its power goes off before its links drop.
                                {"name": "hci2", "address": "00:11:22:33:44:02", "powered": True,
                                 "links_drop_late": True}]}
    peers = [{"address": "C0:FF:EE:00:00:01", "adapter": "hci0"},
             {"address": "C0:FF:EE:00:00:02", "adapter": "hci2"},
             {"address": "C0:FF:EE:00:00:10", "adapter": "hci10"}]

    def test_the_first_powered_adapter_in_numeric_order_and_leaving_it(self):
        on_hci2 = peer_id("C0:FF:EE:00:00:02", "00:11:22:33:44:02")
        self.expect_start()
        self.bridge.expect(event="peer", id=on_hci2, connected=True, mtu=247)
        # Another adapter coming up does not take the links away.
        self.fake.control.SetAdapterPowered("hci0", True)
        self.echo_to(on_hci2)
        # The adapter in use goes off: the bridge moves to the first powered one, leaving no
        # discovery and no link of its own behind on the old one.
        self.fake.control.SetAdapterPowered("hci2", False)
        self.bridge.expect(event="peer", id=on_hci2, connected=False, mtu=247)
        on_hci0 = peer_id("C0:FF:EE:00:00:01")
        self.bridge.expect(event="peer", id=on_hci0, connected=True, mtu=247)
        self.echo_to(on_hci0)
        self.bridge.stop()
        calls = self.fake.calls()
        self.assertIn(("/org/bluez/hci2", "StopDiscovery"), calls)
        self.assertIn((device_path("C0:FF:EE:00:00:02", "hci2"), "Disconnect"), calls)
        self.assertIn((device_path("C0:FF:EE:00:00:01"), "Disconnect"), calls)
        self.assertNotIn(("/org/bluez/hci10", "StartDiscovery"), calls)
        events = self.bridge.events_so_far()
        self.assertEqual([e["value"] for e in events if e["event"] == "state"], ["ready"])
        self.assertEqual(sum(1 for e in events if e.get("connected") is False), 1, events)

    def echo_to(self, peer):
        self.bridge.command(command="send", id=peer, data=base64.b64encode(b"hello").decode())
        self.bridge.expect(in_order=False, event="frame", id=peer, data=base64.b64encode(b"hello").decode())


class ChosenAdapter(BluezCase):
    """`--adapter`: that adapter only, by name or address, followed as it comes and goes."""
    fake_config = {"adapters": [{"name": "hci0", "address": "00:11:22:33:44:00", "powered": True},
                                {"name": "hci1", "address": "00:11:22:33:44:AB", "powered": True}]}
    peers = [{"address": "C0:FF:EE:00:00:01", "adapter": "hci0"},
             {"address": "C0:FF:EE:00:00:02", "adapter": "hci1"}]

    def start_with(self, adapter):
        self.restart_with_options("--adapter", adapter)
        self.bridge.expect(event="hello")

    def calls(self):
        """The stand-in's calls since the bridge with options started."""
        return self.fake.calls()[self.earlier_calls:]

    def test_by_address_in_any_case(self):
        self.start_with("00:11:22:33:44:ab")
        on_hci1 = peer_id("C0:FF:EE:00:00:02", "00:11:22:33:44:AB")
        self.bridge.expect(event="state", value="ready")
        self.bridge.expect(event="peer", id=on_hci1, connected=True, mtu=247)
        self.bridge.stop()
        self.assertNotIn(peer_id("C0:FF:EE:00:00:01"), [e.get("id") for e in self.bridge.events_so_far()])
        self.assertNotIn(("/org/bluez/hci0", "StartDiscovery"), self.calls())

    def test_by_name_followed_as_it_vanishes_and_returns(self):
        self.start_with("hci0")
        address = "C0:FF:EE:00:00:01"
        self.bridge.expect(event="state", value="ready")
        self.announced(address)
        self.fake.control.SetAdapterPresent(False)
        self.bridge.expect(event="state", value="unsupported")
        self.fake.control.SetAdapterPresent(True)
        self.bridge.expect(event="state", value="ready")
        self.announced(address)
        self.bridge.stop()
        self.assertNotIn(("/org/bluez/hci1", "StartDiscovery"), self.calls())

    def test_absent_until_it_appears(self):
        self.fake.control.SetAdapterPresent(False)
        self.start_with("HCI0")
        self.bridge.expect(event="state", value="unsupported")
        self.fake.control.SetAdapterPresent(True)
        self.bridge.expect(event="state", value="ready")
        self.announced("C0:FF:EE:00:00:01")
        self.bridge.stop()


class Diagnostics(BluezCase):
    """`-v`: one line on stderr for each step the events leave silent."""
    peers = [{"address": "C0:FF:EE:00:00:01"}, {"address": "C0:FF:EE:00:00:02", "connect": "fail"},
             {"address": "C0:FF:EE:00:00:03", "gatt": False, "advertises_service": True}]

    def test_steps_are_said_on_request(self):
        self.restart_with_options("-v")
        self.expect_start()
        self.announced("C0:FF:EE:00:00:01")
        self.fake.control.Drop("C0:FF:EE:00:00:01")
        self.lost("C0:FF:EE:00:00:01")
        self.bridge.expect(in_order=False, event="peer", id=peer_id("C0:FF:EE:00:00:02"), connected=False, mtu=23)
        self.bridge.expect(in_order=False, event="peer", id=peer_id("C0:FF:EE:00:00:03"), connected=False, mtu=23)
        err = self.bridge.stop(quiet=False)
        for line in ("adapter hci0 (00:11:22:33:44:00) chosen", "discovery started on hci0",
                     "found C0:FF:EE:00:00:01",
                     "(C0:FF:EE:00:00:02): connect_failed: org.bluez.Error.Failed",
                     "(C0:FF:EE:00:00:03): setup_failed: no such service",
                     "back-off: C0:FF:EE:00:00:02 is not connected again for 1000 ms",
                     "removing C0:FF:EE:00:00:03 from bluetoothd",
                     "(C0:FF:EE:00:00:01): disconnected: the link was lost",
                     "exiting: stop"):
            self.assertIn(line, err)
        # Each failed attempt is said once, by the bridge, with the reason its event gives: as many
        # such lines as the back-off lines that follow them.
        for address in ("C0:FF:EE:00:00:02", "C0:FF:EE:00:00:03"):
            lines = err.splitlines()
            self.assertEqual(sum(address in line and "_failed" in line for line in lines),
                             sum(f"back-off: {address}" in line for line in lines))
        self.assertNotIn("C0:FF:EE:00:00:01 failed", err)


class Backoff(BluezCase):
    """Devices that keep failing are not connected again at every advertisement."""

    def test_a_failing_device_waits_longer_each_time(self):
        address = "C0:FF:EE:00:00:01"
        self.start_over([{"address": address, "connect": "fail", "advertise_ms": 100}])
        time.sleep(3.5)
        # At once, after 1 s, after 2 s more: not every 100 ms.
        self.assertIn(self.fake.count(device_path(address), "Connect"), (2, 3))
        self.bridge.stop()

    def test_a_device_lacking_the_service_is_cleared_from_bluetoothd_once(self):
        address = "C0:FF:EE:00:00:01"
        for name, heals in (("its firmware changed: it heals", True), ("it never has the service", False)):
            with self.subTest(name):
                self.start_over([{"address": address, "gatt": False, "advertises_service": True, "heals": heals,
                                  "advertise_ms": 100}])
                # Given up before its subscription: no MTU was learnt.
                self.lost(address, mtu=23)
                if heals:
                    self.announced(address)
                    self.echo(address, b"healed")
                else:
                    self.lost(address, mtu=23)
                self.bridge.stop()
                self.assertEqual(self.fake.count("/org/bluez/hci0", "RemoveDevice:" + device_path(address)), 1)


class HardDays(BluezCase):
    """What a gateway meets in months alone: bluetoothd restarted, adapters replaced, a
    controller that takes no more links. Protocol 2: every send is answered."""
    peers = [{"address": "C0:FF:EE:00:00:01"}, {"address": "C0:FF:EE:00:00:02"}]
    addresses = [p["address"] for p in peers]

    def start_v2(self, *args):
        self.restart_with_options("--protocol", "2", "-v", *args)
        self.bridge.expect(event="hello", protocol=2)

    def states(self, since=0):
        return [(e["value"], e.get("reason")) for e in self.bridge.events_so_far()[since:] if e["event"] == "state"]

    def all_echo(self, data):
        for address in self.addresses:
            self.echo(address, data)

    def test_bluetoothd_killed_or_stopped_and_started_again(self):
        # As in the real-stack VM with four adapters: stopped, bluetoothd powers them off one
        # after another, then removes their devices and them, over 2.4 s; started, it takes 3.8 s
        # to add the first adapter and 7.7 s to power them. Here with three, and steps of 0.6 s
        # and 1.5 s.
        three = [{"name": f"hci{n}", "address": f"00:11:22:33:44:0{n}"} for n in range(3)]
        slowly = ({"adapters": three, "stop_step_ms": 600},
                  {"adapters": three, "adapters_late_ms": 3000, "adapters_step_ms": 1500})
        quickly = ({}, {"adapters_late_ms": 300})
        for name, end, powered_at_start, (config, restart) in (("SIGKILL", lambda p: p.kill(), True, quickly),
                                                               ("SIGTERM", lambda p: p.terminate(), False, quickly),
                                                               ("SIGTERM, slowly", lambda p: p.terminate(), False,
                                                                slowly)):
            with self.subTest(name):
                self.fake_config = config
                self.start_over(self.peers)
                self.start_v2("--adapter", "hci0")
                self.bridge.expect(event="state", value="ready")
                for address in self.addresses:
                    self.announced(address)
                before = len(self.bridge.events_so_far())
                tags = []
                for n in range(5):
                    for address in self.addresses:
                        tags.append(f"{address}/{n}")
                        self.bridge.command(command="send", id=peer_id(address), tag=tags[-1],
                                            data=base64.b64encode(b"frame %d" % n).decode())
                end(self.fake.process)
                self.fake.process.wait(WAIT)
                self.bridge.expect(in_order=False, event="state", value="unsupported", reason="no_bluetoothd")
                for address in self.addresses:
                    self.bridge.expect(in_order=False, event="peer", id=peer_id(address), connected=False)
                for tag in tags:
                    self.bridge.expect(in_order=False, event="write", tag=tag)
                self.fake.close()
                # bluetoothd as it starts: its name first, its adapters a little later, powered
                # later still.
                self.fake_config = dict(restart, adapters_powered_at_start=powered_at_start)
                self.fake = self.start_bluetoothd()
                self.bridge.expect(in_order=False, event="state", value="ready")
                for address in self.addresses:
                    self.announced(address)
                self.all_echo(b"back")
                err = self.bridge.stop(quiet=False)
                self.fake_config = {}
                self.assertEqual(self.states(before), [("unsupported", "no_bluetoothd"), ("ready", None)])
                self.assertEqual(err.count("bluetoothd is gone: waiting for it to come back"), 1, err)

    def await_adapter(self, path):
        objects = dbus.Interface(dbus.bus.BusConnection(self.bus.address).get_object("org.bluez", "/"),
                                 "org.freedesktop.DBus.ObjectManager")
        deadline = time.monotonic() + WAIT
        while dbus.ObjectPath(path) not in objects.GetManagedObjects():
            self.assertLess(time.monotonic(), deadline, f"{path} never came")
            time.sleep(0.05)

    def test_an_adapter_unplugged_and_plugged_back_under_another_name(self):
        for options, waits in (((), False), (("--adapter", ADAPTER.lower()), False), (("--adapter", "hci0"), True)):
            with self.subTest(options=options):
                self.start_over(self.peers)
                self.start_v2(*options)
                self.bridge.expect(event="state", value="ready")
                for address in self.addresses:
                    self.announced(address)
                before = len(self.bridge.events_so_far())
                self.fake.control.ReplaceAdapter("hci0", "hci1")
                if waits:
                    # Named: hci0 only, whatever comes meanwhile.
                    self.bridge.expect(event="state", value="unsupported", reason="adapter_missing")
                    self.await_adapter("/org/bluez/hci1")
                    self.fake.control.ReplaceAdapter("hci1", "hci0")
                self.bridge.expect(in_order=False, event="state", value="ready")
                # The same controller: the same peer ids.
                for address in self.addresses:
                    self.announced(address)
                self.all_echo(b"plugged back")
                self.bridge.stop(quiet=False)
                self.assertEqual(self.states(before), [("unsupported", "adapter_missing" if options else "no_adapter"),
                                                       ("ready", None)])

    def test_a_controller_that_takes_no_more_links(self):
        self.fake_config = {"max_links": 2}
        self.start_over([{"address": a, "advertise_ms": 100} for a in ("C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02",
                                                                      "C0:FF:EE:00:00:03")])
        self.start_v2()
        started = time.monotonic()
        everyone = {peer_id(a) for a in ("C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02", "C0:FF:EE:00:00:03")}
        kept = {self.bridge.expect(in_order=False, event="peer", connected=True)["id"] for _ in range(2)}
        (refused,) = everyone - kept
        mark = len(self.bridge.events_so_far())
        for n in range(3):
            self.bridge.expect(in_order=False, event="peer", id=refused, connected=False, reason="connect_failed")
            # The links it has go on working meanwhile.
            for peer in kept:
                self.bridge.command(command="send", id=peer, data=base64.b64encode(b"kept %d" % n).decode())
                self.bridge.expect(in_order=False, event="frame", id=peer, data=base64.b64encode(b"kept %d" % n).decode())
        # Three attempts: at once, after 1 s, after 2 s more; not at each advertisement (every 100 ms).
        self.assertGreater(time.monotonic() - started, 2.5)
        err = self.bridge.stop(quiet=False)
        self.fake_config = {}
        self.assertEqual(err.count("refuses more connections"), 1, err)
        self.assertFalse([e for e in self.bridge.events_so_far()[mark:] if e.get("connected") is False and e["id"] in kept])

    def test_a_device_that_wants_a_pairing_nobody_answers(self):
        stalls, works = "C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02"
        self.start_fresh([{"address": stalls, "pairing_stall_ms": 12000, "advertise_ms": 100}, {"address": works}],
                         "--protocol", "2", "-v")
        self.bridge.expect(event="hello", protocol=2)
        for address in (stalls, works):
            self.announced(address)
        self.bridge.command(command="send", id=peer_id(stalls), tag="stalled", data=base64.b64encode(b"x").decode())
        # The other peer works on meanwhile.
        self.echo(works, b"meanwhile")
        deadline = time.monotonic() + 30
        lost = None
        while lost is None:
            self.assertLess(time.monotonic(), deadline)
            lost = next((e for e in self.bridge.events_so_far() if e.get("id") == peer_id(stalls)
                         and e.get("connected") is False), None)
            time.sleep(0.1)
        # The end names what was missing; the frame went with the link.
        self.assertEqual(lost["reason"], "pairing_required")
        self.bridge.expect(in_order=False, event="write", tag="stalled", reason="peer_gone")
        # Not connected again at once: at the back-off's pace.
        self.announced(stalls)
        self.echo(works, b"still")
        err = self.bridge.stop(quiet=False)
        self.assertEqual(err.count("may want a pairing"), 1, err)
        self.assertIn(f"back-off: {stalls} is not connected again for 1000 ms", err)


    def test_a_write_refused_for_want_of_a_pairing_says_so(self):
        # No agent anywhere, and bluetoothd answers at once: "Not paired".
        wants, works = "C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02"
        self.start_fresh([{"address": wants, "pairing": {"method": "passkey"}}, {"address": works}],
                         "--protocol", "2", "-v")
        self.bridge.expect(event="hello", protocol=2)
        for address in (wants, works):
            self.announced(address)
        self.bridge.command(command="send", id=peer_id(wants), tag="refused", data=base64.b64encode(b"x").decode())
        self.bridge.expect(in_order=False, event="write", tag="refused", accepted=False, reason="pairing_required")
        self.echo(works, b"unaffected")
        err = self.bridge.stop(quiet=False)
        self.assertIn("the device wants a pairing", err)
        # Protocol 1: a frame given up, as before.
        self.start_over([{"address": wants, "pairing": {"method": "passkey"}}])
        self.announced(wants)
        self.bridge.send(wants, b"x")
        self.assertEqual(self.bridge.expect(event="write"),
                         {"accepted": False, "bytes": 1, "event": "write", "id": peer_id(wants)})
        self.bridge.stop()


class Pairing(BluezCase):
    """--pairing: the bridge as bluetoothd's agent, each request put to the client as a "pairing"
    event and answered with a "pair" command. Protocol 2."""

    start_fake = False

    def start_agent(self, peers):
        self.start_fresh(peers, "--protocol", "2", "-v", "--pairing", "keyboard-display")
        self.bridge.expect(event="hello", protocol=2)
        for peer in peers:
            if peer.get("adapter", "hci0") == "hci0":
                self.bridge.expect(in_order=False, event="peer", id=peer_id(peer["address"]), connected=True)
        # Registered, and the default agent.
        deadline = time.monotonic() + WAIT
        while not self.fake.control.Agents():
            self.assertLess(time.monotonic(), deadline, "no agent registered")
            time.sleep(0.05)
        ((_, path, capability),) = self.fake.control.Agents()
        self.assertEqual(capability, "KeyboardDisplay")

    def send(self, address, tag):
        self.bridge.command(command="send", id=peer_id(address), tag=tag, data=base64.b64encode(tag.encode()).decode())

    def refuse_until_given_up(self, address, tag):
        """Refuses every pairing the write's later attempts ask for, until it is given up."""
        for _ in range(2):
            self.bridge.expect(in_order=False, event="pairing", id=peer_id(address))
            self.bridge.command(command="pair", id=peer_id(address), confirm=False)
        self.bridge.expect(in_order=False, event="write", tag=tag, accepted=False, reason="pairing_required")

    def test_each_method_pairs_and_the_others_work_on(self):
        passkey, confirm, display, authorize, plain = (f"C0:FF:EE:00:00:0{n}" for n in range(1, 6))
        self.start_agent([{"address": passkey, "pairing": {"method": "passkey", "passkey": 123456}},
                          {"address": confirm, "pairing": {"method": "confirm", "passkey": 7}},
                          {"address": display, "pairing": {"method": "display", "passkey": 654321}},
                          {"address": authorize, "pairing": {"method": "authorize"}},
                          {"address": plain},
                          {"address": "C0:FF:EE:00:00:06", "pairing": {"method": "passkey", "passkey": 1}}])
        for address, request, answer in (
                (passkey, {"method": "passkey"}, {"passkey": 123456}),
                (confirm, {"method": "confirm", "passkey": 7}, {"confirm": True}),
                (display, {"method": "display", "passkey": 654321}, None),
                (authorize, {"method": "authorize"}, {"confirm": True})):
            with self.subTest(request["method"]):
                self.send(address, request["method"])
                self.assertEqual(self.bridge.expect(in_order=False, event="pairing", id=peer_id(address)),
                                 dict(request, event="pairing", id=peer_id(address)))
                # While the device waits for the client, the other peers work on.
                self.echo(plain, request["method"].encode())
                if answer:
                    self.bridge.command(command="pair", id=peer_id(address), **answer)
                self.bridge.expect(in_order=False, event="write", tag=request["method"], accepted=True)
                self.bridge.expect(in_order=False, event="frame", id=peer_id(address),
                                   data=base64.b64encode(request["method"].encode()).decode())
                # Paired: no more asking.
                self.echo(address, b"again")
        # A client that took its time (the write waited past 10 s) paired all the same: the
        # link's later end is a plain one.
        slow = "C0:FF:EE:00:00:06"
        self.send(slow, "slow")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(slow), method="passkey")
        time.sleep(11)  # past the write's 10 s stall bound, on purpose
        self.bridge.command(command="pair", id=peer_id(slow), passkey=1)
        self.bridge.expect(in_order=False, event="write", tag="slow", accepted=True)
        self.fake.control.Drop(slow)
        self.bridge.expect(in_order=False, event="peer", id=peer_id(slow), connected=False, reason="disconnected")
        err = self.bridge.stop(quiet=False)
        self.assertFalse(self.fake.control.Agents(), "the agent was not unregistered")
        self.assertIn("the pairing agent (KeyboardDisplay) is registered as the default one", err)
        self.assertFalse([e for e in self.bridge.events_so_far() if e["event"] in ("pairing_ended", "rejected")])

    def test_refused_wrong_unanswered_cancelled_and_not_ours(self):
        wrong, late, elsewhere, plain = "C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02", "C0:FF:EE:00:00:03", "C0:FF:EE:00:00:04"
        self.start_agent([{"address": wrong, "pairing": {"method": "passkey", "passkey": 123456}},
                          {"address": late, "pairing": {"method": "confirm", "passkey": 1}},
                          {"address": elsewhere, "adapter": "hci1", "pairing": {"method": "confirm", "passkey": 2}},
                          {"address": plain}])
        # A wrong passkey fails the pairing; each later attempt asks again.
        self.send(wrong, "wrong")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(wrong), method="passkey")
        self.bridge.command(command="pair", id=peer_id(wrong), passkey=111111)
        self.refuse_until_given_up(wrong, "wrong")
        # A client that never answers: refused when the bound passes, and said.
        self.send(late, "late")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(late), method="confirm", passkey=1)
        started = time.monotonic()
        while not any(e["event"] == "pairing_ended" for e in self.bridge.events_so_far()):
            self.assertLess(time.monotonic() - started, 40, "the unanswered pairing was never ended")
            self.echo(plain, b"meanwhile")
        self.assertGreater(time.monotonic() - started, 20)
        self.bridge.expect(in_order=False, event="pairing_ended", id=peer_id(late), reason="timeout")
        # The device gives up the next one itself.
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(late), method="confirm")
        self.fake.control.CancelPairing(late)
        self.bridge.expect(in_order=False, event="pairing_ended", id=peer_id(late), reason="cancelled")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(late), method="confirm")
        self.bridge.command(command="pair", id=peer_id(late), confirm=False)
        self.bridge.expect(in_order=False, event="write", tag="late", accepted=False, reason="pairing_required")
        # Another adapter's device is refused at once, and never put to the client.
        self.assertEqual(self.fake.control.AskPairing(elsewhere), "org.bluez.Error.Rejected")
        # An answer with no pairing open, and malformed ones.
        self.bridge.command(command="pair", id=peer_id(plain), confirm=True)
        self.bridge.command(command="pair", id=peer_id(plain), passkey=1000000)
        self.bridge.command(command="pair", id="C0:FF:EE:00:00:04", confirm=True)
        self.bridge.expect(in_order=False, event="rejected", reason="not_a_command")
        self.bridge.expect(in_order=False, event="rejected", reason="bad_id")
        self.echo(plain, b"still")
        err = self.bridge.stop(quiet=False)
        self.assertFalse([e for e in self.bridge.events_so_far() if e.get("id") == peer_id(elsewhere, "00:11:22:33:44:01")
                          or (e["event"].startswith("pairing") and e["id"] == peer_id(plain))])
        self.assertIn("refused: not a device of the bridge's adapter that it uses", err)
        self.assertIn("came with no pairing open: ignored", err)
        self.assertIn("the device wants a confirmation of a passkey; asking the client", err)

    def test_a_write_refused_has_the_bridge_pair_the_device(self):
        # Another agent is the default one and refuses the write's own request for security (as
        # when one bluetoothd serves both ends of a link): the bridge calls Pair itself.
        paired, refused, plain = "C0:FF:EE:00:00:01", "C0:FF:EE:00:00:02", "C0:FF:EE:00:00:03"
        self.start_agent([{"address": paired, "pairing": {"method": "passkey", "passkey": 424242, "by_pair_call": True}},
                          {"address": refused, "pairing": {"method": "confirm", "passkey": 9, "by_pair_call": True}},
                          {"address": plain}])
        self.send(paired, "one")
        self.send(paired, "two")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(paired), method="passkey")
        self.echo(plain, b"meanwhile")
        self.bridge.command(command="pair", id=peer_id(paired), passkey=424242)
        for tag in ("one", "two"):
            self.bridge.expect(in_order=False, event="write", tag=tag, accepted=True)
            self.bridge.expect(in_order=False, event="frame", id=peer_id(paired), data=base64.b64encode(tag.encode()).decode())
        self.echo(paired, b"again")
        # A pairing that fails ends the write; the write's later attempts each pair again.
        self.send(refused, "no")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(refused), method="confirm", passkey=9)
        self.bridge.command(command="pair", id=peer_id(refused), confirm=False)
        self.refuse_until_given_up(refused, "no")
        err = self.bridge.stop(quiet=False)
        pairs = [path for path, method in self.fake.control.Calls() if method == "Pair"]
        self.assertEqual(pairs.count("/org/bluez/hci0/dev_" + paired.replace(":", "_")), 1, pairs)
        self.assertEqual(pairs.count("/org/bluez/hci0/dev_" + refused.replace(":", "_")), 3, pairs)
        self.assertIn("refused for want of a pairing: pairing the device", err)
        self.assertIn("pairing " + refused + " failed (org.bluez.Error.AuthenticationFailed", err)

    def test_bluetoothd_letting_the_agent_go_or_restarting(self):
        wants = "C0:FF:EE:00:00:01"
        self.start_agent([{"address": wants, "pairing": {"method": "authorize"}}])
        self.fake.control.ReleaseAgent()
        # A bluetoothd that starts again is registered with anew.
        self.fake.process.kill()
        self.fake.process.wait(WAIT)
        self.fake.close()
        self.fake = self.start_bluetoothd()
        self.bridge.expect(in_order=False, event="peer", id=peer_id(wants), connected=True)
        deadline = time.monotonic() + WAIT
        while not self.fake.control.Agents():
            self.assertLess(time.monotonic(), deadline, "no agent registered again")
            time.sleep(0.05)
        self.send(wants, "back")
        self.bridge.expect(in_order=False, event="pairing", id=peer_id(wants), method="authorize")
        self.bridge.command(command="pair", id=peer_id(wants), confirm=True)
        self.bridge.expect(in_order=False, event="write", tag="back", accepted=True)
        err = self.bridge.stop(quiet=False)
        self.assertEqual(err.count("bluetoothd released the pairing agent"), 1, err)


class ManyPeers(BluezCase):
    """More peers than the bus lets calls await replies."""

    def test_connect_calls_stay_under_the_bus_limit(self):
        self.start_over([{"address": "C0:FF:EE:00:%02X:%02X" % (i // 256, i % 256), "connect": "never"}
                         for i in range(200)])
        deadline = time.monotonic() + WAIT
        while self.fake.control.PendingConnects()[1] < 32 and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1)
        self.assertEqual(self.fake.control.PendingConnects()[1], 32)
        # No call was refused: no peer is reported lost.
        self.assertEqual([e for e in self.bridge.events_so_far() if e["event"] == "peer"], [])
        self.bridge.stop()
        # At stop, the attempts under way are called off; those still waiting asked for nothing.
        deadline = time.monotonic() + WAIT
        calls = self.fake.calls()
        while sum(member == "Disconnect" for _, member in calls) < 32 and time.monotonic() < deadline:
            time.sleep(0.1)
            calls = self.fake.calls()
        connected = sorted(path for path, member in calls if member == "Connect")
        self.assertEqual(sorted(path for path, member in calls if member == "Disconnect"), connected)

    def test_every_peer_is_reached_in_turn(self):
        addresses = ["C0:FF:EE:00:%02X:%02X" % (i // 256, i % 256) for i in range(150)]
        self.start_over([{"address": a, "connect_ms": 200} for a in addresses])
        for a in addresses:
            self.bridge.expect(in_order=False, event="peer", id=peer_id(a), connected=True, mtu=247)
        self.bridge.stop()
        self.assertFalse([e for e in self.bridge.events_so_far() if e.get("connected") is False])


if __name__ == "__main__":
    if not GATTRELAY:
        raise SystemExit("set GATTRELAY to the gattrelay executable")
    unittest.main()
