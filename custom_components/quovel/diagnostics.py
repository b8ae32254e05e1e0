"""Diagnostics: what the integration knows of a lock, with every key redacted."""

from __future__ import annotations

import dataclasses
from typing import Any

from homeassistant.components.diagnostics import async_redact_data
from homeassistant.core import HomeAssistant

from .const import CONF_AES_KEY, CONF_CREDENTIAL, CONF_UNLOCK_KEY
from .device import QuovelConfigEntry

TO_REDACT = {CONF_AES_KEY, CONF_UNLOCK_KEY, CONF_CREDENTIAL}


async def async_get_config_entry_diagnostics(hass: HomeAssistant, entry: QuovelConfigEntry) -> dict[str, Any]:
    device = entry.runtime_data
    tracker = device.tracker
    version = tracker.lock_version
    info = device.last_service_info
    return {
        "entry": {
            "title": entry.title,
            "data": async_redact_data(dict(entry.data), TO_REDACT),
            "options": dict(entry.options),
        },
        "tracker": {
            "reported_state": tracker.reported_state,
            "is_locked": tracker.is_locked,
            "pending": tracker.pending,
            "available": tracker.available,
            "battery": tracker.battery,
        },
        "lock_version": None
        if version is None
        else {
            name: getattr(version, name)
            for name in ("protocol_type", "protocol_version", "scene", "group_id", "org_id")
        },
        "last_advertisement": None
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
        "timing": {
            field.name: _plain(getattr(device.client.timing, field.name))
            for field in dataclasses.fields(device.client.timing)
        },
    }


def _plain(value: object) -> object:
    return (
        value
        if isinstance(value, (int, float, str, bool)) or value is None
        else getattr(value, "__name__", repr(value))
    )
