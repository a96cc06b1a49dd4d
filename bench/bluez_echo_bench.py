#!/usr/bin/python3
"""gattrelay on the stand-in bluetoothd of the tests (tests/bluez/fake_bluetoothd.py, on a private
bus): CPU time and system calls per echoed frame, against a client written with bleak doing the
same echo work (bleak_echo_client.py); and gattrelay's resident memory with many advertising peers.

usage: python3 bench/bluez_echo_bench.py --gattrelay build/bin/gattrelay [--runs 5] [--frames 1000]
           [--size 20] [--peers 1000]
Needs perf (linux-perf) and, for the comparison, python3-bleak; run as root or with
kernel.perf_event_paranoid low enough to count another process's system calls.

Each run starts a fresh private bus and stand-in with one echoing peer for each client in turn, so
both meet the same conditions. The client under test connects and subscribes first; then
`perf stat -e task-clock,raw_syscalls:sys_enter -p PID` counts that process alone (all its
threads) while FRAMES frames go out back to back (each a write with response, the next once the
previous one is answered; at most WINDOW queued in gattrelay, under its queue's bound) and until
every echo is in. Prints one line per run and the medians.
"""
import argparse
import base64
import os
import queue
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

# python3-dbus, python3-gi and python3-bleak are Debian's: a python3 found first on the PATH may lack them.
if sys.executable != "/usr/bin/python3":
    os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "bluez"))
import bridge_on_bluez_test as standin  # noqa: E402  (the tests' private bus, stand-in and bridge driver)

WAIT = 60.0
WINDOW = 256  # frames queued in gattrelay at a time
ADDRESS = "C0:FF:EE:00:00:01"


