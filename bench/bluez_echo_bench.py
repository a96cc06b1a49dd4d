#!/usr/bin/python3
"""gattrelay on the stand-in bluetoothd of the tests (tests/bluez/fake_bluetoothd.py, on a private
bus): CPU time and system calls per echoed frame, against a client written with bleak doing the
same echo work (bleak_echo_client.py); and gattrelay's resident memory with many advertising peers.

usage: python3 bench/bluez_echo_bench.py --gattrelay build/bin/gattrelay [--baseline OTHER/gattrelay]
           [--runs 5] [--frames 1000] [--size 20] [--peers 1000] [--calls]
Needs perf (linux-perf) and, for the comparison, python3-bleak; run as root or with
kernel.perf_event_paranoid low enough to count another process's system calls. --calls needs strace.

Each run starts a fresh private bus and stand-in with one echoing peer for each client in turn, so
all meet the same conditions: the baseline build if given, then gattrelay, then the bleak client.
The client under test connects and subscribes first; then
`perf stat -e task-clock,raw_syscalls:sys_enter -p PID` counts that process alone (all its
threads) while FRAMES frames go out back to back (each a write with response, the next once the
previous one is answered; at most WINDOW queued in gattrelay, under its queue's bound) and until
every echo is in. Prints one line per run and the medians.

With --calls, `strace -f -c -p PID` counts the same span instead, call by call (strace slows the
process, so no CPU figure then): the median per frame of each call, and of the calls that failed.
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


class CountedByCall:
    """strace -f -c attached to one process until stop(): {call: (calls, errors)}."""

    def __init__(self, pid, folder):
        self.out = os.path.join(folder, "strace.txt")
        self.strace = subprocess.Popen(["strace", "-f", "-c", "-o", self.out, "-p", str(pid)],
                                       stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def stop(self):
        self.strace.send_signal(signal.SIGINT)
        self.strace.wait(WAIT)
        calls = {}
        with open(self.out) as f:
            for line in f:
                fields = line.split()
                # % time, seconds, usecs/call, calls, [errors,] syscall
                if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                    errors = int(fields[4]) if len(fields) == 6 else 0
                    calls[fields[-1]] = (int(fields[3]), errors)
        return calls


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


def gattrelay_echo(world, frames, size, executable, counter):
    standin.GATTRELAY = executable
    bridge = standin.Bridge(world.bus.address)
    try:
        bridge.expect(event="peer", id=standin.peer_id(ADDRESS), connected=True)
        line = ('{"command":"send","id":"%s","data":"%s"}\n'
                % (standin.peer_id(ADDRESS), base64.b64encode(frame_of(size)).decode())).encode()
        counted = counter(bridge.process.pid, world.folder)
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


def bleak_echo(world, frames, size, counter):
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=world.bus.address)
    client = subprocess.Popen([sys.executable, os.path.join(HERE, "bleak_echo_client.py"), standin.SERVICE,
                               standin.INBOX, standin.OUTBOX, str(frames), str(size)],
                              stdout=subprocess.PIPE, text=True, env=env)
    try:
        line = standin.read_line_within(client.stdout, WAIT, "bleak client")
        if line.strip() != "ready":
            raise SystemExit(f"bleak client: {line!r}")
        counted = counter(client.pid, world.folder)
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


def in_fresh_world(measure, frames, size, *args):
    world = World([{"address": ADDRESS}])
    try:
        return measure(world, frames, size, *args)
    finally:
        world.close()


def clients(gattrelay, baseline):
    """(name, measure, arguments before the counter) of each client, in the order measured."""
    listed = [("baseline", gattrelay_echo, (baseline,))] if baseline else []
    return listed + [("gattrelay", gattrelay_echo, (gattrelay,)), ("bleak client", bleak_echo, ())]


def compare(runs, frames, size, gattrelay, baseline):
    rows = {}  # name: [(us, syscalls) per frame, one per run]
    for run in range(1, runs + 1):
        for name, measure, args in clients(gattrelay, baseline):
            cpu, calls = in_fresh_world(measure, frames, size, *args, Counted)
            rows.setdefault(name, []).append((cpu * 1e6 / frames, calls / frames))
        print(f"run {run}: " + ", ".join(f"{name} {r[-1][0]:.0f} us {r[-1][1]:.1f} syscalls" for name, r in rows.items())
              + " per frame", flush=True)

    def median(name, i, over=None):
        return statistics.median(row[i] / (over[n][i] if over else 1) for n, row in enumerate(rows[name]))
    bleak = rows["bleak client"]
    print(f"median over {runs} runs of {frames} {size}-byte frames, per frame:", flush=True)
    for name in rows:
        print(f"  {name}: {median(name, 0):.0f} us, {median(name, 1):.1f} syscalls; ratio to the bleak client "
              f"(within each run): CPU {median(name, 0, bleak):.3f}, syscalls {median(name, 1, bleak):.3f}", flush=True)


def count_calls(runs, frames, size, gattrelay, baseline):
    for name, measure, args in clients(gattrelay, baseline):
        per_run = [in_fresh_world(measure, frames, size, *args, CountedByCall) for _ in range(runs)]
        names = sorted({call for run in per_run for call in run},
                       key=lambda call: -statistics.median(run.get(call, (0, 0))[0] for run in per_run))
        print(f"{name}: system calls per echoed frame, median of {runs} runs of {frames} {size}-byte frames", flush=True)
        for call in names:
            made = statistics.median(run.get(call, (0, 0))[0] for run in per_run) / frames
            failed = statistics.median(run.get(call, (0, 0))[1] for run in per_run) / frames
            if made >= 0.005:
                print(f"  {call:16} {made:5.2f}" + (f"  (failed: {failed:.2f})" if failed >= 0.005 else ""), flush=True)
        total = statistics.median(sum(c for c, _ in run.values()) for run in per_run) / frames
        print(f"  {'all':16} {total:5.2f}", flush=True)


def status_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])


def memory(count, executable):
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
        print(f"{executable}: {count} advertising peers: {len(announced)} announced in {took:.1f} s; gattrelay resident "
              f"{status_kib(pid, 'VmRSS') / 1024:.1f} MiB, peak {status_kib(pid, 'VmHWM') / 1024:.1f} MiB", flush=True)
    finally:
        bridge.kill()
        world.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gattrelay", required=True, help="the gattrelay executable")
    parser.add_argument("--baseline", help="another gattrelay executable, measured in the same runs")
    parser.add_argument("--calls", action="store_true", help="count the system calls by kind (strace) instead")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--frames", type=int, default=1000, help="frames echoed per client and run")
    parser.add_argument("--size", type=int, default=20, help="bytes per frame")
    parser.add_argument("--peers", type=int, default=1000, help="advertising peers for the memory figure (0: none)")
    args = parser.parse_args()
    gattrelay = os.path.abspath(args.gattrelay)
    baseline = os.path.abspath(args.baseline) if args.baseline else None
    if args.runs:
        (count_calls if args.calls else compare)(args.runs, args.frames, args.size, gattrelay, baseline)
    if args.peers:
        for executable in ([baseline] if baseline else []) + [gattrelay]:
            standin.GATTRELAY = executable
            memory(args.peers, executable)


main()
