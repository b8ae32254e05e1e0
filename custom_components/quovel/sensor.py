"""The battery level the lock advertises."""

from __future__ import annotations

from typing import override

from homeassistant.components.sensor import SensorDeviceClass, SensorEntity, SensorStateClass
from homeassistant.const import PERCENTAGE, EntityCategory
from homeassistant.core import HomeAssistant
from homeassistant.helpers.entity_platform import AddConfigEntryEntitiesCallback

from .device import LockDevice, QuovelConfigEntry
from .entity import QuovelEntity

# Nothing to fetch: the value comes with advertisements.
PARALLEL_UPDATES = 0


async def async_setup_entry(
    hass: HomeAssistant, entry: QuovelConfigEntry, async_add_entities: AddConfigEntryEntitiesCallback
) -> None:
    async_add_entities([QuovelBattery(entry.runtime_data)])


class QuovelBattery(QuovelEntity, SensorEntity):
    _attr_device_class = SensorDeviceClass.BATTERY
    _attr_native_unit_of_measurement = PERCENTAGE
    _attr_state_class = SensorStateClass.MEASUREMENT
    _attr_entity_category = EntityCategory.DIAGNOSTIC

    def __init__(self, device: LockDevice) -> None:
        super().__init__(device, "battery")

    @override
    @property
    def native_value(self) -> int | None:
        return self.device.monitor.battery
