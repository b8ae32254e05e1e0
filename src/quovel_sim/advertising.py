"""Manufacturer-data entries as a lock broadcasts them and bleak delivers them.

bleak hands over a ``dict[int, bytes]``: the 16-bit company identifier, then
the bytes that follow it in the advertisement.
"""

from __future__ import annotations

DIRECT_COMPANY_ID = 0x0305
DFU_COMPANY_IDS = (0x1912, 0xFFFF)
# Any identifier other than the direct and DFU ones uses the offset layout.
STALE_COMPANY_ID = 0x0102

UNLOCKED_FLAG = 0x01
EVENTS_FLAG = 0x02
SETTING_MODE_FLAG = 0x04
NO_BATTERY = 0xFF
_FILLER = bytes(4)


def address_bytes(address: str) -> bytes:
    """The six address bytes in broadcast order: last octet first."""
    octets = bytes.fromhex(address.replace(":", ""))
    if len(octets) != 6:
        raise ValueError(f"not a six-octet address: {address!r}")
    return octets[::-1]


def direct_entry(
    address: str,
    *,
    unlocked: bool,
    battery: int | None,
    scene: int = 2,
    has_events: bool = False,
    setting_mode: bool = False,
) -> bytes:
    """Data of a stateful entry under ``DIRECT_COMPANY_ID``.

    ``battery`` ``None`` broadcasts the "no reading" value.
    """
    flags = (
        (UNLOCKED_FLAG if unlocked else 0)
        | (EVENTS_FLAG if has_events else 0)
        | (SETTING_MODE_FLAG if setting_mode else 0)
    )
    level = NO_BATTERY if battery is None else battery
    return bytes((scene, flags, level)) + _FILLER + address_bytes(address)


def stateless_entry(address: str, *, protocol_type: int = 5, protocol_version: int = 1, scene: int = 2) -> bytes:
    """Data of an offset-layout entry whose protocol cannot carry state."""
    return bytes((0, 0, protocol_type, protocol_version, 0, scene, 0, 0)) + address_bytes(address)


def dfu_entry(address: str) -> bytes:
    """Data of the entry a lock broadcasts while in firmware-update mode."""
    return bytes(7) + address_bytes(address)
