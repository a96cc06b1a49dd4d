"""Tests run gattrelay-sim from GATTRELAY_SIM_PATH, else from this source tree's build folder; a test that is a
coroutine runs in its own event loop, and fails after a minute rather than hang."""

import asyncio
import inspect
import os
from pathlib import Path

import pytest

BUILT_SIM = Path(__file__).resolve().parents[3] / "build" / "bin" / "gattrelay-sim"
os.environ.setdefault("GATTRELAY_SIM_PATH", str(BUILT_SIM))

FIXTURES = Path(__file__).resolve().parents[2] / "fixtures"  # shared with the Node.js package's tests


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if not inspect.iscoroutinefunction(pyfuncitem.obj):
        return None
    args = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    asyncio.run(asyncio.wait_for(pyfuncitem.obj(**args), 60))
    return True
