"""Bluetooth smart locks of the quovel platform, through quovel_bleak."""

from __future__ import annotations

from homeassistant.const import EVENT_HOMEASSISTANT_STOP, Platform
from homeassistant.core import Event, HomeAssistant

from .device import LockDevice, QuovelConfigEntry

PLATFORMS = [Platform.LOCK, Platform.SENSOR]


async def async_setup_entry(hass: HomeAssistant, entry: QuovelConfigEntry) -> bool:
    """Listens to the lock; nothing connects until a command or a check asks."""
    device = LockDevice(hass, entry)
    entry.runtime_data = device
    entry.async_on_unload(device.async_start())

    async def close(_event: Event) -> None:
        # A held link is let go when Home Assistant stops, not left to the stack.
        await device.monitor.close()

    entry.async_on_unload(hass.bus.async_listen_once(EVENT_HOMEASSISTANT_STOP, close))
    await hass.config_entries.async_forward_entry_setups(entry, PLATFORMS)
    return True


async def async_unload_entry(hass: HomeAssistant, entry: QuovelConfigEntry) -> bool:
    unloaded = await hass.config_entries.async_unload_platforms(entry, PLATFORMS)
    if unloaded:
        # A held link and the driver's background tasks go with the entry.
        await entry.runtime_data.monitor.close()
    return unloaded
