"""The caller's half of the lock protocol as an asyncio driver over bleak.

:class:`LockMonitor` is one lock's life, the same for every caller: it owns
the lock's ``LockTracker`` and its :class:`LockClient`, is fed advertisements
and availability, tells listeners what changed, reports the state as a
:class:`LockState`, and runs commands in the order asked, the last intent
winning (an overtaken command raises :class:`Superseded` and sends nothing).
A caller keeps only its host's wiring. :mod:`quovel_bleak.keyfiles` reads
keys from files only their owner can read.

:class:`LockClient` owns what the ``quovel`` module leaves to its caller:
connecting through ``bleak_retry_connector.establish_connection``, writing in
``WRITE_CHUNK``-byte chunks, reassembling notifications, repeating after a
checksum failure, letting stray frames go by, giving up on a silent lock or
a dropped link, and telling a ``LockTracker`` what happened. Failures are
the :class:`LockError` subclasses, named by what to tell the user.

Retries, in one place each:

- connecting: bleak-retry-connector's own attempts and back-off, once per
  connection; the driver adds no loop around it (that multiplied attempts).
  A connection left over by a crashed process is closed first
  (``close_stale_connections_by_address``). With a :class:`SlotPool`, a
  missing slot is not retried there on its fixed back-off: the call goes
  back to wait on the pool until a slot frees, and connects afresh then.
  Waiting for a slot is not a connection attempt; the deadline bounds it.
- a checksum failure: the operation starts over ``CRC_RETRIES`` times,
  ``CRC_RETRY_DELAY`` apart, on the same connection.
- a dropped link (the disconnected callback ends the wait at once, a write
  fails): the driver reconnects, waiting ``connect_backoff(n)`` first, up to
  ``Timing.link_attempts`` connections in all, and starts the operation over.
- a missing characteristic (a stale service cache): the cache is cleared and
  the driver connects once more.

A drop after the actuation request was written but before its reply leaves
open whether the bolt moved. The driver retries then too: locking and
unlocking are idempotent in effect (a second unlock of an unlocked lock
leaves it unlocked), and the retry is no replay, since it begins with a new
handshake and so carries a fresh ``ps`` and the current time. The tracker
meanwhile shows the command in flight; if every attempt fails it hears
``on_command_failed``, and one status query (``on_status``) settles it.

A silent lock (``NoReply``) is not retried, nor asked for its status after
the failure: either would only cost the reply timeout again.

A command cancelled after the tracker was shown it, and before the lock
acknowledged it, is settled by one status query run in the background
(beyond the caller's reach, within ``Timing.call_deadline``), so no lock is
left shown locking or unlocking. ``lock()``/``unlock()`` take a ``proceed``
callable, asked when the call gets its turn and right before the first
request is written: ``False`` ends the call with ``Superseded``.

Links are held: after a call the link stays up ``Timing.hold_link`` seconds
(7 s by default), and a call within that time reuses it and its
subscription, paying only the protocol's own round trips. When the lock
drops an idle link, the disconnected callback makes the driver forget it and
the next call connects afresh; a drop that goes unreported shows at the
first write or reply wait, and the call connects again at once, without
back-off and without using up an attempt. Disconnecting always runs in the
background: a result is returned as soon as it is known, and a hung
``disconnect()`` delays the next connection to the same lock by at most
``Timing.disconnect_timeout`` (5 s by default).

Connection slots are the scarcest thing: with a :class:`SlotPool` shared by
the clients of every lock, a link is held only while no other lock waits
for a slot it could give back, and a call that finds every slot that can
reach its lock busy lets go of the idle links there and waits until a slot
frees (see :mod:`quovel_bleak.slots`).

Every call ends within its deadline (``Timing.call_deadline``, 30 s by
default, or ``deadline=`` per call): the turn, connecting, the exchange,
reconnecting and the settling status query all count against it.
"""

from .client import LockClient, Timing
from .errors import (
    ERROR_KINDS,
    ActuationRefused,
    BadReply,
    HandshakeRefused,
    LinkLost,
    LockError,
    LockUnreachable,
    NoConnectionSlot,
    NoReply,
    Superseded,
)
from .helpers import (
    BLUETOOTH_MATCHER,
    OFFLINE_AFTER,
    is_lock_advertisement,
    normalize_address,
    poll_availability,
    to_ms,
)
from .keyfiles import Secret, SecretFileError, check_owner_only, read_secret_file
from .monitor import Listener, LockMonitor, LockState
from .slots import SlotPool, SlotSource

__all__ = [
    "BLUETOOTH_MATCHER",
    "ERROR_KINDS",
    "OFFLINE_AFTER",
    "ActuationRefused",
    "BadReply",
    "HandshakeRefused",
    "LinkLost",
    "LockClient",
    "Listener",
    "LockError",
    "LockMonitor",
    "LockState",
    "LockUnreachable",
    "NoConnectionSlot",
    "NoReply",
    "Secret",
    "SecretFileError",
    "Superseded",
    "SlotPool",
    "SlotSource",
    "Timing",
    "check_owner_only",
    "is_lock_advertisement",
    "normalize_address",
    "poll_availability",
    "read_secret_file",
    "to_ms",
]
