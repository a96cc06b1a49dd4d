#!/usr/bin/python3
"""The comparison client of bluez_echo_bench.py: the same echo work as gattrelay's, written with
bleak (Debian's python3-bleak) on the bus that DBUS_SYSTEM_BUS_ADDRESS names.

usage: bleak_echo_client.py SERVICE INBOX OUTBOX FRAMES SIZE
Finds the first device advertising SERVICE, connects, subscribes to OUTBOX and prints "ready".
On SIGUSR1 it writes FRAMES frames of SIZE bytes to INBOX back to back (each a write with
response, the next once the previous one is answered, as gattrelay does), waits for all their
notifications and prints "done"; on a second SIGUSR1 it disconnects and exits. The span between
the signal and "done" holds nothing but the echo work, so the caller measures the process there.
"""
import asyncio
import contextlib
import signal
import sys

from bleak import BleakClient, BleakScanner


async def main(service, inbox, outbox, frames, size):
    device = await BleakScanner.find_device_by_filter(
        lambda _, advertisement: service in advertisement.service_uuids, timeout=30, service_uuids=[service])
    if device is None:
        sys.exit("no device advertises " + service)
    signalled = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, signalled.set)
    echoed = 0
    all_echoed = asyncio.Event()

    def on_notification(_, data):
        nonlocal echoed
        if len(data) != size:
            sys.exit(f"echo of {len(data)} bytes, sent {size}")
        echoed += 1
        if echoed == frames:
            all_echoed.set()

    client = BleakClient(device)
    await client.connect()
    await client.start_notify(outbox, on_notification)
    print("ready", flush=True)
    await signalled.wait()
    signalled.clear()
    frame = bytes(i % 256 for i in range(size))
    for _ in range(frames):
        await client.write_gatt_char(inbox, frame, response=True)
    await asyncio.wait_for(all_echoed.wait(), 60)
    print("done", flush=True)
    await signalled.wait()
    # The stand-in signals Connected false before it answers Disconnect, and bleak closes its bus
    # on that signal, so the answer never comes: the call may end in EOFError. Nothing is measured
    # here any more.
    with contextlib.suppress(EOFError):
        await client.disconnect()


asyncio.run(main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])))
