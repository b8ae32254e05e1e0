"""The fleet benchmark runs Home Assistant's harness on a virtual clock."""

from __future__ import annotations

import asyncio
import logging
import os
import time
from collections.abc import Iterator, Mapping
from typing import Any
from unittest.mock import patch

import pytest
from homeassistant import runner

from quovel_sim.virtual_time import VirtualTimeLoop


def virtual_loop() -> VirtualTimeLoop:
    # Started at the real monotonic clock, which advertisement times are read from.
    return VirtualTimeLoop(start=time.monotonic())


def pytest_asyncio_loop_factories(config: pytest.Config, item: pytest.Item) -> Mapping[str, Any]:
    return {"virtual_time": virtual_loop}


@pytest.fixture(autouse=True)
async def configure_event_loop() -> None:
    """Home Assistant's loop set-up, keeping the loop's own (virtual) clock."""
    loop = asyncio.get_running_loop()
    runner.configure_event_loop(loop)
    del loop.time  # Home Assistant binds time.monotonic over it
    # The table is the output; Home Assistant's set-up chatter is not.
    logging.getLogger().setLevel(logging.WARNING)


@pytest.fixture(autouse=True)
def without_pool() -> Iterator[None]:
    """QUOVEL_BENCH_WITHOUT_POOL=1: the locks share no slot pool, for comparison."""
    if os.environ.get("QUOVEL_BENCH_WITHOUT_POOL") != "1":
        yield
        return
    with patch("custom_components.quovel.device.slot_pool", lambda _hass: None):
        yield
