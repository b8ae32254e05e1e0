"""Diagnostics: what the driver knows of a lock and what Home Assistant heard, with every key redacted."""

from __future__ import annotations

from typing import Any

from homeassistant.components.diagnostics import async_redact_data
from homeassistant.core import HomeAssistant

from .const import CONF_AES_KEY, CONF_CREDENTIAL, CONF_UNLOCK_KEY
from .device import QuovelConfigEntry

TO_REDACT = {CONF_AES_KEY, CONF_UNLOCK_KEY, CONF_CREDENTIAL}


async def async_get_config_entry_diagnostics(hass: HomeAssistant, entry: QuovelConfigEntry) -> dict[str, Any]:
    device = entry.runtime_data
    info = device.last_service_info
    dump = {
        "entry": {"title": entry.title, "data": dict(entry.data), "options": dict(entry.options)},
        # State, version, last advertisement as decoded, timing: the driver's own account.
        "lock": device.monitor.diagnostics(),
        "last_service_info": None
        if info is None
        else {
            "address": info.address,
            "name": info.name,
            "rssi": info.rssi,
            "time": info.time,
            "source": info.source,
            "connectable": info.connectable,
            "service_uuids": info.service_uuids,
            "manufacturer_data": {str(company): data.hex() for company, data in info.manufacturer_data.items()},
        },
    }
    # Over the whole dump: a key the driver's account gained later is redacted too.
    return async_redact_data(dump, TO_REDACT)
