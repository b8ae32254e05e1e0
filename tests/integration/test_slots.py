"""The connection slots of Home Assistant's proxies, shared by every lock through the driver's pool."""

from __future__ import annotations

import asyncio
import functools
from collections.abc import Awaitable, Callable
from unittest.mock import patch

import pytest
from fleet import Fleet
from homeassistant.components.lock import LockState
from homeassistant.const import ATTR_ENTITY_ID
from homeassistant.core import HomeAssistant
from homeassistant.exceptions import HomeAssistantError

import quovel_bleak
from custom_components.quovel.slots import slot_pool
from quovel_sim.bleak_backend import SimulatedRadio
from quovel_sim.homeassistant import add_proxy


@pytest.fixture(autouse=True)
def short_deadline():
    """A call that would wait for a held link's hold or a fixed retry rhythm fails instead."""
    quick = functools.partial(quovel_bleak.Timing, reply_timeout=1.0, call_deadline=3.0)
    with patch("custom_components.quovel.device.Timing", quick):
        yield


async def test_a_waiting_lock_takes_the_slot_of_a_link_held_idle(
    hass: HomeAssistant, radio: SimulatedRadio, make_fleet: Callable[..., Awaitable[Fleet]]
) -> None:
    fleet = await make_fleet(locks=2, proxies=1, slots=1)
    first, second = fleet.entities
    await hass.services.async_call("lock", "unlock", {ATTR_ENTITY_ID: first}, blocking=True)
    assert fleet.peripherals[0].connected  # held for a next command
    await hass.services.async_call("lock", "unlock", {ATTR_ENTITY_ID: second}, blocking=True)
    assert [p.connected for p in fleet.peripherals] == [False, True]
    assert fleet.proxies[0].get_allocations().allocated == [fleet.peripherals[1].address]
    # Every door at once: one slot serves them in turn.
    await hass.services.async_call("lock", "lock", {ATTR_ENTITY_ID: fleet.entities}, blocking=True)
    assert [hass.states.get(e).state for e in fleet.entities] == [LockState.LOCKED] * 2


async def test_a_full_proxy_fails_the_call_with_busy_slots(
    hass: HomeAssistant, radio: SimulatedRadio, make_fleet: Callable[..., Awaitable[Fleet]]
) -> None:
    fleet = await make_fleet(locks=1, proxies=1, slots=1)
    # The proxy reports a free slot but refuses every connection: the call
    # waits for a change that never comes, within its deadline.
    fleet.proxies[0].remove()
    refusing = add_proxy(hass, radio, source="AA:BB:CC:DD:EE:00", connection_slots=1, can_connect=lambda: False)
    fleet.proxies.append(refusing)
    refusing.advertise(fleet.peripherals[0])
    with pytest.raises(HomeAssistantError) as raised:
        await hass.services.async_call("lock", "unlock", {ATTR_ENTITY_ID: fleet.entities[0]}, blocking=True)
    assert raised.value.translation_key == "no_connection_slot"
    assert "every connection slot that can reach the lock was busy (AA:BB:CC:DD:EE:00)" in str(raised.value)
    assert fleet.peripherals[0].connect_attempts == 0
    assert slot_pool(hass).waiting == 0


async def test_the_source_reports_reach_slots_and_changes(
    hass: HomeAssistant, radio: SimulatedRadio, make_fleet: Callable[..., Awaitable[Fleet]]
) -> None:
    fleet = await make_fleet(locks=1, proxies=2, slots=3)
    address = fleet.peripherals[0].address
    source = slot_pool(hass)._source
    assert sorted(source.sources_for(address)) == ["AA:BB:CC:DD:EE:00", "AA:BB:CC:DD:EE:01"]
    assert source.sources_for("C4:3A:51:0B:FF:FF") == []
    assert source.free_slots("AA:BB:CC:DD:EE:00") == 3
    assert source.free_slots("nowhere") is None and source.allocated("nowhere") is None
    changes: list[None] = []
    unsubscribe = source.subscribe(lambda: changes.append(None))
    fleet.proxies[1].remove()
    fleet.proxies[0].slots.take(object(), address)
    unsubscribe()
    fleet.proxies[0].slots.holders.clear()
    await asyncio.sleep(0)
    assert len(changes) == 2
    assert source.allocated("AA:BB:CC:DD:EE:00") == {address}
    assert slot_pool(hass) is slot_pool(hass)
