"""The connection slots of Home Assistant's adapters and proxies, as the driver's pool sees them."""

from __future__ import annotations

from collections.abc import Callable, Collection, Sequence

from habluetooth import HaBluetoothSlotAllocations, get_manager
from homeassistant.components import bluetooth
from homeassistant.core import HomeAssistant
from homeassistant.util.hass_dict import HassKey

from quovel_bleak import SlotPool

_POOL: HassKey[SlotPool] = HassKey("quovel_slot_pool")


class BluetoothSlots:
    """A SlotSource over Home Assistant's Bluetooth manager: which scanners can
    connect to a lock, and the allocations each adapter or proxy reports."""

    def __init__(self, hass: HomeAssistant) -> None:
        self._hass = hass

    def sources_for(self, address: str) -> Sequence[str]:
        devices = bluetooth.async_scanner_devices_by_address(self._hass, address, connectable=True)
        return [device.scanner.source for device in devices]

    def _allocations(self, source: str) -> HaBluetoothSlotAllocations | None:
        # slots == 0: the source has not reported slots (yet): unknown, not full.
        found = get_manager().async_current_allocations(source)
        return found[0] if found and found[0].slots > 0 else None

    def free_slots(self, source: str) -> int | None:
        allocations = self._allocations(source)
        return None if allocations is None else allocations.free

    def allocated(self, source: str) -> Collection[str] | None:
        allocations = self._allocations(source)
        return None if allocations is None else {address.upper() for address in allocations.allocated}

    def subscribe(self, callback: Callable[[], None]) -> Callable[[], None]:
        def changed(_allocations: HaBluetoothSlotAllocations) -> None:
            callback()

        return get_manager().async_register_allocation_callback(changed)


def slot_pool(hass: HomeAssistant) -> SlotPool:
    """The one pool every lock of this Home Assistant shares."""
    pool = hass.data.get(_POOL)
    if pool is None:
        pool = hass.data[_POOL] = SlotPool(source=BluetoothSlots(hass))
    return pool
