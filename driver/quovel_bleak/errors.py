"""What an operation on a lock can fail with, by what to tell the user.

Every class carries one message, ``str(error)``: quovel's own text where the
lock answered, the driver's where it did not. The underlying exception, if
any, is ``__cause__``. No message names key material.
"""

from __future__ import annotations


class LockError(Exception):
    """Base of every failure of a status query, lock or unlock."""


class HandshakeRefused(LockError):
    """The lock refused the first request, or its reply would not decrypt:
    suspect the AES key or the protocol version."""


class ActuationRefused(LockError):
    """The lock accepted the handshake but refused to lock or unlock: the AES
    key and version are right; suspect the unlock key."""


class LockUnreachable(LockError, ConnectionError):
    """No connection could be made (after bleak-retry-connector's attempts),
    or the device does not offer the lock's GATT service."""


class NoReply(LockError, TimeoutError):
    """The link stayed up but the lock did not answer in time."""


class LinkLost(LockError, ConnectionError):
    """The link dropped before the lock's reply arrived, on every attempt."""


class BadReply(LockError):
    """The lock kept answering with frames that could not be used: checksum
    failures beyond the retries, too many stray frames, or malformed packets."""
