"""The package as users get it: installed with pip into a new virtual environment, offline, from the source
tree (which it leaves as it was), it passes an echo round trip."""

import os
import subprocess
import sys
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]

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


def files(folder: Path) -> set[Path]:
    return set(folder.rglob("*"))


def test_pip_installs_it_into_a_virtual_environment_offline(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", venv], check=True)
    before = files(SOURCE)
    pip = [venv / "bin" / "python", "-m", "pip", "--disable-pip-version-check", "-q"]
    subprocess.run([*pip, "install", "--no-index", SOURCE], check=True, env={**os.environ, "PIP_NO_INDEX": "1"})
    assert files(SOURCE) == before

    run = subprocess.run(
        [venv / "bin" / "python", "-c", ROUND_TRIP], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stderr
    site = next((venv / "lib").glob("python3*/site-packages"))
    assert run.stdout.splitlines() == [
        "Outcome(accepted=True, bytes=4, reason=None)",
        "b'ping'",
        str(site / "gattrelay" / "__init__.py"),
    ]
