"""The discovery message against Home Assistant's own MQTT schemas.

Runs in the Home Assistant environment (the ha_tests session, with
`-o asyncio_mode=auto` as its plugins want); mqtt_tests leaves it out and
test_bridge.py checks the documented schema there.
"""

from __future__ import annotations

import pytest
from support.keys import ADDRESS as A

from quovel_bleak.keyfiles import Secret
from quovel_mqtt.config import LockConfig
from quovel_mqtt.topics import Topics, bridge_discovery_payload, discovery_payload


def test_discovery_against_home_assistants_own_schemas() -> None:
    discovery = pytest.importorskip("homeassistant.components.mqtt.discovery")
    from homeassistant.components.mqtt import binary_sensor, lock, schemas, sensor

    topics = Topics("quovel", "homeassistant", "hall")
    front = LockConfig("Front door", A, Secret("00" * 16))
    platforms = {"lock": lock, "sensor": sensor, "binary_sensor": binary_sensor}
    for message in (
        discovery_payload(topics, front),
        discovery_payload(topics, front, alone=False),
        bridge_discovery_payload(topics),
    ):
        payload = discovery.MQTTDiscoveryPayload(message)
        discovery._replace_all_abbreviations(payload)
        schemas.DEVICE_DISCOVERY_SCHEMA(payload)
        shared = {k: v for k, v in payload.items() if k not in ("components", "origin")}
        for component in payload["components"].values():
            config = {**shared, **{k: v for k, v in component.items() if k != "platform"}}
            platforms[component["platform"]].DISCOVERY_SCHEMA(config)
