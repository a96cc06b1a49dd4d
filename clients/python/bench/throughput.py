"""Frames per second and echo round trip through this package against gattrelay-sim, and the same through a
bare asyncio client that only writes send lines and counts event lines, in the same run. One echoing peer.

    /usr/bin/python3 clients/python/bench/throughput.py [--sim PATH] [--runs 5] [--frames 100000] [--samples 5000]
"""

import argparse
import asyncio
import base64
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from gattrelay import Bridge, Frame, World  # noqa: E402

IN_FLIGHT = 512  # what the package keeps per peer, so that both clients pipeline alike
FRAME = b"a" * 20

parser = argparse.ArgumentParser()
parser.add_argument("--sim", default=str(Path(__file__).resolve().parents[3] / "build" / "bin" / "gattrelay-sim"))
parser.add_argument("--runs", type=int, default=5)
parser.add_argument("--frames", type=int, default=100000)
parser.add_argument("--samples", type=int, default=5000)
options = parser.parse_args()

world = World()
PEER = world.peripheral(echo=True, write_limit=512)
SEND_LINE = f'{{"command":"send","id":"{PEER}","data":"{base64.b64encode(FRAME).decode()}"}}\n'.encode()


class BareClient(asyncio.SubprocessProtocol):
    """Counts the lines that come after the peer's announcement, and hands each count to `on_lines`."""

    def __init__(self) -> None:
        self.ready = asyncio.get_running_loop().create_future()
        self.exited = asyncio.get_running_loop().create_future()
        self.on_lines = lambda count: None
        self.head = b""

    def pipe_data_received(self, fd: int, data: bytes) -> None:
        if self.ready.done():
            self.on_lines(data.count(b"\n"))
        else:
            self.head += data
            if b'"event":"peer"' in self.head:
                self.ready.set_result(None)

    def process_exited(self) -> None:
        self.exited.set_result(None)


async def bare_session(world_path: str) -> tuple[asyncio.SubprocessTransport, BareClient]:
    loop = asyncio.get_running_loop()
    transport, client = await loop.subprocess_exec(
        BareClient, options.sim, "--protocol", "2", "--", world_path, stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE, stderr=None,
    )
    await client.ready
    return transport, client


async def end_bare(transport: asyncio.SubprocessTransport, client: BareClient) -> None:
    stdin = transport.get_pipe_transport(0)
    stdin.write(b'{"command":"stop"}\n')
    stdin.close()
    await client.exited
    transport.close()


async def bare_rate(world_path: str) -> float:
    transport, client = await bare_session(world_path)
    stdin = transport.get_pipe_transport(0)
    done = asyncio.get_running_loop().create_future()
    sent = lines = 0

    def pump() -> None:
        nonlocal sent
        # Each echoed frame is two lines, "write" then "frame": half the lines count answered frames.
        room = min(IN_FLIGHT - (sent - lines // 2), options.frames - sent)
        if room > 0:
            stdin.write(SEND_LINE * room)
            sent += room

    def on_lines(count: int) -> None:
        nonlocal lines
        lines += count
        if lines == 2 * options.frames:
            done.set_result(None)
        else:
            pump()

    client.on_lines = on_lines
    start = time.perf_counter()
    pump()
    await done
    seconds = time.perf_counter() - start
    await end_bare(transport, client)
    return options.frames / seconds


async def bare_round_trips(world_path: str) -> list[float]:
    transport, client = await bare_session(world_path)
    stdin = transport.get_pipe_transport(0)
    samples: list[float] = []
    done = asyncio.get_running_loop().create_future()
    lines = 0
    sent_at = 0.0

    def send() -> None:
        nonlocal sent_at
        sent_at = time.perf_counter()
        stdin.write(SEND_LINE)

    def on_lines(count: int) -> None:
        nonlocal lines
        lines += count
        if lines < 2:
            return
        lines = 0
        samples.append(time.perf_counter() - sent_at)
        if len(samples) == options.samples:
            done.set_result(None)
        else:
            send()

    client.on_lines = on_lines
    send()
    await done
    await end_bare(transport, client)
    return samples


async def package_rate(world_path: str, window: int) -> float:
    """Through the package, keeping `window` sends unsettled: the next send is made as one settles. With a
    window of all the frames, every send is made at once and the package holds back all but 512."""
    async with await Bridge.start(world=world_path, path=options.sim) as bridge:
        await bridge.wait_for_peer()
        events = bridge.events(Frame)
        sent = 0

        def next_send(_: object = None) -> None:
            nonlocal sent
            if sent < options.frames:
                sent += 1
                bridge.send(PEER, FRAME).add_done_callback(next_send)

        start = time.perf_counter()
        for _ in range(window):
            next_send()
        echoed = 0
        async for _ in events:
            echoed += 1
            if echoed == options.frames:
                break
        seconds = time.perf_counter() - start
    return options.frames / seconds


async def package_round_trips(world_path: str) -> list[float]:
    async with await Bridge.start(world=world_path, path=options.sim) as bridge:
        await bridge.wait_for_peer()
        events = bridge.events(Frame)
        samples = []
        for _ in range(options.samples):
            start = time.perf_counter()
            await bridge.send(PEER, FRAME)
            async for _ in events:
                break
            samples.append(time.perf_counter() - start)
    return samples


def quantile(samples: list[float], q: float) -> float:
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


async def main() -> None:
    with tempfile.TemporaryDirectory() as directory:
        world_path = os.path.join(directory, "world.json")
        Path(world_path).write_text(world.to_json())
        rates: dict[str, list[float]] = {"bare": [], "windowed": [], "all_at_once": []}
        trips: dict[str, list[list[float]]] = {"bare": [], "package": []}
        for _ in range(options.runs):
            rates["bare"].append(await bare_rate(world_path))
            rates["windowed"].append(await package_rate(world_path, 2 * IN_FLIGHT))
            rates["all_at_once"].append(await package_rate(world_path, options.frames))
            trips["bare"].append(await bare_round_trips(world_path))
            trips["package"].append(await package_round_trips(world_path))

    print(f"gattrelay-sim: {options.sim}; {options.runs} runs; medians of the runs")
    print(f"{options.frames} pipelined 20-byte frames, one peer, frames/s echoed:")
    bare = statistics.median(rates["bare"])
    print(f"  bare client ({IN_FLIGHT} in flight): {bare:.0f}")
    labels = {"windowed": f"package, {2 * IN_FLIGHT} sends unsettled", "all_at_once": "package, every send at once"}
    for name, label in labels.items():
        rate = statistics.median(rates[name])
        print(f"  {label}: {rate:.0f} ({100 * rate / bare:.0f}% of the bare client)")
    print(f"echo round trip of one 20-byte frame ({options.samples} a run), median / 99th percentile:")
    for who, runs in trips.items():
        median = statistics.median(statistics.median(s) for s in runs) * 1e6
        p99 = statistics.median(quantile(s, 0.99) for s in runs) * 1e6
        print(f"  {who}: {median:.0f} µs / {p99:.0f} µs")


asyncio.run(main())
