#!/usr/bin/python3
"""Resident memory of gattrelay-sim while a client writes sends to the demo world's echo peer and
never reads the events. Writing stops when all is written, or when the client's write has made
no progress for 5 s (the bridge has stopped reading), or after 120 s.

usage: bench/never_reads.py build/bin/gattrelay-sim [GIB]   (GIB: what to write, 2 by default)
"""
import subprocess
import sys
import threading
import time

sim = sys.argv[1]
total = int(float(sys.argv[2] if len(sys.argv) > 2 else 2) * 2**30)
line = (b'{"command":"send","id":"5EC1A5E0-0000-4000-8000-000000000001",'
        b'"data":"AAECAwQFBgcICQoLDA0ODxAREhM="}\n')
block = line * ((1 << 20) // len(line))

bridge = subprocess.Popen([sim], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
for _ in range(3):  # hello, state, the peer
    bridge.stdout.readline()
written = 0


def write():
    global written
    try:
        while written < total:
            view = memoryview(block)
            while view:
                n = bridge.stdin.write(view)
                written += n
                view = view[n:]
    except BrokenPipeError:  # killed at the end
        pass


threading.Thread(target=write, daemon=True).start()


def status_kib(key):
    with open(f"/proc/{bridge.pid}/status") as f:
        return next(int(entry.split()[1]) for entry in f if entry.startswith(key))


start = last_progress = time.monotonic()
last = 0
while written < total and time.monotonic() - last_progress < 5 and time.monotonic() - start < 120:
    time.sleep(0.25)
    if written != last:
        last, last_progress = written, time.monotonic()
print(f"client wrote {written / 2**20:.0f} MiB of {total / 2**20:.0f} MiB in {time.monotonic() - start:.1f} s "
      f"({'then blocked' if written < total else 'all of it'}); gattrelay-sim resident "
      f"{status_kib('VmRSS:') / 1024:.1f} MiB, peak {status_kib('VmHWM:') / 1024:.1f} MiB")
bridge.kill()
bridge.wait()
