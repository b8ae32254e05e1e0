"""The bridge's topics and payloads, and its Home Assistant discovery message.

Under the topic prefix (default ``quovel``), with ``<id>`` a lock's address
in lower-case hex without colons:

- ``<prefix>/bridge/availability``: "online" or "offline" (retained; "offline"
  is also the Last Will)
- ``<prefix>/<id>/state``: "LOCKED", "UNLOCKED", "LOCKING", "UNLOCKING", or
  "None" while nothing is known (retained)
- ``<prefix>/<id>/battery``: percent, or "None" (retained)
- ``<prefix>/<id>/availability``: "online" or "offline" (retained)
- ``<prefix>/<id>/set``: commands "LOCK", "UNLOCK", "REFRESH" (retained
  commands are ignored)
- ``<prefix>/<id>/result``: one JSON object per command outcome (not retained)
- ``<discovery prefix>/device/quovel_<id>/config``: the device discovery
  message (retained)
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from importlib import metadata
from typing import Any

from .config import Config, LockConfig

ONLINE = "online"
OFFLINE = "offline"
NONE = "None"
"""Home Assistant's reset payload: the state or reading becomes unknown."""
COMMANDS = ("LOCK", "UNLOCK", "REFRESH")


def _version() -> str:
    try:
        return metadata.version("quovel")
    except metadata.PackageNotFoundError:
        return "unknown"


VERSION = _version()


@dataclass(frozen=True)
class LockTopics:
    state: str
    battery: str
    availability: str
    command: str
    result: str
    discovery: str


@dataclass(frozen=True)
class Topics:
    prefix: str
    discovery_prefix: str

    @property
    def bridge_availability(self) -> str:
        return f"{self.prefix}/bridge/availability"

    @property
    def commands(self) -> str:
        """The subscription that carries every lock's commands."""
        return f"{self.prefix}/+/set"

    def lock(self, lock: LockConfig) -> LockTopics:
        base = f"{self.prefix}/{lock.object_id}"
        return LockTopics(
            state=f"{base}/state",
            battery=f"{base}/battery",
            availability=f"{base}/availability",
            command=f"{base}/set",
            result=f"{base}/result",
            discovery=f"{self.discovery_prefix}/device/quovel_{lock.object_id}/config",
        )

    @classmethod
    def of(cls, config: Config) -> Topics:
        return cls(config.topic_prefix, config.discovery_prefix)


def discovery_payload(topics: Topics, lock: LockConfig) -> dict[str, Any]:
    """One device with its lock and battery sensor components."""
    mine = topics.lock(lock)
    unique = f"quovel_{lock.object_id}"
    return {
        "dev": {"ids": [unique], "name": lock.name, "connections": [["bluetooth", lock.address.lower()]]},
        "o": {"name": "quovel-mqtt", "sw": VERSION},
        "availability": [
            {"topic": topics.bridge_availability, "payload_available": ONLINE, "payload_not_available": OFFLINE},
            {"topic": mine.availability, "payload_available": ONLINE, "payload_not_available": OFFLINE},
        ],
        "availability_mode": "all",
        "qos": 1,
        "cmps": {
            "lock": {
                "p": "lock",
                "unique_id": f"{unique}_lock",
                "name": None,
                "state_topic": mine.state,
                "command_topic": mine.command,
                "payload_lock": "LOCK",
                "payload_unlock": "UNLOCK",
                "state_locked": "LOCKED",
                "state_unlocked": "UNLOCKED",
                "state_locking": "LOCKING",
                "state_unlocking": "UNLOCKING",
                "optimistic": False,
            },
            "battery": {
                "p": "sensor",
                "unique_id": f"{unique}_battery",
                "name": "Battery",
                "state_topic": mine.battery,
                "device_class": "battery",
                "state_class": "measurement",
                "unit_of_measurement": "%",
                "entity_category": "diagnostic",
            },
        },
    }


def encode(payload: dict[str, Any]) -> str:
    return json.dumps(payload, separators=(",", ":"), ensure_ascii=False)
