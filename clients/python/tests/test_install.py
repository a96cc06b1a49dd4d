"""The package as users get it: a wheel built offline, installed into a temporary place, passes an echo round trip."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROUND_TRIP = """
import asyncio, gattrelay
async def main():
    world = gattrelay.World()
    peer_id = world.peripheral(echo=True)
    async with await gattrelay.Bridge.start(world=world) as bridge:
        events = bridge.events()
        await bridge.wait_for_peer(peer_id)
        print(await bridge.send(peer_id, b"ping"))
        async for event in events:
            if isinstance(event, gattrelay.Frame):
                print(event.data)
                break
    print(gattrelay.__file__)
asyncio.run(main())
"""


def test_the_wheel_installs_and_echoes(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(Path(__file__).parents[1], source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build"))
    pip = [sys.executable, "-m", "pip", "--disable-pip-version-check", "-q"]
    subprocess.run([*pip, "wheel", "--no-build-isolation", "--no-deps", "-w", tmp_path / "wheels", source], check=True)
    [wheel] = (tmp_path / "wheels").glob("gattrelay-*.whl")
    site = tmp_path / "site"
    subprocess.run([*pip, "install", "--no-deps", "--no-index", "--target", site, wheel], check=True)

    env = {**os.environ, "PYTHONPATH": str(site)}
    run = subprocess.run(
        [sys.executable, "-c", ROUND_TRIP], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == [
        "Outcome(accepted=True, bytes=4, reason=None)",
        "b'ping'",
        str(site / "gattrelay" / "__init__.py"),
    ]
