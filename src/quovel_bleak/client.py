"""``LockClient``: status queries, locks and unlocks of one lock over bleak."""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import logging
import math
import weakref
from collections.abc import AsyncIterator, Awaitable, Callable
from dataclasses import dataclass
from typing import Any, Literal, Protocol, TypeAlias, TypeVar

import bleak_retry_connector
from bleak import BleakClient
from bleak.backends.characteristic import BleakGATTCharacteristic
from bleak.backends.client import BaseBleakClient
from bleak.backends.device import BLEDevice
from bleak.exc import BleakCharacteristicNotFoundError, BleakError

import quovel

from .errors import (
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
from .helpers import normalize_address
from .keyfiles import Secret
from .slots import SlotPool, SlotTicket

_LOGGER = logging.getLogger(__name__)
_DEBUG = logging.DEBUG

Action: TypeAlias = Literal["lock", "unlock"]
Operation: TypeAlias = quovel.StatusOp | quovel.LockOp | quovel.UnlockOp
Step: TypeAlias = tuple[Literal["write"], bytes] | tuple[Literal["done"], str | None]
Sleep: TypeAlias = Callable[[float], Awaitable[None]]
ChangeListener: TypeAlias = Callable[[set[str]], None]
Proceed: TypeAlias = Callable[[], bool]
_K = TypeVar("_K")

# What bleak, BlueZ and the operating system raise when a GATT call or a
# connection fails.
_LINK_ERRORS = (BleakError, TimeoutError, OSError, EOFError)
# How bleak-retry-connector recognises a proxy or adapter without a free slot.
_NO_SLOT_TEXTS: frozenset[str] = frozenset(
    getattr(bleak_retry_connector, "OUT_OF_SLOTS_ERRORS", {"available connection", "connection slot"})
)
# Why the last connection attempt of this task failed: a deadline that ends
# bleak-retry-connector's loop early still tells a missing slot apart.
_LAST_CONNECT_FAILURE: contextvars.ContextVar[BaseException | None] = contextvars.ContextVar(
    "quovel_bleak_last_connect_failure", default=None
)
# Set while a client with a slot pool connects: a missing slot ends the
# attempt at once, and the call waits on the pool instead of a fixed back-off.
_POOLED: contextvars.ContextVar[bool] = contextvars.ContextVar("quovel_bleak_pooled", default=False)


class ServiceInfo(Protocol):
    """What ``LockClient.from_service_info`` reads (Home Assistant's ``BluetoothServiceInfoBleak``)."""

    @property
    def device(self) -> BLEDevice: ...
    @property
    def address(self) -> str: ...


@dataclass(frozen=True, slots=True)
class Timing:
    """The driver's waits and bounds; the defaults are the module's constants."""

    reply_timeout: float = 10.0
    """Seconds to wait for each reply."""
    write_chunk_delay: float = quovel.WRITE_CHUNK_DELAY
    crc_retry_delay: float = quovel.CRC_RETRY_DELAY
    disconnect_timeout: float = 5.0
    """Seconds to give ``disconnect()`` before leaving the link to the stack.
    Disconnecting runs in the background, so this never delays a result; it
    bounds how long the next connection to the same lock waits for it."""
    link_attempts: int = 3
    """Connections one operation may use when the link keeps dropping."""
    backoff: Callable[[int], float] = quovel.connect_backoff
    """Seconds to wait before reconnecting after the n-th lost link."""
    hold_link: float = 7.0
    """Seconds the link stays up after an operation, so that a follow-up
    (the state read after a command, a second command) costs no connection.
    0 disconnects at once. Peers hold 5 to 9 s; 7 s covers the follow-up
    of an automation or a second tap, and hands a proxy's few connection
    slots (and the lock's battery) back soon after."""
    call_deadline: float = 30.0
    """Seconds one call may take in all: waiting for its turn, connecting
    (bleak-retry-connector's attempts included), the handshake, the
    actuation, reconnecting after drops, and the status query that settles a
    failed command. 30 s allows one connection attempt to time out after
    bleak's 20 s and the next to succeed, and ends a call on an unreachable
    lock well before bleak-retry-connector's own loop would (up to 4 x 20 s).
    ``status(deadline=15)`` and the like shorten it for one call."""


class _Keys:
    """The keys, kept out of ``vars()``, reprs and tracebacks' locals."""

    __slots__ = ("aes", "unlock")

    def __init__(self, aes: str, unlock: int | None) -> None:
        self.aes = aes
        self.unlock = unlock

    def __repr__(self) -> str:
        return "<keys redacted>"


class _Call:
    """One public call's deadline, and what it was doing, for the message
    given when the deadline passes."""

    __slots__ = ("busy", "deadline", "limit", "phase", "proceed")

    def __init__(self, limit: float, proceed: Proceed | None = None) -> None:
        self.limit = limit
        self.deadline = asyncio.get_running_loop().time() + limit if math.isfinite(limit) else None
        self.phase = "waiting for its turn"
        # Asked right before the first request is written; None once it was.
        self.proceed = proceed
        # The adapters or proxies a wait for a slot was on.
        self.busy: list[str] = []

    def remaining(self) -> float:
        if self.deadline is None:
            return math.inf
        return self.deadline - asyncio.get_running_loop().time()

    def expired(self) -> LockError:
        passed = f"the {self.limit:g} s deadline passed while {self.phase}"
        if self.phase == "connecting":
            last = _LAST_CONNECT_FAILURE.get()
            if last is not None and _no_slot(last):
                return NoConnectionSlot(f"could not connect: {passed}; no free connection slot: {_describe(last)}")
            return LockUnreachable(f"could not connect: {passed}")
        if self.phase == "waiting for a connection slot":
            on = f" ({', '.join(self.busy)})" if self.busy else ""
            return NoConnectionSlot(
                f"could not connect: {passed}; every connection slot that can reach the lock was busy{on}"
            )
        if self.phase == "waiting for its turn":
            return LockUnreachable(f"{passed} (another operation on this lock was in progress)")
        if self.phase == "waiting for the last link to close":
            return LockUnreachable(passed)
        return NoReply(passed)


class LockClient:
    """One lock: ``status()``, ``lock()`` and ``unlock()`` over bleak.

    ``device`` is a ``BLEDevice`` or the lock's Bluetooth address; with an
    address the device comes from ``ble_device_callback`` (Home Assistant:
    ``async_ble_device_from_address``), which is also asked before every
    connection for a fresher one (``None`` keeps the last one known).

    The keys (text, bytes, or a ``keyfiles.Secret``) are validated here (a
    bad one raises ``quovel.QuovelError`` with quovel's message) and never
    appear in a repr, ``vars()``, a log line or a traceback's locals.
    ``version`` defaults to what ``tracker`` learned from advertisements,
    else the default version. With a ``tracker``, every ``lock()`` and
    ``unlock()`` that gets its turn reports ``on_command_started`` and then
    exactly one of ``on_command_acknowledged`` or ``on_command_failed``, also
    when it is cancelled; after a failure it queries the status once (within
    what is left of the deadline; in the background after a cancellation;
    not after ``LockUnreachable`` or ``NoReply``) and hands the result, or
    ``None``, to ``tracker.on_status``, as ``status()`` hands its own.
    Every spelling of an address (colons, dashes, none, any case) is one
    lock.

    ``slots``, a :class:`~quovel_bleak.SlotPool` shared by the clients of
    every lock on the same adapters or proxies, makes a call that finds no
    free slot let go of the links held idle there and wait for one to free
    (within its deadline); a link is then held only while no call waits.

    ``on_change`` receives each non-empty change set; an exception it raises is logged and
    changes nothing. Connecting time is credited to the tracker with
    ``credit_blind_time``.

    One operation runs at a time per lock in the process: every client of
    the same address shares one turn and one link. The link stays up
    ``Timing.hold_link`` seconds after an operation for the next one;
    ``close()`` (or leaving ``async with``) takes it down at once. Each
    call ends within its deadline (``Timing.call_deadline``, or the
    ``deadline`` argument). ``clock`` gives monotonic seconds on the clock
    of the tracker's advertisement times (default: the event loop's, which
    is ``time.monotonic``).
    """

    __slots__ = (
        "__weakref__",
        "_address",
        "_backend",
        "_ble_device_callback",
        "_client_class",
        "_clock",
        "_closed",
        "_device",
        "_keys",
        "_on_change",
        "_settling",
        "_sleep",
        "_slots",
        "_timing",
        "_tracker",
        "_version",
    )

    def __init__(
        self,
        device: BLEDevice | str,
        aes_key: str | bytes | Secret,
        unlock_key: int | str | Secret | None = None,
        *,
        version: quovel.LockVersion | None = None,
        tracker: quovel.LockTracker | None = None,
        on_change: ChangeListener | None = None,
        ble_device_callback: Callable[[], BLEDevice | None] | None = None,
        timing: Timing = Timing(),
        sleep: Sleep = asyncio.sleep,
        clock: Callable[[], float] | None = None,
        client_class: type[BleakClient] | None = None,
        backend: type[BaseBleakClient] | None = None,
        slots: SlotPool | None = None,
    ) -> None:
        self._keys = _Keys(
            quovel.normalize_aes_key(_revealed(aes_key)),
            None if unlock_key is None else quovel.normalize_unlock_key(_revealed(unlock_key)),
        )
        if isinstance(device, str):
            self._address = _address_key(device)
            self._device: BLEDevice | None = None
        else:
            self._address = _address_key(device.address)
            self._device = device
        self._version = version
        self._tracker = tracker
        self._on_change = on_change
        self._ble_device_callback = ble_device_callback
        self._timing = timing
        self._sleep = sleep
        self._clock = clock
        self._client_class = client_class
        self._backend = backend
        self._slots = slots
        self._closed = False
        self._settling: set[asyncio.Task[str | None]] = set()

    @classmethod
    def from_service_info(
        cls, service_info: ServiceInfo, aes_key: str | bytes, unlock_key: int | str | None = None, **kwargs: Any
    ) -> LockClient:
        """A client for the device of a discovery (``BluetoothServiceInfoBleak``)."""
        return cls(service_info.device, aes_key, unlock_key, **kwargs)

    def __repr__(self) -> str:
        return f"LockClient({self._address!r})"

    async def __aenter__(self) -> LockClient:
        return self

    async def __aexit__(self, *_exc: object) -> None:
        await self.close()

    @property
    def address(self) -> str:
        return self._address

    @property
    def timing(self) -> Timing:
        return self._timing

    async def close(self) -> None:
        """Take a held link down now and wait for it (at most
        ``Timing.disconnect_timeout``). An operation in progress finishes
        first and then holds no link. Calls after ``close()`` still work and
        hold no link. Closing twice is harmless. A settling status query
        still running after a cancelled command is given up: its tracker
        hears ``on_status(None)``."""
        self._closed = True
        if self._settling:
            for task in self._settling:
                task.cancel()
            await asyncio.wait(list(self._settling))
        site = _site(self._address)
        if not site.turn.locked() and site.link is not None:
            site.discard(site.link, self._timing.disconnect_timeout)
        await site.settled()

    async def status(self, *, deadline: float | None = None) -> str:
        """``"LOCKED"``, ``"UNLOCKED"`` or ``"UNKNOWN:<n>"``, as the lock reports it."""
        call = _Call(self._timing.call_deadline if deadline is None else deadline)
        site = _site(self._address)
        async with self._turn(site, call):
            try:
                result = await self._run(site, call, quovel.StatusOp(self._keys.aes, self._current_version()), None)
            except LockError:
                self._feed_status(None)
                raise
        assert result is not None
        self._feed_status(result)
        return result

    async def lock(self, *, deadline: float | None = None, proceed: Proceed | None = None) -> None:
        """Lock; see ``unlock()``."""
        await self._actuate("lock", deadline, proceed)

    async def unlock(self, *, deadline: float | None = None, proceed: Proceed | None = None) -> None:
        """Unlock.

        ``proceed`` is asked when the call gets its turn and again right
        before the first request is written; ``False`` ends the call with
        ``Superseded`` and nothing is sent (a tracker that was shown the
        command hears it failed, and ``on_status(None)``: no status query).
        Once a request was written the command completes.

        A call cancelled after the tracker was shown the command and before
        the lock acknowledged it leaves one status query running in the
        background (its own deadline, ``Timing.call_deadline``; it cannot be
        cancelled by the caller), which settles the tracker, with ``None``
        if it fails too. Cancelling the status query that settles a failure
        does the same.
        """
        await self._actuate("unlock", deadline, proceed)

    async def _actuate(self, action: Action, deadline: float | None, proceed: Proceed | None) -> None:
        # The keys are read where they are used: a local would show in a
        # traceback captured with its locals.
        if self._keys.unlock is None:
            raise ValueError("this LockClient was made without an unlock key")
        call = _Call(self._timing.call_deadline if deadline is None else deadline, proceed)
        site = _site(self._address)
        async with self._turn(site, call):
            if proceed is not None and not proceed():
                raise _superseded(action)
            op_class = quovel.LockOp if action == "lock" else quovel.UnlockOp
            op = op_class(self._keys.aes, self._keys.unlock, self._current_version())
            tracker = self._tracker
            if tracker is None:
                await self._run(site, call, op, None)
                return
            reported = False

            def acknowledge(_result: str | None) -> None:
                nonlocal reported
                reported = True
                self._tell("on_command_acknowledged", tracker.on_command_acknowledged(self._now_ms(), action))

            self._tell("on_command_started", tracker.on_command_started(action))
            try:
                await self._run(site, call, op, acknowledge)
            except BaseException as error:
                if not reported:
                    self._tell("on_command_failed", tracker.on_command_failed())
                    await self._end_failed(site, call, error)
                raise

    async def _end_failed(self, site: _Site, call: _Call, error: BaseException) -> None:
        """Settle the tracker after a command that was shown and failed."""
        if isinstance(error, Superseded):
            # Nothing was sent: the last known position stands.
            self._feed_status(None)
        elif isinstance(error, LockError):
            try:
                await self._settle(site, call, error)
            except asyncio.CancelledError:
                self._settle_later()
                raise
        elif isinstance(error, Exception | asyncio.CancelledError):
            self._settle_later()

    async def _settle(self, site: _Site, call: _Call, failure: LockError) -> None:
        """One status query after a failed command, so the tracker shows what
        the lock says instead of the command that failed.

        Skipped after ``LockUnreachable`` (connecting again would only repeat
        the failure and its wait) and after ``NoReply`` (a silent lock would
        cost a second whole reply timeout): the tracker then hears ``None``."""
        result: str | None = None
        call.proceed = None
        if not isinstance(failure, LockUnreachable | NoReply) and call.remaining() > 0:
            try:
                result = await self._run(site, call, quovel.StatusOp(self._keys.aes, self._current_version()), None)
            except LockError as error:
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug("%s: the status query after the failure failed too: %s", self._address, error)
        self._feed_status(result)

    def _settle_later(self) -> None:
        """The settling status query as a task of its own: the caller's
        cancellation has ended the call, not the need to settle."""
        task = asyncio.get_running_loop().create_task(self._settle_in_background())
        # The loop keeps only a weak reference to a task.
        for running in (_SETTLING, self._settling):
            running.add(task)
            task.add_done_callback(running.discard)
        task.add_done_callback(self._settled)

    async def _settle_in_background(self) -> str | None:
        call = _Call(self._timing.call_deadline)
        site = _site(self._address)
        try:
            async with self._turn(site, call):
                return await self._run(site, call, quovel.StatusOp(self._keys.aes, self._current_version()), None)
        except LockError as error:
            if _LOGGER.isEnabledFor(_DEBUG):
                _LOGGER.debug("%s: the status query after a cancelled command failed: %s", self._address, error)
        except Exception:
            _LOGGER.exception("%s: the status query after a cancelled command failed", self._address)
        return None

    def _settled(self, task: asyncio.Task[str | None]) -> None:
        # Also when the query was given up (closing, the loop ending), even before it began.
        self._feed_status(None if task.cancelled() else task.result())

    def _feed_status(self, result: str | None) -> None:
        tracker = self._tracker
        if tracker is not None:
            self._tell("on_status", tracker.on_status(self._now_ms(), result))

    @contextlib.asynccontextmanager
    async def _turn(self, site: _Site, call: _Call) -> AsyncIterator[None]:
        if site.turn.locked() and _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: waiting for the operation in progress to finish", self._address)
        try:
            async with asyncio.timeout_at(call.deadline) as waiting:
                await site.turn.acquire()
        except TimeoutError:
            if waiting.expired():
                raise call.expired() from None
            raise
        try:
            site.stop_idle_timer()
            yield
        finally:
            try:
                self._release(site)
            finally:
                site.turn.release()

    def _release(self, site: _Site) -> None:
        """The link after a call: held for the next one, or taken down."""
        link = site.link
        if link is None:
            return
        hold = 0.0 if self._closed else self._timing.hold_link
        # A slot is never held idle while another lock waits for it.
        if hold > 0 and link.usable() and not (link.ticket is not None and link.ticket.wanted()):
            site.hold(link, hold, self._timing.disconnect_timeout)
        else:
            site.discard(link, self._timing.disconnect_timeout)

    async def _run(
        self, site: _Site, call: _Call, op: Operation, on_success: Callable[[str | None], None] | None
    ) -> str | None:
        """The operation within the call's deadline."""
        try:
            async with asyncio.timeout_at(call.deadline) as bounded:
                return await self._attempts(site, call, op, on_success)
        except TimeoutError:
            if bounded.expired():
                raise call.expired() from None
            raise

    async def _attempts(
        self, site: _Site, call: _Call, op: Operation, on_success: Callable[[str | None], None] | None
    ) -> str | None:
        """Exchange over the held link or a new one, reconnecting when the link drops.

        A reconnection starts the operation afresh with a new handshake, also
        after an actuation request may already have reached the lock. A held
        link found dead is replaced at once, without back-off and without
        using up an attempt: the lock drops idle links.
        """
        attempts = max(1, self._timing.link_attempts)
        attempt = 1
        cache_cleared = False
        while True:
            link: _Link | None = None
            reused = False
            try:
                link, reused = await self._acquire(site, call, op)
                result = await self._exchange(link, call, op)
            except LinkLost as lost:
                if link is not None:
                    site.discard(link, self._timing.disconnect_timeout)
                if reused:
                    if _LOGGER.isEnabledFor(_DEBUG):
                        _LOGGER.debug("%s: the held link was gone (%s); connecting afresh", self._address, lost)
                    continue
                if attempt == attempts:
                    raise
                wait = self._timing.backoff(attempt)
                attempt += 1
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug(
                        "%s: %s; reconnecting in %s s (attempt %d of %d)", self._address, lost, wait, attempt, attempts
                    )
                call.phase = "waiting to reconnect"
                await self._sleep(wait)
                continue
            except _MissingCharacteristic as missing:
                if link is not None:
                    site.discard(link, self._timing.disconnect_timeout, clear_cache=True)
                if cache_cleared:
                    raise LockUnreachable(f"{missing}, also after clearing the service cache") from missing.__cause__
                cache_cleared = True
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug("%s: %s; clearing the service cache and connecting again", self._address, missing)
                continue
            except (HandshakeRefused, ActuationRefused, Superseded):
                raise  # the link is fine: kept for the status query and the next call
            except BaseException:
                if link is not None:
                    site.discard(link, self._timing.disconnect_timeout)
                raise
            if on_success is not None:
                on_success(result)
            return result

    async def _acquire(self, site: _Site, call: _Call, op: Operation) -> tuple[_Link, bool]:
        """The held link if it is still up, else a new one."""
        link = site.link
        if link is not None:
            if link.usable():
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug("%s: using the held link", self._address)
                return link, True
            site.discard(link, self._timing.disconnect_timeout)
        call.phase = "waiting for the last link to close"
        await site.settled()
        link = await self._connect(site, call, op)
        site.link = link
        return link, False

    async def _connect(self, site: _Site, call: _Call, op: Operation) -> _Link:
        """A new link; with a slot pool, once a slot is free for it.

        The stack answering "no slot" then sends the call back to wait on
        the pool: waiting is no connection attempt, and the deadline bounds
        it, so this is not a second retry loop around bleak-retry-connector.
        """
        pool = self._slots
        if pool is None:
            call.phase = "connecting"
            return await self._connect_once(site, None)
        refused = False
        while True:
            call.phase = "waiting for a connection slot"
            call.busy = pool.busy_sources(self._address)
            if _LOGGER.isEnabledFor(_DEBUG):
                _LOGGER.debug("%s: asking the pool for a connection slot (%s)", self._address, pool)
            ticket = await pool.acquire(self._address, refused=refused)
            if call.proceed is not None and not call.proceed():
                # Overtaken while it waited: the slot goes to the command that overtook it.
                ticket.close()
                raise _superseded("lock" if isinstance(op, quovel.LockOp) else "unlock")
            call.phase = "connecting"
            token = _POOLED.set(True)
            try:
                return await self._connect_once(site, ticket)
            except _SlotRefused as error:
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug("%s: no slot after all (%s); waiting on the pool", self._address, error)
                refused = True
            finally:
                _POOLED.reset(token)

    async def _connect_once(self, site: _Site, ticket: SlotTicket | None) -> _Link:
        device = self._fresh_device()
        if device is None:
            if ticket is not None:
                ticket.close()
            raise LockUnreachable(f"{self._address} has not been heard: no Bluetooth device to connect to")
        link = _Link(self._address)
        # Looked up now: Home Assistant replaces the class while it sets up.
        client_class = _noting_failures(self._client_class or bleak_retry_connector.BleakClientWithServiceCache)
        # Only a backend the caller chose; the default stays bleak's (or Home Assistant's).
        extra: dict[str, Any] = {} if self._backend is None else {"backend": self._backend}
        started = self._now()
        try:
            try:
                try:
                    # A connection left over from a crashed process blocks a new one.
                    await bleak_retry_connector.close_stale_connections_by_address(self._address)
                except Exception as error:
                    if _LOGGER.isEnabledFor(_DEBUG):
                        _LOGGER.debug("%s: closing stale connections failed: %s", self._address, _describe(error))
                _LAST_CONNECT_FAILURE.set(None)
                # establish_connection is the one retry loop around connecting.
                client = await bleak_retry_connector.establish_connection(
                    client_class,
                    device,
                    device.name or device.address,
                    disconnected_callback=link.on_disconnected,
                    ble_device_callback=self._fresh_device_or_last,
                    **extra,
                )
            except BaseException:
                if ticket is not None:
                    ticket.close()
                raise
        except bleak_retry_connector.BleakOutOfConnectionSlotsError as error:
            raise NoConnectionSlot(f"could not connect: {_describe(error)}") from error
        except _LINK_ERRORS as error:
            raise LockUnreachable(f"could not connect: {_describe(error)}") from error
        finally:
            # The radio could not hear advertisements while it was connecting.
            blind_ms = max(0, int((self._now() - started) * 1000))
            if self._tracker is not None:
                self._tracker.credit_blind_time(blind_ms)
        # Drops reported while connect() retried belong to links that are
        # already gone; from here on a drop is this link's.
        link.attach(client, ticket)
        if _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: connected after %d ms (blind time credited)", self._address, blind_ms)
        if not client.is_connected:
            site.orphan(link, self._timing.disconnect_timeout)
            raise LinkLost("the link dropped as soon as it was made")
        try:
            await link.subscribe()
        except BaseException as error:
            site.orphan(link, self._timing.disconnect_timeout, clear_cache=isinstance(error, _MissingCharacteristic))
            raise
        return link

    def _fresh_device(self) -> BLEDevice | None:
        # None (the lock not heard lately) keeps the device last known.
        if self._ble_device_callback is not None and (device := self._ble_device_callback()) is not None:
            self._device = device
        return self._device

    def _fresh_device_or_last(self) -> BLEDevice:
        device = self._fresh_device()
        assert device is not None  # connecting started with one
        return device

    async def _exchange(self, link: _Link, call: _Call, op: Operation) -> str | None:
        for retry in range(quovel.CRC_RETRIES + 1):
            if retry:
                call.phase = "waiting to repeat the request"
                await self._sleep(self._timing.crc_retry_delay)
            try:
                return await self._steps(link, call, op)
            except quovel.CrcMismatch as error:
                if retry == quovel.CRC_RETRIES:
                    raise BadReply(str(error)) from error
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug(
                        "%s: handle_frame() raised CrcMismatch: %s; retry %d of %d after %s s",
                        self._address,
                        error,
                        retry + 1,
                        quovel.CRC_RETRIES,
                        self._timing.crc_retry_delay,
                    )
        raise AssertionError("unreachable")

    async def _steps(self, link: _Link, call: _Call, op: Operation) -> str | None:
        # start() begins the whole exchange afresh, with a new handshake.
        step: Step = op.start()
        first = True
        debug = _LOGGER.isEnabledFor(_DEBUG)
        while step[0] == "write":
            packet = step[1]
            if debug:
                _LOGGER.debug(
                    '%s: %s -> ("write", %d bytes): command 0x%02x',
                    self._address,
                    "start()" if first else "handle_frame()",
                    len(packet),
                    packet[9],
                )
            if call.proceed is not None:
                if not call.proceed():
                    raise _superseded("lock" if isinstance(op, quovel.LockOp) else "unlock")
                # Once a request is written the command completes, retries included.
                call.proceed = None
            call.phase = "writing the request"
            await self._write(link, packet)
            call.phase = "waiting for the lock's reply"
            step = await self._reply(link, op, first)
            first = False
        if debug:
            _LOGGER.debug('%s: handle_frame() -> ("done", %r)', self._address, step[1])
        return step[1]

    async def _write(self, link: _Link, packet: bytes) -> None:
        # Nothing heard before a request can answer it.
        link.reset()
        debug = _LOGGER.isEnabledFor(_DEBUG)
        client, characteristic = link.client, link.characteristic
        if client is None or characteristic is None:
            raise LinkLost("the link was taken down")
        for offset in range(0, len(packet), quovel.WRITE_CHUNK):
            if offset:
                await self._sleep(self._timing.write_chunk_delay)
            chunk = packet[offset : offset + quovel.WRITE_CHUNK]
            if debug:
                _LOGGER.debug("%s: write %s%s", self._address, chunk.hex(), " (with response)" if link.response else "")
            try:
                await client.write_gatt_char(characteristic, chunk, response=link.response)
            except _LINK_ERRORS as error:
                raise link.failure(error, "writing") from error

    async def _reply(self, link: _Link, op: Operation, first: bool) -> Step:
        deadline = asyncio.get_running_loop().time() + self._timing.reply_timeout
        strays = 0
        while True:
            frame = await link.next_frame(deadline, self._timing.reply_timeout)
            if _LOGGER.isEnabledFor(_DEBUG):
                _LOGGER.debug("%s: frame %s", self._address, frame.hex())
            try:
                return op.handle_frame(frame)
            except (quovel.CrcMismatch, quovel.UnexpectedCommand) as error:
                if isinstance(error, quovel.CrcMismatch):
                    raise
                # A reply to some other command; the operation still waits for its own.
                strays += 1
                if strays > quovel.MAX_STRAY_FRAMES:
                    raise BadReply(str(error)) from error
                if _LOGGER.isEnabledFor(_DEBUG):
                    _LOGGER.debug(
                        "%s: stray %d of at most %d skipped: %s", self._address, strays, quovel.MAX_STRAY_FRAMES, error
                    )
            except quovel.QuovelError as error:
                raise _refusal(error, first) from error

    def _current_version(self) -> quovel.LockVersion | None:
        if self._version is not None:
            return self._version
        return self._tracker.lock_version if self._tracker is not None else None

    def _tell(self, call: str, changes: set[str]) -> None:
        """Log one tracker call and publish what it changed; a failing
        listener cannot break the tracker's sequence or an outcome."""
        if _LOGGER.isEnabledFor(_DEBUG):
            assert self._tracker is not None
            _LOGGER.debug(
                "%s: tracker.%s -> %s; reported_state=%s",
                self._address,
                call,
                sorted(changes),
                self._tracker.reported_state,
            )
        if changes and self._on_change is not None:
            try:
                self._on_change(changes)
            except Exception:
                _LOGGER.exception("%s: the on_change listener raised on %s", self._address, sorted(changes))

    def _now(self) -> float:
        return self._clock() if self._clock is not None else asyncio.get_running_loop().time()

    def _now_ms(self) -> int:
        return max(0, int(self._now() * 1000))


class _MissingCharacteristic(Exception):
    """The connected device offers no lock characteristic: maybe a stale service cache."""


class _SlotRefused(Exception):
    """The stack found no free slot: not an error bleak-retry-connector retries,
    so the call goes back to wait on its pool at once."""


class _Link:
    """One connection: its client, notifications in, whole frames out, and its end."""

    __slots__ = ("_address", "_assembler", "_frames", "characteristic", "client", "lost", "response", "ticket")

    def __init__(self, address: str) -> None:
        self._address = address
        self._assembler = quovel.FrameAssembler()
        # None marks the end of the link.
        self._frames: asyncio.Queue[bytes | None] = asyncio.Queue()
        self.client: BleakClient | None = None
        self.characteristic: BleakGATTCharacteristic | None = None
        self.response = False
        self.lost = False
        # The link's claim on a pooled slot, given back once it is down.
        self.ticket: SlotTicket | None = None

    def attach(self, client: BleakClient, ticket: SlotTicket | None = None) -> None:
        self.client = client
        if ticket is not None:
            ticket.connected = True
        self.ticket = ticket

    def slot_freed(self) -> None:
        if self.ticket is not None:
            self.ticket.close()

    def usable(self) -> bool:
        return self.client is not None and not self.lost and self.client.is_connected

    async def subscribe(self) -> None:
        """Subscribe to notifications and find the write characteristic."""
        client = self.client
        assert client is not None
        try:
            await client.start_notify(quovel.NOTIFY_CHARACTERISTIC, self.on_notify)
            characteristic = client.services.get_characteristic(quovel.WRITE_CHARACTERISTIC)
        except BleakCharacteristicNotFoundError as error:
            raise _MissingCharacteristic("the device does not offer the lock's notify characteristic") from error
        except _LINK_ERRORS as error:
            raise self.failure(error, "subscribing to notifications") from error
        if characteristic is None:
            raise _MissingCharacteristic("the device does not offer the lock's write characteristic")
        self.characteristic = characteristic
        # Without response wherever the lock allows it: no round trip per chunk.
        self.response = "write-without-response" not in characteristic.properties

    def on_notify(self, _sender: BleakGATTCharacteristic, data: bytearray) -> None:
        if _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: notified %s", self._address, data.hex())
        self._assembler.push(bytes(data))
        while (frame := self._assembler.next_frame()) is not None:
            self._frames.put_nowait(frame)

    def on_disconnected(self, _client: BleakClient) -> None:
        # bleak also calls back for links that came up and went down inside
        # connect(), which it retried: those are not this link.
        if self.client is None:
            if _LOGGER.isEnabledFor(_DEBUG):
                _LOGGER.debug("%s: a link dropped while connecting; connecting goes on", self._address)
            return
        if _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: the link dropped", self._address)
        self.lost = True
        self._frames.put_nowait(None)
        self.slot_freed()
        _forget_dropped(self)

    def reset(self) -> None:
        stale = 0
        while not self._frames.empty():
            stale += self._frames.get_nowait() is not None
        if stale and _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: discarded %d frames heard before the request", self._address, stale)
        self._assembler = quovel.FrameAssembler()
        if self.lost:
            self._frames.put_nowait(None)

    async def next_frame(self, deadline: float, reply_timeout: float) -> bytes:
        try:
            async with asyncio.timeout_at(deadline):
                frame = await self._frames.get()
        except TimeoutError:
            raise NoReply(f"no reply from the lock within {reply_timeout} s") from None
        if frame is None:
            self._frames.put_nowait(None)
            raise LinkLost("the link dropped while waiting for the lock's reply")
        return frame

    def failure(self, error: BaseException, doing: str) -> Exception:
        if isinstance(error, BleakCharacteristicNotFoundError):
            return _MissingCharacteristic("the device does not offer the lock's characteristics")
        if self.lost:
            return LinkLost(f"the link dropped; {doing} failed: {_describe(error)}")
        return LinkLost(f"{doing} failed: {_describe(error)}")


class _Site:
    """What every client of one lock shares in one event loop: the turn, the
    held link and the disconnects still running."""

    __slots__ = ("closing", "idle", "link", "turn")

    def __init__(self) -> None:
        self.turn = asyncio.Lock()
        self.link: _Link | None = None
        self.idle: asyncio.TimerHandle | None = None
        self.closing: set[asyncio.Task[None]] = set()

    def hold(self, link: _Link, seconds: float, disconnect_timeout: float) -> None:
        self.stop_idle_timer()
        self.idle = asyncio.get_running_loop().call_later(seconds, self._idle, link, disconnect_timeout)
        if link.ticket is not None:
            link.ticket.hold(lambda: self.let_go(link, disconnect_timeout))

    def stop_idle_timer(self) -> None:
        if self.idle is not None:
            self.idle.cancel()
            self.idle = None
        if self.link is not None and self.link.ticket is not None:
            self.link.ticket.busy()

    def _idle(self, link: _Link, disconnect_timeout: float) -> None:
        self.idle = None
        self.let_go(link, disconnect_timeout)

    def let_go(self, link: _Link, disconnect_timeout: float) -> None:
        """Take a link held idle down (the hold ran out, or another lock waits for its slot)."""
        if self.link is link and not self.turn.locked():
            self.discard(link, disconnect_timeout)

    def discard(self, link: _Link, disconnect_timeout: float, *, clear_cache: bool = False) -> None:
        """Stop using ``link`` and take it down in the background."""
        if self.link is link:
            self.stop_idle_timer()
            self.link = None
        self.orphan(link, disconnect_timeout, clear_cache=clear_cache)

    def orphan(self, link: _Link, disconnect_timeout: float, *, clear_cache: bool = False) -> None:
        client = link.client
        if client is None:
            link.slot_freed()
            return
        link.client = None
        link.lost = True
        task = asyncio.get_running_loop().create_task(
            _disconnect(link._address, client, disconnect_timeout, clear_cache)
        )
        self.closing.add(task)
        task.add_done_callback(self.closing.discard)
        # The slot is free once the link is down, not when it was let go.
        task.add_done_callback(lambda _task: link.slot_freed())

    async def settled(self) -> None:
        """Wait for the disconnects under way (each bounded by its timeout)."""
        if self.closing:
            await asyncio.wait(list(self.closing))


# Settling status queries under way, held until they end.
_SETTLING: set[asyncio.Task[str | None]] = set()

_SITES: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, dict[str, _Site]] = weakref.WeakKeyDictionary()


