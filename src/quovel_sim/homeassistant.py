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

from habluetooth import Allocations, get_manager
from homeassistant.components import bluetooth
from homeassistant.core import HomeAssistant

from . import SERVICE_UUID
from .bleak_backend import ConnectionSlots, SimulatedPeripheral, SimulatedRadio

DEFAULT_SOURCE = "AA:BB:CC:DD:EE:F0"


class SimulatedProxy(bluetooth.BaseHaRemoteScanner):
    """A connectable Bluetooth proxy that hears the radio's simulated locks.

    Like a real proxy it has a few connection slots (``slots``): a slot is
    taken when a connection is asked for and freed when the link is down;
    with none free it refuses to connect, and it reports every change to
    Home Assistant's Bluetooth manager as its allocations.
    """

    _registrations: list[Callable[[], None]]
    slots: ConnectionSlots

    def get_allocations(self) -> Allocations:
        """What the proxy last reported: its slots, the free ones and who holds the others."""
        slots = self.slots
        assert slots.limit is not None and slots.free is not None
        return Allocations(self.source, slots.limit, slots.free, sorted(set(slots.holders.values())))

    def _report(self) -> None:
        get_manager().async_on_allocation_changed(self.get_allocations())

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

    Connections through it reach the radio's locks and take one of its
    ``connection_slots``; with all of them taken, or ``can_connect`` returning
    False, the proxy reports no free slot. Call ``proxy.remove()`` to
    unregister it (tests that end with ``hass`` stopped need not).
    """
    slots = ConnectionSlots(connection_slots)

    def free() -> bool:
        return bool(slots.free) and can_connect()

    connector = bluetooth.HaBluetoothConnector(client=radio.adapter_backend(slots), source=source, can_connect=free)
    proxy = SimulatedProxy(source, f"simulated proxy {source}", connector, True)
    proxy.slots = slots
    # As a proxy does: allocations are reported, not counted by Home Assistant.
    slots.listeners.append(proxy._report)
    proxy._registrations = [
        bluetooth.async_register_scanner(hass, proxy),
        proxy.async_setup(),
        lambda: slots.listeners.remove(proxy._report),
    ]
    proxy._report()
    return proxy