class Counted:
    """perf stat attached to one process until stop(): CPU seconds and system calls."""

    def __init__(self, pid, folder):
        self.out = os.path.join(folder, "perf.csv")
        self.perf = subprocess.Popen(["perf", "stat", "-x,", "-o", self.out, "-e", "task-clock,raw_syscalls:sys_enter",
                                      "-p", str(pid)], stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # perf has attached well before this; nothing is sent until then

    def stop(self):
        self.perf.send_signal(signal.SIGINT)
        self.perf.wait(WAIT)
        counts = {}
        with open(self.out) as f:
            for line in f:
                fields = line.strip().split(",")
                if len(fields) > 2 and not line.startswith("#"):
                    counts[fields[2]] = float(fields[0])
        return counts["task-clock"] / 1e3, counts["raw_syscalls:sys_enter"]


class World:
    """A private bus with a stand-in bluetoothd serving `peers`."""

    def __init__(self, peers):
        self.folder = tempfile.mkdtemp(prefix="gattrelay-bench-")
        self.bus = standin.PrivateBus(self.folder)
        self.fake = standin.FakeBluetoothd(self.bus, {"peers": peers}, self.folder)

    def close(self):
        self.fake.close()
        self.bus.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def frame_of(size):
    return bytes(i % 256 for i in range(size))


def gattrelay_echo(world, frames, size):
    bridge = standin.Bridge(world.bus.address)
    try:
        bridge.expect(event="peer", id=standin.peer_id(ADDRESS), connected=True)
        line = ('{"command":"send","id":"%s","data":"%s"}\n'
                % (standin.peer_id(ADDRESS), base64.b64encode(frame_of(size)).decode())).encode()
        counted = Counted(bridge.process.pid, world.folder)
        # The bridge queues up to 512 frames per peer and drops the rest: keep WINDOW queued.
        sent = min(frames, WINDOW)
        bridge.process.stdin.write(line * sent)
        bridge.process.stdin.flush()
        echoed, deadline = 0, time.monotonic() + WAIT + frames * 0.05
        while echoed < frames:
            event = bridge.lines.get(timeout=max(deadline - time.monotonic(), 0))
            if event is None or (event["event"] == "write" and not event["accepted"]):
                raise SystemExit(f"gattrelay: {event} after {echoed} echoes")
            echoed += event["event"] == "frame"
            if event["event"] == "write" and sent < frames:
                bridge.process.stdin.write(line)
                bridge.process.stdin.flush()
                sent += 1
        result = counted.stop()
        bridge.stop()
        return result
    finally:
        bridge.kill()


def bleak_echo(world, frames, size):
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=world.bus.address)
    client = subprocess.Popen([sys.executable, os.path.join(HERE, "bleak_echo_client.py"), standin.SERVICE,
                               standin.INBOX, standin.OUTBOX, str(frames), str(size)],
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = standin.read_line_within(client.stdout, WAIT, "bleak client")
        if line.strip() != "ready":
            raise SystemExit(f"bleak client: {line!r}")
        counted = Counted(client.pid, world.folder)
        client.send_signal(signal.SIGUSR1)
        line = standin.read_line_within(client.stdout, WAIT + frames * 0.05, "bleak client")
        if line.strip() != "done":
            raise SystemExit(f"bleak client: {line!r}")
        result = counted.stop()
        client.send_signal(signal.SIGUSR1)
        client.wait(WAIT)
        return result
    finally:
        if client.poll() is None:
            client.kill()
            client.wait(WAIT)
        client.stdout.close()


def in_fresh_world(measure, frames, size):
    world = World([{"address": ADDRESS}])
    try:
        return measure(world, frames, size)
    finally:
        world.close()


def compare(runs, frames, size):
    ratios, ours, theirs = [], [], []
    for run in range(1, runs + 1):
        g_cpu, g_calls = in_fresh_world(gattrelay_echo, frames, size)
        b_cpu, b_calls = in_fresh_world(bleak_echo, frames, size)
        g = (g_cpu * 1e6 / frames, g_calls / frames)
        b = (b_cpu * 1e6 / frames, b_calls / frames)
        ours.append(g)
        theirs.append(b)
        ratios.append((g[0] / b[0], g[1] / b[1]))
        print(f"run {run}: gattrelay {g[0]:.0f} us {g[1]:.1f} syscalls, bleak client {b[0]:.0f} us "
              f"{b[1]:.1f} syscalls per frame; ratio CPU {ratios[-1][0]:.3f}, syscalls {ratios[-1][1]:.3f}",
              flush=True)

    def median(rows, i):
        return statistics.median(row[i] for row in rows)
    print(f"median over {runs} runs of {frames} {size}-byte frames: gattrelay {median(ours, 0):.0f} us "
          f"{median(ours, 1):.1f} syscalls, bleak client {median(theirs, 0):.0f} us {median(theirs, 1):.1f} "
          f"syscalls per frame; ratio CPU {median(ratios, 0):.3f}, syscalls {median(ratios, 1):.3f}", flush=True)


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])


def memory(count):
    """gattrelay's resident memory once `count` advertising peers are reached, or once no peer was
    announced for 10 s."""
    addresses = [f"C0:FF:EE:00:{i >> 8:02X}:{i & 0xFF:02X}" for i in range(1, count + 1)]
    world = World([{"address": a} for a in addresses])
    bridge = standin.Bridge(world.bus.address)
    try:
        announced, started = set(), time.monotonic()
        last = started
        while len(announced) < count:
            try:
                event = bridge.lines.get(timeout=10)
            except queue.Empty:
                break
            if event is None:
                raise SystemExit("gattrelay ended")
            if event["event"] == "peer" and event["connected"]:
                announced.add(event["id"])
                last = time.monotonic()
        took = last - started
        pid = bridge.process.pid
        print(f"{count} advertising peers: {len(announced)} announced in {took:.1f} s; gattrelay resident "
              f"{status_kib(pid, 'VmRSS') / 1024:.1f} MiB, peak {status_kib(pid, 'VmHWM') / 1024:.1f} MiB", flush=True)
    finally:
        bridge.kill()
        world.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gattrelay", required=True, help="the gattrelay executable")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--frames", type=int, default=1000, help="frames echoed per client and run")
    parser.add_argument("--size", type=int, default=20, help="bytes per frame")
    parser.add_argument("--peers", type=int, default=1000, help="advertising peers for the memory figure (0: none)")
    args = parser.parse_args()
    standin.GATTRELAY = os.path.abspath(args.gattrelay)
    if args.runs:
        compare(args.runs, args.frames, args.size)
    if args.peers:
        memory(args.peers)


main()
