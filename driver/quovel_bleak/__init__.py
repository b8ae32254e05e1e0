"""The caller's half of the lock protocol as an asyncio driver over bleak.

:class:`LockClient` owns what the ``quovel`` module leaves to its caller:
connecting through ``bleak_retry_connector.establish_connection``, writing in
``WRITE_CHUNK``-byte chunks, reassembling notifications, repeating after a
checksum failure, letting stray frames go by, giving up on a silent lock or
a dropped link, and telling a ``LockTracker`` what happened. Failures are
the :class:`LockError` subclasses, named by what to tell the user.

Retries, in one place each:

- connecting: bleak-retry-connector's own attempts and back-off, once per
  connection; the driver adds no loop around it (that multiplied attempts).
- a checksum failure: the operation starts over ``CRC_RETRIES`` times,
  ``CRC_RETRY_DELAY`` apart, on the same connection.
- a dropped link (the disconnected callback ends the wait at once, a write
  fails): the driver reconnects, waiting ``connect_backoff(n)`` first, up to
  ``Timing.link_attempts`` connections in all, and starts the operation over.

A drop after the actuation request was written but before its reply leaves
open whether the bolt moved. The driver retries then too: locking and
unlocking are idempotent in effect (a second unlock of an unlocked lock
leaves it unlocked), and the retry is no replay, since it begins with a new
handshake and so carries a fresh ``ps`` and the current time. The tracker
meanwhile shows the command in flight; if every attempt fails it hears
``on_command_failed`` and the lock's next advertisement settles its state.

A silent lock (``NoReply``) is not retried: it would only cost the reply
timeout again.
"""

from .client import LockClient, Timing
from .errors import ActuationRefused, BadReply, HandshakeRefused, LinkLost, LockError, LockUnreachable, NoReply

__all__ = [
    "ActuationRefused",
    "BadReply",
    "HandshakeRefused",
    "LinkLost",
    "LockClient",
    "LockError",
    "LockUnreachable",
    "NoReply",
    "Timing",
]
