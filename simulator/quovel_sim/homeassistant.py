"""Simulated locks inside Home Assistant's Bluetooth stack, for integration tests.

Home Assistant's own Bluetooth test helpers do not ship with it, so this
module provides the two pieces an integration's tests need: a remote scanner
(a Bluetooth proxy, as habluetooth sees one) through which simulated locks
advertise, and that scanner's connector, which reaches them through
:class:`~quovel_sim.bleak_backend.SimulatedRadio`. Home Assistant then runs
its own code for all of it: matching and discovery, callbacks, the last
service info, unavailability tracking, ``async_ble_device_from_address`` and
its bleak client wrapper choosing the proxy to connect through.

With pytest-homeassistant-custom-component, inside a test whose ``hass`` has
the ``bluetooth`` integration set up (its ``mock_bluetooth`` fixture keeps
the host's adapters out)::

    radio = SimulatedRadio()
    peripheral = radio.add(SimulatedLock(aes_key=key, unlock_key=305419896))
    proxy = add_proxy(hass, radio)
    proxy.advertise(peripheral)            # now, or at now=... monotonic seconds
    await hass.async_block_till_done()

Home Assistant is imported only when this module is, never by ``quovel_sim``.
"""

from __future__ import annotations

from collections.abc import Callable

from homeassistant.components import bluetooth
from homeassistant.core import HomeAssistant

from . import SERVICE_UUID
from .bleak_backend import SimulatedPeripheral, SimulatedRadio

DEFAULT_SOURCE = "AA:BB:CC:DD:EE:F0"


class SimulatedProxy(bluetooth.BaseHaRemoteScanner):
    """A connectable Bluetooth proxy that hears the radio's simulated locks."""

    _registrations: list[Callable[[], None]]

    def remove(self) -> None:
        """Unregisters the proxy from Home Assistant (its locks' devices go with it)."""
        while self._registrations:
            self._registrations.pop()()

    def advertise(
        self,
        peripheral: SimulatedPeripheral,
        *,
        manufacturer_data: dict[int, bytes] | None = None,
        service_uuids: list[str] | None = None,
        stale: bool = False,
        dfu: bool = False,
        rssi: int = -60,
        now: float | None = None,
    ) -> None:
        """One advertisement of the lock as it broadcasts now (or the data given).

        ``now`` is Home Assistant's monotonic time of reception
        (``bluetooth.MONOTONIC_TIME()`` when omitted).
        """
        data = (
            peripheral.lock.manufacturer_data(stale=stale, dfu=dfu) if manufacturer_data is None else manufacturer_data
        )
        self._async_on_advertisement(
            peripheral.address,
            rssi,
            peripheral.name,
            [SERVICE_UUID] if service_uuids is None else service_uuids,
            {},
            data,
            None,
            {},
            bluetooth.MONOTONIC_TIME() if now is None else now,
        )


def add_proxy(
    hass: HomeAssistant,
    radio: SimulatedRadio,
    *,
    source: str = DEFAULT_SOURCE,
    connection_slots: int = 3,
    can_connect: Callable[[], bool] = lambda: True,
) -> SimulatedProxy:
    """Registers a proxy for the radio's locks with Home Assistant's Bluetooth manager.

    Connections through it use ``radio.backend``; ``can_connect`` returning
    False makes the proxy report no free slot. Call ``proxy.remove()`` to
    unregister it (tests that end with ``hass`` stopped need not).
    """
    connector = bluetooth.HaBluetoothConnector(client=radio.backend, source=source, can_connect=can_connect)
    proxy = SimulatedProxy(source, "simulated proxy", connector, True)
    proxy._registrations = [
        bluetooth.async_register_scanner(hass, proxy, connection_slots=connection_slots),
        proxy.async_setup(),
    ]
    return proxy
