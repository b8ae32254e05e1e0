"""What an operation on a lock can fail with, by what to tell the user.

Every class carries one message, ``str(error)``: quovel's own text where the
lock answered, the driver's where it did not. The underlying exception, if
any, is ``__cause__``. No message names key material. ``kind`` names the
failure for machines (one of :data:`ERROR_KINDS`, to translate or to pick a
form field by), and ``suspect`` the key to ask for again, if any.
"""

from __future__ import annotations

from typing import ClassVar


class LockError(Exception):
    """Base of every failure of a status query, lock or unlock."""

    kind: ClassVar[str] = "lock_error"
    suspect: ClassVar[str | None] = None


class HandshakeRefused(LockError):
    """The lock refused the first request, or its reply would not decrypt:
    suspect the AES key or the protocol version."""

    kind = "handshake_refused"
    suspect = "aes_key"


class ActuationRefused(LockError):
    """The lock accepted the handshake but refused to lock or unlock: the AES
    key and version are right; suspect the unlock key."""

    kind = "actuation_refused"
    suspect = "unlock_key"


class LockUnreachable(LockError, ConnectionError):
    """No connection could be made (after bleak-retry-connector's attempts, or
    before the call's deadline), or the device does not offer the lock's GATT
    service."""

    kind = "unreachable"


class NoConnectionSlot(LockUnreachable):
    """The adapter or proxy that can reach the lock has no free connection
    slot: another device holds it; more proxies near the lock help."""

    kind = "no_connection_slot"


class NoReply(LockError, TimeoutError):
    """The link stayed up but the lock did not answer in time, or the call's
    deadline passed while it was under way."""

    kind = "no_reply"


class LinkLost(LockError, ConnectionError):
    """The link dropped before the lock's reply arrived, on every attempt."""

    kind = "link_lost"


class BadReply(LockError):
    """The lock kept answering with frames that could not be used: checksum
    failures beyond the retries, too many stray frames, or malformed packets."""

    kind = "bad_reply"


class Superseded(LockError):
    """A newer opposite command for the same lock arrived before this one was
    sent: not carried out."""

    kind = "superseded"


ERROR_KINDS: frozenset[str] = frozenset(
    cls.kind
    for cls in (
        HandshakeRefused,
        ActuationRefused,
        LockUnreachable,
        NoConnectionSlot,
        NoReply,
        LinkLost,
        BadReply,
        Superseded,
    )
)
"""Every ``LockError.kind`` the driver raises."""
