"""The road Home Assistant takes for a proxy: a remote scanner feeds
habluetooth's BluetoothManager, which merges advertisements; the driver then
connects through establish_connection and HaBleakClientWrapper."""

from __future__ import annotations

import asyncio
import logging
from typing import Any

import pytest

habluetooth = pytest.importorskip("habluetooth", reason="needs habluetooth (a test requirement)")

from bluetooth_adapters import AdapterDetails, BluetoothAdapters
from support.bleak_sim import AES_KEY, UNLOCK_KEY

import quovel
import quovel_bleak as qb
from quovel_sim import SimulatedLock
from quovel_sim.advertising import STALE_COMPANY_ID, stateless_entry
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run

SOURCE = "AA:BB:CC:00:00:01"


class NoAdapters(BluetoothAdapters):
    """No local radio: the proxy is the only way to the lock."""

    @property
    def adapters(self) -> dict[str, AdapterDetails]:
        return {}

    @property
    def default_adapter(self) -> str:
        return "hci0"


class Manager(habluetooth.BluetoothManager):
    """What Home Assistant's manager does with discoveries: hand them on."""

    def __init__(self) -> None:
        super().__init__(NoAdapters())
        self.discovered: list[habluetooth.BluetoothServiceInfoBleak] = []

    def _discover_service_info(self, service_info: habluetooth.BluetoothServiceInfoBleak) -> None:
        self.discovered.append(service_info)


class Proxy(habluetooth.BaseHaRemoteScanner):
    def hear(self, lock: SimulatedLock, manufacturer_data: dict[int, bytes], now: float) -> None:
        self._async_on_advertisement(
            lock.address.upper(), -60, "Simulated lock", [quovel.SERVICE_UUID], {}, manufacturer_data, None, {}, now
        )


async def through_home_assistant_layers(link: LinkFaults, *, can_connect: bool = True) -> dict[str, Any]:
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY)
    peripheral = radio.add(lock, link)
    manager = Manager()
    habluetooth.set_manager(manager)
    await manager.async_setup()
    try:
        connector = habluetooth.HaBluetoothConnector(
            client=radio.backend, source=SOURCE, can_connect=lambda: can_connect
        )
        proxy = Proxy(SOURCE, "proxy", connector, True)
        cancel = manager.async_register_scanner(proxy)
        loop = asyncio.get_running_loop()
        address = lock.address.upper()
        # An earlier stateless broadcast, then the live one: habluetooth keeps both entries.
        proxy.hear(lock, {STALE_COMPANY_ID: stateless_entry(lock.address)}, loop.time())
        proxy.hear(lock, lock.manufacturer_data(), loop.time())
        info = manager.async_last_service_info(address, True)
        assert info is not None
        tracker = quovel.LockTracker()
        # service_info.time is float seconds; the tracker takes integer milliseconds.
        tracker.on_advertisement(int(info.time * 1000), quovel.select_advertisement(info.manufacturer_data, address))
        client = qb.LockClient.from_service_info(
            info,
            AES_KEY,
            UNLOCK_KEY,
            tracker=tracker,
            ble_device_callback=lambda: manager.async_ble_device_from_address(address, True),
        )
        outcome: BaseException | None = None
        async with client:
            try:
                await client.unlock()
            except qb.LockError as error:
                outcome = error
        cancel()
        return {
            "entries": sorted(info.manufacturer_data),
            "tracker": tracker.reported_state,
            "bolt": "LOCKED" if lock.locked else "UNLOCKED",
            "attempts": peripheral.connect_attempts,
            "connections": peripheral.connections,
            "cache_clears": peripheral.cache_clears,
            "outcome": outcome,
        }
    finally:
        manager.async_stop()


def test_an_unlock_through_a_proxy(caplog):
    caplog.set_level(logging.DEBUG)
    seen = run(through_home_assistant_layers(LinkFaults(connect_errors=["aborted"], drop_after_writes=[3])))
    assert seen["entries"] == sorted([0x0305, STALE_COMPANY_ID])
    assert seen["outcome"] is None
    assert seen["tracker"] == seen["bolt"] == "UNLOCKED"
    assert seen["attempts"] == 3
    assert "Connected via proxy" in caplog.text  # through HaBleakClientWrapper
    # Connected the way habluetooth wants it: no warning about a bare connect().
    assert "without bleak-retry-connector" not in caplog.text


def test_an_unreachable_lock_through_a_proxy():
    seen = run(through_home_assistant_layers(LinkFaults(connect_errors=["timeout"] * 20)))
    assert isinstance(seen["outcome"], qb.LockUnreachable)
    assert seen["attempts"] == 4
    # Settled where it was: nothing was heard from the lock.
    assert seen["tracker"] == "LOCKED"


def test_a_stale_service_cache_is_cleared_through_the_wrapper():
    seen = run(through_home_assistant_layers(LinkFaults(stale_services=True)))
    assert seen["outcome"] is None and seen["bolt"] == "UNLOCKED"
    assert (seen["cache_clears"], seen["connections"]) == (1, 2)


def test_a_proxy_without_a_free_slot_is_named():
    seen = run(through_home_assistant_layers(LinkFaults(), can_connect=False))
    error = seen["outcome"]
    # bleak-retry-connector would go on for 9 attempts 4 s apart; the deadline ends it first.
    assert isinstance(error, qb.NoConnectionSlot) and error.kind == "no_connection_slot"
    assert str(error).startswith(
        "could not connect: the 30 s deadline passed while connecting; no free connection slot"
    )
    assert seen["attempts"] == 0
