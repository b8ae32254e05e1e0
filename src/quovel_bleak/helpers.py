"""Glue every caller needs: seconds to the tracker's milliseconds, the
offline limit, one spelling of an address, and how to tell a lock's
advertisement from any other."""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping

import quovel

OFFLINE_AFTER: float = 300.0
"""Seconds without an advertisement (or a reply) after which a lock counts
as unavailable. A lock advertises every few seconds, so this spans many
missed broadcasts and a blind stretch of connecting."""

BLUETOOTH_MATCHER: Mapping[str, object] = {"service_uuid": quovel.SERVICE_UUID, "connectable": True}
"""The matcher for a Home Assistant manifest's ``bluetooth`` list."""


_ADDRESS = re.compile(r"[0-9A-F]{2}([:-]?)[0-9A-F]{2}(?:\1[0-9A-F]{2}){4}", re.ASCII | re.IGNORECASE)


def normalize_address(text: str) -> str:
    """``"C4:3A:51:0B:7E:19"`` from an address written with colons, dashes or
    no separators, in any case.

    The error never repeats ``text``: what a user types where an address is
    expected may be a key.
    """
    match = _ADDRESS.fullmatch(text.strip()) if isinstance(text, str) else None
    if match is None:
        raise ValueError("not a Bluetooth address like C4:3A:51:0B:7E:19")
    digits = re.sub("[:-]", "", match.group()).upper()
    return ":".join(digits[i : i + 2] for i in range(0, 12, 2))


def to_ms(seconds: float) -> int:
    """Monotonic seconds (``time.monotonic()``, a service info's ``time``) as
    the tracker's integer milliseconds."""
    return max(0, int(seconds * 1000))


def poll_availability(tracker: quovel.LockTracker, now: float, offline_after: float = OFFLINE_AFTER) -> set[str]:
    """``tracker.poll_availability`` with times in seconds.

    ``now`` is on the clock of the advertisement times the tracker was fed.
    Feed the tracker every advertisement of a lock, also unchanged ones: a
    caller that hears only changes (Home Assistant's registered callbacks)
    must feed it the last service info's time too, or a lock that keeps
    broadcasting the same state is declared offline.
    """
    return tracker.poll_availability(to_ms(now), to_ms(offline_after))


def is_lock_advertisement(service_uuids: Iterable[str], manufacturer_data: Mapping[int, bytes] | None = None) -> bool:
    """Whether a broadcast comes from a lock of this platform.

    A lock lists ``quovel.SERVICE_UUID`` among its service UUIDs and carries
    manufacturer data. Manufacturer data alone proves nothing: decoding it
    never fails, so any entry of 13 bytes or more (an iBeacon's, say) would
    decode as a lock's.
    """
    wanted = quovel.SERVICE_UUID.lower()
    if not any(uuid.lower() == wanted for uuid in service_uuids):
        return False
    return manufacturer_data is None or bool(manufacturer_data)
