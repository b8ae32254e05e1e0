"""The lock and battery entities against the simulated lock, through Home Assistant's services."""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Callable
from datetime import timedelta
from unittest.mock import patch

import pytest
from habluetooth.const import UNAVAILABLE_TRACK_SECONDS
from homeassistant.components.bluetooth import FALLBACK_MAXIMUM_STALE_ADVERTISEMENT_SECONDS, MONOTONIC_TIME
from homeassistant.components.lock import LockState
from homeassistant.config_entries import ConfigEntryState
from homeassistant.const import (
    ATTR_ENTITY_ID,
    EVENT_HOMEASSISTANT_STOP,
    EVENT_STATE_CHANGED,
    STATE_UNAVAILABLE,
    STATE_UNKNOWN,
)
from homeassistant.core import HomeAssistant
from homeassistant.exceptions import HomeAssistantError
from homeassistant.helpers import device_registry as dr
from homeassistant.setup import async_setup_component
from homeassistant.util import dt as dt_util
from pytest_homeassistant_custom_component.common import MockConfigEntry, async_capture_events, async_fire_time_changed
from support.keys import ADDRESS

import quovel_bleak
from custom_components.quovel.const import AVAILABILITY_INTERVAL, DOMAIN
from quovel_sim import Faults, ProtocolHeader
from quovel_sim.advertising import STALE_COMPANY_ID, stateless_entry
from quovel_sim.bleak_backend import LinkFaults, SimulatedPeripheral
from quovel_sim.homeassistant import SimulatedProxy
from quovel_sim.lock import LOCK as LOCK_COMMAND

LOCK = "lock.front_door"
BATTERY = "sensor.front_door_battery"
# The broadcast of a lock whose protocol version (1) cannot carry its state.
STATELESS = {STALE_COMPANY_ID: stateless_entry(ADDRESS, protocol_version=1)}


async def set_up(hass: HomeAssistant, entry: MockConfigEntry) -> None:
    assert await hass.config_entries.async_setup(entry.entry_id)
    await hass.async_block_till_done()


async def press(hass: HomeAssistant, service: str) -> None:
    await hass.services.async_call("lock", service, {ATTR_ENTITY_ID: LOCK}, blocking=True)


def state(hass: HomeAssistant, entity_id: str = LOCK) -> str:
    found = hass.states.get(entity_id)
    assert found is not None
    return found.state