def _site(address: str) -> _Site:
    sites = _SITES.setdefault(asyncio.get_running_loop(), {})
    site = sites.get(address)
    if site is None:
        site = sites[address] = _Site()
    return site


def _forget_dropped(link: _Link) -> None:
    """A held link the lock dropped while idle: the next call connects afresh."""
    site = _site(link._address)
    if site.link is link and not site.turn.locked():
        site.link = None
        site.stop_idle_timer()
        link.client = None


async def _disconnect(address: str, client: BleakClient, timeout: float, clear_cache: bool) -> None:
    # Whatever happened is already decided; a failing disconnect only gets logged.
    try:
        async with asyncio.timeout(timeout):
            if clear_cache and isinstance(client, bleak_retry_connector.BleakClientWithServiceCache):
                await client.clear_cache()
            await client.disconnect()
        if _LOGGER.isEnabledFor(_DEBUG):
            _LOGGER.debug("%s: disconnected", address)
    except Exception as error:
        _LOGGER.warning("%s: disconnecting failed (the outcome stands): %s", address, _describe(error))


_NOTING: weakref.WeakKeyDictionary[type[BleakClient], type[BleakClient]] = weakref.WeakKeyDictionary()


def _noting_failures(client_class: type[BleakClient]) -> type[BleakClient]:
    """``client_class``, noting why each connection attempt fails."""
    known = _NOTING.get(client_class)
    if known is not None:
        return known

    class Noting(client_class):  # type: ignore[valid-type,misc]
        async def connect(self, **kwargs: Any) -> None:
            try:
                await super().connect(**kwargs)
            except Exception as error:
                _LAST_CONNECT_FAILURE.set(error)
                if _POOLED.get() and _no_slot(error):
                    raise _SlotRefused(_describe(error)) from error
                raise

    Noting.__name__ = Noting.__qualname__ = client_class.__name__
    _NOTING[client_class] = Noting
    return Noting


def _revealed(key: _K | Secret) -> _K | str:
    return key.reveal() if isinstance(key, Secret) else key


def _address_key(address: str) -> str:
    """One spelling per lock, so that every client of it shares its turn and
    link; what is no MAC address (a macOS device identifier) stays as given."""
    try:
        return normalize_address(address)
    except ValueError:
        return address.upper()


def _superseded(action: Action) -> Superseded:
    newer = "unlock" if action == "lock" else "lock"
    return Superseded(f"superseded by a newer {newer} command before it was sent")


def _no_slot(error: BaseException) -> bool:
    text = str(error)
    return any(sign in text for sign in _NO_SLOT_TEXTS)


def _refusal(error: quovel.QuovelError, first: bool) -> Exception:
    """Which key the lock's refusal points at, keeping quovel's message."""
    message = str(error)
    refused = error.kind == "command_refused"
    if first and (refused or error.kind == "aes_decryption_failed"):
        return HandshakeRefused(message)
    if refused:
        return ActuationRefused(message)
    return BadReply(message)


def _describe(error: BaseException) -> str:
    return str(error) or type(error).__name__
