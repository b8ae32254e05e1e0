"""What every entity of a lock shares: its device, availability and updates."""

from __future__ import annotations

from typing import override

from homeassistant.core import callback
from homeassistant.helpers.device_registry import CONNECTION_BLUETOOTH, DeviceInfo
from homeassistant.helpers.entity import Entity

from .const import DOMAIN
from .device import LockDevice


class QuovelEntity(Entity):
    _attr_has_entity_name = True
    _attr_should_poll = False

    def __init__(self, device: LockDevice, key: str | None) -> None:
        self.device = device
        self._attr_unique_id = device.address if key is None else f"{device.address}-{key}"
        self._attr_device_info = DeviceInfo(
            identifiers={(DOMAIN, device.address)},
            connections={(CONNECTION_BLUETOOTH, device.address)},
            name=device.name,
        )

    @override
    @property
    def available(self) -> bool:
        return self.device.monitor.available

    @override
    async def async_added_to_hass(self) -> None:
        self.async_on_remove(self.device.monitor.add_listener(self._on_change))

    @callback
    def _on_change(self, _changes: frozenset[str]) -> None:
        self.async_write_ha_state()