async def test_states_follow_stateful_advertisements(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    await set_up(hass, entry)
    assert state(hass) == STATE_UNAVAILABLE  # not heard yet
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    assert (state(hass), state(hass, BATTERY)) == (LockState.LOCKED, "85")
    peripheral.lock.locked = False
    peripheral.lock.battery = 40
    proxy.advertise(peripheral, stale=True)  # a leftover stateless entry beside the live one
    await hass.async_block_till_done()
    assert (state(hass), state(hass, BATTERY)) == (LockState.UNLOCKED, "40")
    device = dr.async_get(hass).async_get_device_by_identifier((DOMAIN, ADDRESS), entry.entry_id)
    assert device is not None and device.name == "Front door"
    assert (dr.CONNECTION_BLUETOOTH, ADDRESS) in device.connections


async def test_a_stateless_lock_shows_what_it_reports_and_what_it_was_told(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    peripheral.lock.header = ProtocolHeader(protocol_version=1)
    await set_up(hass, entry)
    proxy.advertise(peripheral, manufacturer_data=STATELESS)
    await hass.async_block_till_done()
    assert (state(hass), state(hass, BATTERY)) == (STATE_UNKNOWN, STATE_UNKNOWN)
    # A failed command is settled by the status the lock reports, not left "unlocking".
    peripheral.lock.faults = Faults(refuse_actuation=True)
    with pytest.raises(HomeAssistantError):
        await press(hass, "unlock")
    assert state(hass) == LockState.LOCKED and peripheral.lock.locked
    peripheral.lock.faults = Faults()
    await press(hass, "unlock")
    assert state(hass) == LockState.UNLOCKED and not peripheral.lock.locked
    # An hour of stateless advertisements changes nothing.
    start = MONOTONIC_TIME()
    for minute in range(60):
        proxy.advertise(peripheral, manufacturer_data=STATELESS, now=start + 60 * minute)
    await hass.async_block_till_done()
    assert state(hass) == LockState.UNLOCKED


async def test_lock_and_unlock_through_the_services(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    await set_up(hass, entry)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    events = async_capture_events(hass, EVENT_STATE_CHANGED)
    await press(hass, "unlock")
    assert state(hass) == LockState.UNLOCKED and not peripheral.lock.locked
    await press(hass, "lock")
    assert state(hass) == LockState.LOCKED and peripheral.lock.locked
    seen = [e.data["new_state"].state for e in events if e.data["entity_id"] == LOCK]
    assert seen == ["unlocking", "unlocked", "locking", "locked"]
    # The link dropping once, mid-exchange, costs a reconnection, not the command.
    peripheral.link.drop_after_writes = [3]
    await press(hass, "unlock")
    assert state(hass) == LockState.UNLOCKED and not peripheral.lock.locked
    peripheral.lock.faults = Faults(refuse_actuation=True)
    with pytest.raises(HomeAssistantError) as raised:
        await press(hass, "lock")
    assert raised.value.translation_key == "actuation_refused"
    assert state(hass) == LockState.UNLOCKED and not peripheral.lock.locked


@pytest.mark.parametrize(
    ("faults", "link", "kind", "reauth_step"),
    [
        (Faults(refuse_actuation=True), LinkFaults(), "actuation_refused", "reauth_unlock_key"),
        (Faults(refuse_handshake=True), LinkFaults(), "handshake_refused", "reauth_aes_key"),
        (Faults(), LinkFaults(connect_errors=["aborted"] * 40), "unreachable", None),
        (Faults(silent=True), LinkFaults(), "no_reply", None),
        (Faults(corrupt_crc=40), LinkFaults(), "bad_reply", None),
    ],
    ids=["actuation-refused", "handshake-refused", "unreachable", "silent", "bad-crc"],
)
async def test_a_failed_command_says_what_failed_and_leaves_no_state_in_flight(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    entry: MockConfigEntry,
    faults: Faults,
    link: LinkFaults,
    kind: str,
    reauth_step: str | None,
) -> None:
    await set_up(hass, entry)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    peripheral.lock.faults = faults
    peripheral.link = link
    with pytest.raises(HomeAssistantError) as raised:
        await press(hass, "unlock")
    assert raised.value.translation_domain == DOMAIN
    assert raised.value.translation_key == kind
    assert "Front door" in str(raised.value)  # the translated message, filled in
    assert state(hass) == LockState.LOCKED and peripheral.lock.locked
    flows = hass.config_entries.flow.async_progress_by_handler(DOMAIN)
    assert [flow["step_id"] for flow in flows] == ([reauth_step] if reauth_step else [])


async def test_a_lock_advertising_unchanged_data_stays_available(
    hass: HomeAssistant,
    proxy: SimulatedProxy,
    peripheral: SimulatedPeripheral,
    entry: MockConfigEntry,
    caplog: pytest.LogCaptureFixture,
) -> None:
    caplog.set_level(logging.INFO, "quovel_bleak")
    # Starting from Home Assistant's own clock, which its own expiry keeps reading.
    clock = [MONOTONIC_TIME()]
    start = clock[0]
    with patch("homeassistant.components.bluetooth.MONOTONIC_TIME", lambda: clock[0]):
        await set_up(hass, entry)
        proxy.advertise(peripheral, now=clock[0])
        await hass.async_block_till_done()

        async def idle(seconds: float, advertising: bool) -> None:
            # Advertisements every 10 s, the availability check every AVAILABILITY_INTERVAL s.
            for step in range(1, int(seconds // 10) + 1):
                clock[0] += 10
                if advertising:
                    proxy.advertise(peripheral, now=clock[0])
                if step % int(AVAILABILITY_INTERVAL // 10) == 0:
                    async_fire_time_changed(hass, dt_util.utcnow() + timedelta(seconds=clock[0] - start))
                    await hass.async_block_till_done()

        await idle(3 * 3600, advertising=True)
        assert state(hass) == LockState.LOCKED
        await idle(quovel_bleak.OFFLINE_AFTER + AVAILABILITY_INTERVAL, advertising=False)
        assert state(hass) == STATE_UNAVAILABLE
        assert state(hass, BATTERY) == STATE_UNAVAILABLE
        await idle(3600, advertising=False)
        proxy.advertise(peripheral, now=clock[0], rssi=-70)
        await hass.async_block_till_done()
        assert state(hass) == LockState.LOCKED
    logged = [r.getMessage() for r in caplog.records if r.name.startswith(("quovel_bleak", "custom_components.quovel"))]
    assert logged == [f"Front door ({ADDRESS}) is unavailable", f"Front door ({ADDRESS}) is available again"]


async def test_unload_and_reload_leave_nothing_behind(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    def ours() -> list[str]:
        """Our timers and tasks on the loop."""
        handles = [*hass.loop._scheduled, *hass.loop._ready]  # type: ignore[attr-defined]
        live = [repr(h) for h in handles if not h.cancelled()]
        found = [h for h in live if "custom_components" in h or "quovel_bleak" in h]
        tasks = [repr(t.get_coro()) for t in asyncio.all_tasks()]
        return found + [t for t in tasks if "custom_components" in t or "quovel_bleak" in t]

    await set_up(hass, entry)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    await press(hass, "unlock")  # the link is held after it
    device = entry.runtime_data
    for _ in range(2):
        assert await hass.config_entries.async_reload(entry.entry_id)
        await hass.async_block_till_done()
        assert not device.monitor._listeners
        assert entry.runtime_data is not device
        device = entry.runtime_data
        proxy.advertise(peripheral, rssi=-61)
        await hass.async_block_till_done()
        assert state(hass) == LockState.UNLOCKED
    await press(hass, "lock")
    assert await hass.config_entries.async_unload(entry.entry_id)
    await hass.async_block_till_done()
    assert entry.state is ConfigEntryState.NOT_LOADED
    assert not peripheral.connected
    assert not device.monitor._listeners
    assert ours() == []
    assert state(hass) == STATE_UNAVAILABLE
    # An advertisement after unloading reaches nobody.
    peripheral.lock.locked = False
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    assert device.monitor.state is quovel_bleak.LockState.LOCKED


async def test_home_assistant_declaring_the_lock_gone_makes_it_unavailable(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    await set_up(hass, entry)
    # Last heard long ago: Home Assistant's own sweep finds it gone.
    proxy.advertise(peripheral, now=MONOTONIC_TIME() - 2 * FALLBACK_MAXIMUM_STALE_ADVERTISEMENT_SECONDS)
    await hass.async_block_till_done()
    assert state(hass) == LockState.LOCKED
    # Only Home Assistant's verdict counts here, not the integration's own limit.
    with patch("quovel_bleak.LockMonitor.poll_availability", return_value=frozenset()):
        async_fire_time_changed(hass, dt_util.utcnow() + timedelta(seconds=UNAVAILABLE_TRACK_SECONDS + 1))
        await hass.async_block_till_done()
    assert state(hass) == STATE_UNAVAILABLE
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    assert state(hass) == LockState.LOCKED


async def test_stopping_home_assistant_lets_a_held_link_go(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    await set_up(hass, entry)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    await press(hass, "unlock")
    assert peripheral.connected  # held for the next command
    hass.bus.async_fire(EVENT_HOMEASSISTANT_STOP)
    await hass.async_block_till_done()
    assert not peripheral.connected


async def until(condition: Callable[[], bool], seconds: float = 5.0) -> None:
    async with asyncio.timeout(seconds):
        while not condition():
            await asyncio.sleep(0.01)


async def test_a_script_stopped_before_the_reply_leaves_the_lock_settled(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    # Stateless broadcasts: only the driver's settling can end "unlocking".
    peripheral.lock.header = ProtocolHeader(protocol_version=1)
    assert await async_setup_component(
        hass,
        "script",
        {"script": {"open": {"sequence": [{"action": "lock.unlock", "target": {ATTR_ENTITY_ID: LOCK}}]}}},
    )
    await set_up(hass, entry)
    proxy.advertise(peripheral, manufacturer_data=STATELESS)
    await hass.async_block_till_done()
    peripheral.link.notify_delay = 0.3
    await hass.services.async_call("script", "turn_on", {ATTR_ENTITY_ID: "script.open"})
    await until(lambda: not peripheral.lock.locked)  # the bolt moved; its reply is on the way
    assert state(hass) == LockState.UNLOCKING
    await hass.services.async_call("script", "turn_off", {ATTR_ENTITY_ID: "script.open"}, blocking=True)
    await until(lambda: state(hass) != LockState.UNLOCKING)
    assert state(hass) == LockState.UNLOCKED


async def test_a_command_overtaken_by_the_opposite_one_says_so(
    hass: HomeAssistant, proxy: SimulatedProxy, peripheral: SimulatedPeripheral, entry: MockConfigEntry
) -> None:
    await set_up(hass, entry)
    proxy.advertise(peripheral)
    await hass.async_block_till_done()
    peripheral.link.connect_delay = 0.5
    unlock = hass.async_create_task(press(hass, "unlock"))
    await until(lambda: peripheral.connect_attempts > 0)  # connecting: nothing written yet
    await press(hass, "lock")
    with pytest.raises(HomeAssistantError) as raised:
        await unlock
    assert raised.value.translation_key == "superseded"
    assert str(raised.value) == "Front door: the unlock command was replaced by a newer command before it was sent"
    assert state(hass) == LockState.LOCKED
    assert [record.command for record in peripheral.lock.actuations] == [LOCK_COMMAND]
