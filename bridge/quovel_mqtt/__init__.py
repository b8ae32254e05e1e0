"""A BLE-to-MQTT bridge for locks of this platform, with Home Assistant discovery.

Run it as ``quovel-mqtt --config FILE`` (or ``python -m quovel_mqtt``). It
hears the locks' advertisements through bleak's ``BleakScanner``, tracks each
lock with the ``quovel.LockTracker`` rules that the Home Assistant
integration applies, and carries out commands through
``quovel_bleak.LockClient``. :mod:`quovel_mqtt.topics` lists the topics.
"""

from .bridge import Bluetooth, Bridge
from .config import Config, ConfigError, load

__all__ = ["Bluetooth", "Bridge", "Config", "ConfigError", "load"]
