"""A BLE-to-MQTT bridge for locks of this platform, with Home Assistant discovery.

Run it as ``quovel-mqtt --config FILE`` (or ``python -m quovel_mqtt``). It
hears the locks' advertisements through bleak's ``BleakScanner`` and hands
them, and every command, to each lock's ``quovel_bleak.LockMonitor``, the
lock runtime the Home Assistant integration uses too; the bridge itself is
MQTT's wiring. :mod:`quovel_mqtt.topics` lists the topics.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .config import Config, ConfigError, load

if TYPE_CHECKING:
    from .bridge import Bluetooth, Bridge

__all__ = ["Bluetooth", "Bridge", "Config", "ConfigError", "load"]


def __getattr__(name: str) -> Any:
    # The configuration and topics need neither bleak nor aiomqtt; the bridge does.
    if name in ("Bluetooth", "Bridge"):
        from . import bridge

        return getattr(bridge, name)
    raise AttributeError(f"module 'quovel_mqtt' has no attribute {name!r}")
