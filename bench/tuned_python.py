"""Hand-tuned pure Python for two hot paths, to show how much of the
speed-up over pure_python.py a careful integration could win back by itself.
Not the yardstick: the targets are measured against pure_python.py."""

from __future__ import annotations

from pure_python import LockVersion

_EMPTY = (None,) * 5


class Advertisement:
    __slots__ = ("kind", "address", "battery", "is_unlocked", "has_events", "is_setting_mode", "lock_version")

    def __init__(self, kind, address, battery, is_unlocked, has_events, is_setting_mode, lock_version):
        self.kind = kind
        self.address = address
        self.battery = battery
        self.is_unlocked = is_unlocked
        self.has_events = has_events
        self.is_setting_mode = is_setting_mode
        self.lock_version = lock_version


def parse_advertisement(manufacturer_id: int, data: bytes) -> Advertisement:
    payload = manufacturer_id.to_bytes(2, "little") + data
    if len(payload) < 15:
        return Advertisement("unrecognized", None, *_EMPTY)
    head = payload[:2]
    if head == b"\x12\x19" or head == b"\xff\xff":
        return Advertisement("dfu", None, *_EMPTY)
    if head == b"\x05\x03":
        protocol_type, protocol_version, scene, state = 5, 3, payload[2], 3
    else:
        protocol_type, protocol_version, scene, state = payload[4], payload[5], payload[7], 8
    address = payload[:-7:-1].hex(":").upper()
    version = LockVersion(protocol_type, protocol_version, scene)
    if protocol_type < 5 or (protocol_type == 5 and protocol_version == 1):
        return Advertisement("stateless", address, None, None, None, None, version)
    flags, battery = payload[state], payload[state + 1]
    return Advertisement(
        "stateful",
        address,
        battery if battery <= 100 else None,
        bool(flags & 1),
        bool(flags & 2),
        bool(flags & 4),
        version,
    )


def normalize_aes_key(value: str) -> str:
    # str.split() also drops U+001C to U+001F, which quovel keeps as non-hex text.
    key = bytes.fromhex("".join(value.split()).replace(":", ""))
    if len(key) != 16:
        raise ValueError(f"AES key must be exactly 16 bytes; got {len(key)} bytes")
    return key.hex()
