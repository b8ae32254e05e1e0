"""What the bridge takes from quovel_bleak, in one place.

The names the bridge needs from a driver that may predate them (the offline
limit, error kinds, held links, ``close()``) are looked up here once, with
the same meaning where the driver lacks them.
"""

from __future__ import annotations

import dataclasses
from typing import Any

import quovel
import quovel_bleak
from quovel_bleak import LockClient, LockError, Timing

OFFLINE_AFTER: float = getattr(quovel_bleak, "OFFLINE_AFTER", 300.0)
"""Seconds without an advertisement after which a lock is offline."""

_KINDS: dict[str, str] = {
    "HandshakeRefused": "handshake_refused",
    "ActuationRefused": "actuation_refused",
    "NoConnectionSlot": "no_connection_slot",
    "LockUnreachable": "unreachable",
    "NoReply": "no_reply",
    "LinkLost": "link_lost",
    "BadReply": "bad_reply",
}
_SUSPECTS = {"handshake_refused": "aes_key", "actuation_refused": "unlock_key"}


def to_ms(seconds: float) -> int:
    convert = getattr(quovel_bleak, "to_ms", None)
    return convert(seconds) if convert is not None else max(0, int(seconds * 1000))


def poll_availability(tracker: quovel.LockTracker, now: float, offline_after: float) -> set[str]:
    poll = getattr(quovel_bleak, "poll_availability", None)
    if poll is not None:
        return set(poll(tracker, now, offline_after))
    return tracker.poll_availability(to_ms(now), to_ms(offline_after))


def error_kind(error: LockError) -> str:
    kind = getattr(error, "kind", None)
    if isinstance(kind, str):
        return kind
    for cls in type(error).__mro__:
        if cls.__name__ in _KINDS:
            return _KINDS[cls.__name__]
    return "lock_error"


def error_suspect(error: LockError) -> str | None:
    if hasattr(error, "suspect"):
        return error.suspect  # type: ignore[no-any-return]
    return _SUSPECTS.get(error_kind(error))


def timing(hold_link: float | None) -> Timing:
    """The driver's timing, holding the link as configured where the driver can."""
    names = {f.name for f in dataclasses.fields(Timing)}
    if hold_link is not None and "hold_link" in names:
        return Timing(hold_link=hold_link)  # type: ignore[call-arg]
    return Timing()


async def close(client: LockClient) -> None:
    closer: Any = getattr(client, "close", None)
    if closer is not None:
        await closer()
