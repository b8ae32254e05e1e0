"""Home Assistant's harness with a simulated lock behind a simulated Bluetooth proxy."""

from __future__ import annotations

import functools
import sys
from collections.abc import AsyncIterator, Iterator
from pathlib import Path
from typing import Any
from unittest.mock import patch

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))  # custom_components
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for the shared helpers in support/

from homeassistant.const import CONF_ADDRESS
from homeassistant.core import HomeAssistant
from homeassistant.setup import async_setup_component
from pytest_homeassistant_custom_component.common import MockConfigEntry
from support.keys import ADDRESS, AES_KEY, UNLOCK_KEY

import quovel_bleak
from custom_components.quovel.const import CONF_AES_KEY, CONF_UNLOCK_KEY, DOMAIN
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedPeripheral, SimulatedRadio
from quovel_sim.homeassistant import SimulatedProxy, add_proxy


@pytest.fixture(autouse=True)
def auto_enable_custom_integrations(enable_custom_integrations: None) -> None:
    """The integration under test lives in custom_components/."""


@pytest.fixture(autouse=True)
def quick_replies() -> Iterator[None]:
    """A silent lock costs a test 1 s rather than the driver's reply timeout."""
    quick = functools.partial(quovel_bleak.Timing, reply_timeout=1.0)
    with (
        patch("custom_components.quovel.device.Timing", quick),
        patch("custom_components.quovel.config_flow.Timing", quick),
    ):
        yield


@pytest.fixture
async def radio(hass: HomeAssistant, mock_bluetooth: None) -> SimulatedRadio:
    assert await async_setup_component(hass, "bluetooth", {})
    await hass.async_block_till_done()
    return SimulatedRadio()


@pytest.fixture
def link() -> LinkFaults:
    return LinkFaults()


@pytest.fixture
def peripheral(radio: SimulatedRadio, link: LinkFaults) -> SimulatedPeripheral:
    return radio.add(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=ADDRESS), link)


@pytest.fixture
async def proxy(hass: HomeAssistant, radio: SimulatedRadio) -> AsyncIterator[SimulatedProxy]:
    proxy = add_proxy(hass, radio)
    yield proxy
    proxy.remove()


@pytest.fixture
def entry(hass: HomeAssistant) -> MockConfigEntry:
    entry = MockConfigEntry(
        domain=DOMAIN,
        title="Front door",
        unique_id=ADDRESS,
        data={CONF_ADDRESS: ADDRESS, CONF_AES_KEY: AES_KEY.hex(), CONF_UNLOCK_KEY: UNLOCK_KEY},
    )
    entry.add_to_hass(hass)
    return entry


@pytest.fixture
async def make_fleet(hass: HomeAssistant, radio: SimulatedRadio) -> AsyncIterator[Any]:
    """Sets up locks behind proxies (fleet.set_up_fleet); the proxies go afterwards."""
    from fleet import Fleet, set_up_fleet

    made: list[Fleet] = []

    async def make(**options: Any) -> Fleet:
        made.append(await set_up_fleet(hass, radio, **options))
        return made[-1]

    yield make
    for fleet in made:
        for proxy in fleet.proxies:
            proxy.remove()
