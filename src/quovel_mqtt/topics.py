"""The bridge's topics and payloads, and its Home Assistant discovery message.

Under the topic prefix (default ``quovel``), with ``<id>`` a lock's address
in lower-case hex without colons and ``<bridge>`` a bridge's id:

- ``<prefix>/bridge/<bridge>/availability``: "online" or "offline" (retained;
  "offline" is also the bridge's Last Will)
- ``<prefix>/<id>/state``: "LOCKED", "UNLOCKED", "LOCKING", "UNLOCKING", or
  "None" while nothing is known (retained)
- ``<prefix>/<id>/battery``: percent, or "None" (retained)
- ``<prefix>/<id>/availability``: "online" or "offline" (retained)
- ``<prefix>/<id>/set``: commands "LOCK", "UNLOCK", "REFRESH" (retained
  commands are ignored); the bridges share one subscription to these, so
  each command reaches one of them
- ``<prefix>/<id>/result``: one JSON object per command outcome (not retained)
- ``<prefix>/<id>/bridges/<bridge>``: what one bridge hears of the lock, as
  JSON (retained); every bridge picks the lock's server from these alike
- ``<prefix>/bridge/<bridge>/set/<id>``: a command handed on to the lock's
  server, as JSON with a command id (not retained)
- ``<prefix>/bridge/<bridge>/accepted/<id>``: the server has taken a command
  and will answer it on the result topic (JSON with the command id; not
  retained); should it go away first, another bridge answers it as failed
- ``<discovery prefix>/device/quovel_<id>/config``: the lock's device
  discovery message (retained), published by its server
- ``<discovery prefix>/device/quovel_bridge_<bridge>/config``: the bridge's
  own device, with its connectivity (retained)

The state, battery and availability of a lock come from the bridge serving
it, so they stay when another bridge takes it over.
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
SHARE_GROUP = "quovel"
"""The shared subscription group of every bridge on a broker."""


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
    report: str
    """This bridge's report of what it hears of the lock."""


@dataclass(frozen=True)
class Topics:
    prefix: str
    discovery_prefix: str
    bridge_id: str = "bridge"

    @property
    def bridge_availability(self) -> str:
        return self.availability_of(self.bridge_id)

    def availability_of(self, bridge_id: str) -> str:
        return f"{self.prefix}/bridge/{bridge_id}/availability"

    @property
    def bridge_discovery(self) -> str:
        return f"{self.discovery_prefix}/device/quovel_bridge_{self.bridge_id}/config"

    @property
    def commands(self) -> str:
        """Where every lock's commands are published."""
        return f"{self.prefix}/+/set"

    @property
    def shared_commands(self) -> str:
        """The subscription to them that the bridges share: each command reaches one."""
        return f"$share/{SHARE_GROUP}/{self.commands}"

    @property
    def fleet(self) -> tuple[str, ...]:
        """The subscriptions that tell this bridge of the others and of what is handed to it."""
        return (
            self.availability_of("+"),
            f"{self.prefix}/+/bridges/+",
            f"{self.prefix}/bridge/{self.bridge_id}/set/+",
            f"{self.prefix}/bridge/+/accepted/+",
            f"{self.prefix}/+/result",
        )

    def forward(self, bridge_id: str, object_id: str) -> str:
        return f"{self.prefix}/bridge/{bridge_id}/set/{object_id}"

    def accepted(self, object_id: str) -> str:
        return f"{self.prefix}/bridge/{self.bridge_id}/accepted/{object_id}"

    def parse(self, topic: str) -> tuple[str, ...] | None:
        """A fleet or command topic as ("availability", bridge), ("report", lock, bridge),
        ("forward", lock), ("accepted", lock, bridge), ("result", lock) or ("command", lock);
        None otherwise."""
        if not topic.startswith(f"{self.prefix}/"):
            return None
        parts = topic[len(self.prefix) + 1 :].split("/")
        match parts:
            case ["bridge", bridge_id, "availability"]:
                return ("availability", bridge_id)
            case [object_id, "bridges", bridge_id]:
                return ("report", object_id, bridge_id)
            case ["bridge", bridge_id, "set", object_id] if bridge_id == self.bridge_id:
                return ("forward", object_id)
            case ["bridge", bridge_id, "accepted", object_id]:
                return ("accepted", object_id, bridge_id)
            case [object_id, "set"]:
                return ("command", object_id)
            case [object_id, "result"]:
                return ("result", object_id)
        return None

    def lock(self, lock: LockConfig) -> LockTopics:
        return self.lock_of(lock.object_id)

    def lock_of(self, object_id: str) -> LockTopics:
        base = f"{self.prefix}/{object_id}"
        return LockTopics(
            state=f"{base}/state",
            battery=f"{base}/battery",
            availability=f"{base}/availability",
            command=f"{base}/set",
            result=f"{base}/result",
            discovery=f"{self.discovery_prefix}/device/quovel_{object_id}/config",
            report=f"{base}/bridges/{self.bridge_id}",
        )

    @classmethod
    def of(cls, config: Config) -> Topics:
        return cls(config.topic_prefix, config.discovery_prefix, config.bridge_id)


def _origin() -> dict[str, str]:
    return {"name": "quovel-mqtt", "sw": VERSION}


def bridge_discovery_payload(topics: Topics) -> dict[str, Any]:
    """The bridge as a device of its own, which the locks it serves are connected through."""
    unique = f"quovel_bridge_{topics.bridge_id}"
    return {
        "dev": {"ids": [unique], "name": f"quovel-mqtt {topics.bridge_id}", "sw": VERSION},
        "o": _origin(),
        "qos": 1,
        "cmps": {
            "connectivity": {
                "p": "binary_sensor",
                "unique_id": f"{unique}_connectivity",
                "name": None,
                "state_topic": topics.bridge_availability,
                "payload_on": ONLINE,
                "payload_off": OFFLINE,
                "device_class": "connectivity",
                "entity_category": "diagnostic",
            }
        },
    }


def discovery_payload(topics: Topics, lock: LockConfig, *, alone: bool = True) -> dict[str, Any]:
    """One device with its lock and battery sensor components, reached through this bridge,
    which serves it. Its availability is the lock's own topic, which whichever bridge serves it
    keeps; only while no other bridge online could serve it (``alone``) does it hang on this
    bridge's too, as nobody else would say it is gone should this bridge die."""
    mine = topics.lock(lock)
    unique = f"quovel_{lock.object_id}"
    availability = [{"topic": mine.availability, "payload_available": ONLINE, "payload_not_available": OFFLINE}]
    if alone:
        bridge = {"topic": topics.bridge_availability, "payload_available": ONLINE, "payload_not_available": OFFLINE}
        availability.insert(0, bridge)
    return {
        "dev": {
            "ids": [unique],
            "name": lock.name,
            "connections": [["bluetooth", lock.address.lower()]],
            "via_device": f"quovel_bridge_{topics.bridge_id}",
        },
        "o": _origin(),
        "availability": availability,
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
