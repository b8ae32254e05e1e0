"""``LockClient``: status queries, locks and unlocks of one lock over bleak."""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import bleak_retry_connector
from bleak import BleakClient
from bleak.backends.characteristic import BleakGATTCharacteristic
from bleak.backends.client import BaseBleakClient
from bleak.backends.device import BLEDevice
from bleak.exc import BleakCharacteristicNotFoundError, BleakError

import quovel

from .errors import ActuationRefused, BadReply, HandshakeRefused, LinkLost, LockUnreachable, NoReply

_LOGGER = logging.getLogger(__name__)

Action: TypeAlias = Literal["lock", "unlock"]
Operation: TypeAlias = quovel.StatusOp | quovel.LockOp | quovel.UnlockOp
Step: TypeAlias = tuple[Literal["write"], bytes] | tuple[Literal["done"], str | None]
Sleep: TypeAlias = Callable[[float], Awaitable[None]]
ChangeListener: TypeAlias = Callable[[set[str]], None]

# What bleak, BlueZ and the operating system raise when a GATT call or a
# connection fails.
_LINK_ERRORS = (BleakError, TimeoutError, OSError, EOFError)


@dataclass(frozen=True, slots=True)
class Timing:
    """The driver's waits and bounds; the defaults are the module's constants."""

    reply_timeout: float = 10.0
    """Seconds to wait for each reply."""
    write_chunk_delay: float = quovel.WRITE_CHUNK_DELAY
    crc_retry_delay: float = quovel.CRC_RETRY_DELAY
    disconnect_timeout: float = 10.0
    """Seconds to give ``disconnect()`` before leaving the link to the stack."""
    link_attempts: int = 3
    """Connections one operation may use when the link keeps dropping."""
    backoff: Callable[[int], float] = quovel.connect_backoff
    """Seconds to wait before reconnecting after the n-th lost link."""


class LockClient:
    """One lock: ``status()``, ``lock()`` and ``unlock()`` over bleak.

    The keys are validated here (a bad one raises ``quovel.QuovelError`` with
    quovel's message) and never appear in a repr or a log line. ``version``
    defaults to what ``tracker`` learned from advertisements, else the
    default version. With a ``tracker``, every ``lock()`` and ``unlock()``
    that gets its turn reports ``on_command_started`` and then exactly one
    of ``on_command_acknowledged`` or ``on_command_failed``, also when it is
    cancelled; ``on_change`` receives each non-empty change set. ``status()``
    leaves the tracker's state alone. Connecting time is credited to the
    tracker with ``credit_blind_time``.

    One operation runs at a time: a call made while another is in progress
    waits for it to finish. ``ble_device_callback`` returns the freshest
    ``BLEDevice`` (Home Assistant: ``async_ble_device_from_address``), or
    ``None`` to keep the last one, and is asked before every connection. ``clock`` gives monotonic seconds on the
    clock of the tracker's advertisement times (default: the event loop's,
    which is ``time.monotonic``).
    """

    def __init__(
        self,
        device: BLEDevice,
        aes_key: str | bytes,
        unlock_key: int | str | None = None,
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
    ) -> None:
        self._aes_key = quovel.normalize_aes_key(aes_key)
        self._unlock_key = None if unlock_key is None else quovel.normalize_unlock_key(unlock_key)
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
        self._turn = asyncio.Lock()

    def __repr__(self) -> str:
        return f"LockClient({self.address!r})"

    @property
    def address(self) -> str:
        return self._device.address

    async def status(self) -> str:
        """``"LOCKED"``, ``"UNLOCKED"`` or ``"UNKNOWN:<n>"``, as the lock reports it."""
        async with self._my_turn():
            result = await self._run(quovel.StatusOp(self._aes_key, self._current_version()), None)
        assert result is not None
        return result

    async def lock(self) -> None:
        await self._actuate("lock")

    async def unlock(self) -> None:
        await self._actuate("unlock")

    async def _actuate(self, action: Action) -> None:
        if self._unlock_key is None:
            raise ValueError("this LockClient was made without an unlock key")
        async with self._my_turn():
            op_class = quovel.LockOp if action == "lock" else quovel.UnlockOp
            op = op_class(self._aes_key, self._unlock_key, self._current_version())
            tracker = self._tracker
            if tracker is None:
                await self._run(op, None)
                return
            reported = False

            def acknowledge(_result: str | None) -> None:
                nonlocal reported
                reported = True
                self._tell(
                    f"on_command_acknowledged({action!r})", tracker.on_command_acknowledged(self._now_ms(), action)
                )

            self._tell(f"on_command_started({action!r})", tracker.on_command_started(action))
            try:
                await self._run(op, acknowledge)
            except BaseException:
                if not reported:
                    self._tell("on_command_failed()", tracker.on_command_failed())
                raise

    def _my_turn(self) -> asyncio.Lock:
        if self._turn.locked():
            _LOGGER.debug("%s: waiting for the operation in progress to finish", self.address)
        return self._turn

    async def _run(self, op: Operation, on_success: Callable[[str | None], None] | None) -> str | None:
        """Connect, exchange and disconnect, reconnecting when the link drops.

        A reconnection starts the operation afresh with a new handshake, also
        after an actuation request may already have reached the lock.
        """
        attempts = max(1, self._timing.link_attempts)
        for attempt in range(1, attempts + 1):
            try:
                return await self._attempt(op, on_success)
            except LinkLost as lost:
                if attempt == attempts:
                    raise
                wait = self._timing.backoff(attempt)
                _LOGGER.debug(
                    "%s: %s; reconnecting in %s s (attempt %d of %d)", self.address, lost, wait, attempt + 1, attempts
                )
            await self._sleep(wait)
        raise AssertionError("unreachable")

    async def _attempt(self, op: Operation, on_success: Callable[[str | None], None] | None) -> str | None:
        """One connection: the whole exchange, reported before disconnecting."""
        client, link = await self._connect()
        try:
            result = await self._exchange(client, link, op)
            if on_success is not None:
                on_success(result)
            return result
        finally:
            await self._disconnect(client)

    async def _connect(self) -> tuple[BleakClient, _Link]:
        device = self._fresh_device()
        link = _Link(self.address, self._timing.reply_timeout)
        # Looked up now: Home Assistant replaces the class while it sets up.
        client_class = self._client_class or bleak_retry_connector.BleakClientWithServiceCache
        # Only a backend the caller chose; the default stays bleak's (or Home Assistant's).
        extra: dict[str, Any] = {} if self._backend is None else {"backend": self._backend}
        started = self._now()
        try:
            # establish_connection is the one retry loop around connecting.
            client = await bleak_retry_connector.establish_connection(
                client_class,
                device,
                device.name or device.address,
                disconnected_callback=link.on_disconnected,
                ble_device_callback=self._fresh_device,
                **extra,
            )
        except _LINK_ERRORS as error:
            raise LockUnreachable(f"could not connect: {_describe(error)}") from error
        finally:
            # The radio could not hear advertisements while it was connecting.
            blind_ms = max(0, int((self._now() - started) * 1000))
            if self._tracker is not None:
                self._tracker.credit_blind_time(blind_ms)
                _LOGGER.debug("%s: tracker.credit_blind_time(%d)", self.address, blind_ms)
        _LOGGER.debug("%s: connected after %d ms", self.address, blind_ms)
        try:
            await client.start_notify(quovel.NOTIFY_CHARACTERISTIC, link.on_notify)
        except BaseException as error:
            await self._disconnect(client)
            if isinstance(error, _LINK_ERRORS):
                raise self._gatt_failure(error, link, "subscribing to notifications") from error
            raise
        return client, link

    def _fresh_device(self) -> BLEDevice:
        # None (the lock not heard lately) keeps the device last known.
        if self._ble_device_callback is not None and (device := self._ble_device_callback()) is not None:
            self._device = device
        return self._device

    async def _disconnect(self, client: BleakClient) -> None:
        # Whatever happened is already decided; a failing disconnect only gets logged.
        try:
            async with asyncio.timeout(self._timing.disconnect_timeout):
                await client.disconnect()
            _LOGGER.debug("%s: disconnected", self.address)
        except Exception as error:
            _LOGGER.warning("%s: disconnecting failed (the outcome stands): %s", self.address, _describe(error))

    async def _exchange(self, client: BleakClient, link: _Link, op: Operation) -> str | None:
        try:
            characteristic = client.services.get_characteristic(quovel.WRITE_CHARACTERISTIC)
        except _LINK_ERRORS as error:
            raise self._gatt_failure(error, link, "looking up the write characteristic") from error
        if characteristic is None:
            raise LockUnreachable("the device does not offer the lock's write characteristic")
        # Without response wherever the lock allows it: no round trip per chunk.
        response = "write-without-response" not in characteristic.properties
        for retry in range(quovel.CRC_RETRIES + 1):
            if retry:
                await self._sleep(self._timing.crc_retry_delay)
            try:
                return await self._steps(client, link, op, characteristic, response)
            except quovel.CrcMismatch as error:
                if retry == quovel.CRC_RETRIES:
                    raise BadReply(str(error)) from error
                _LOGGER.debug(
                    "%s: handle_frame() raised CrcMismatch: %s; retry %d of %d after %s s",
                    self.address,
                    error,
                    retry + 1,
                    quovel.CRC_RETRIES,
                    self._timing.crc_retry_delay,
                )
        raise AssertionError("unreachable")

    async def _steps(
        self, client: BleakClient, link: _Link, op: Operation, characteristic: BleakGATTCharacteristic, response: bool
    ) -> str | None:
        # start() begins the whole exchange afresh, with a new handshake.
        step: Step = op.start()
        first = True
        while step[0] == "write":
            packet = step[1]
            _LOGGER.debug(
                '%s: %s -> ("write", %d bytes): command 0x%02x',
                self.address,
                "start()" if first else "handle_frame()",
                len(packet),
                packet[9],
            )
            await self._write(client, link, characteristic, packet, response)
            step = await self._reply(link, op, first)
            first = False
        _LOGGER.debug('%s: handle_frame() -> ("done", %r)', self.address, step[1])
        return step[1]

    async def _write(
        self, client: BleakClient, link: _Link, characteristic: BleakGATTCharacteristic, packet: bytes, response: bool
    ) -> None:
        # Nothing heard before a request can answer it.
        link.reset()
        for offset in range(0, len(packet), quovel.WRITE_CHUNK):
            if offset:
                await self._sleep(self._timing.write_chunk_delay)
            chunk = packet[offset : offset + quovel.WRITE_CHUNK]
            _LOGGER.debug("%s: write %s%s", self.address, chunk.hex(), " (with response)" if response else "")
            try:
                await client.write_gatt_char(characteristic, chunk, response=response)
            except _LINK_ERRORS as error:
                raise self._gatt_failure(error, link, "writing") from error

    async def _reply(self, link: _Link, op: Operation, first: bool) -> Step:
        deadline = asyncio.get_running_loop().time() + self._timing.reply_timeout
        strays = 0
        while True:
            frame = await link.next_frame(deadline)
            _LOGGER.debug("%s: frame %s", self.address, frame.hex())
            try:
                return op.handle_frame(frame)
            except (quovel.CrcMismatch, quovel.UnexpectedCommand) as error:
                if isinstance(error, quovel.CrcMismatch):
                    raise
                # A reply to some other command; the operation still waits for its own.
                strays += 1
                if strays > quovel.MAX_STRAY_FRAMES:
                    raise BadReply(str(error)) from error
                _LOGGER.debug(
                    "%s: stray %d of at most %d skipped: %s", self.address, strays, quovel.MAX_STRAY_FRAMES, error
                )
            except quovel.QuovelError as error:
                raise _refusal(error, first) from error

    def _gatt_failure(self, error: BaseException, link: _Link, doing: str) -> Exception:
        if isinstance(error, BleakCharacteristicNotFoundError):
            return LockUnreachable("the device does not offer the lock's characteristics")
        if link.lost:
            return LinkLost(f"the link dropped; {doing} failed: {_describe(error)}")
        return LinkLost(f"{doing} failed: {_describe(error)}")

    def _current_version(self) -> quovel.LockVersion | None:
        if self._version is not None:
            return self._version
        return self._tracker.lock_version if self._tracker is not None else None

    def _tell(self, call: str, changes: set[str]) -> None:
        """Log one tracker call and publish what it changed."""
        assert self._tracker is not None
        _LOGGER.debug(
            "%s: tracker.%s -> {%s}; reported_state=%s",
            self.address,
            call,
            ", ".join(sorted(changes)),
            self._tracker.reported_state,
        )
        if changes and self._on_change is not None:
            self._on_change(changes)

    def _now(self) -> float:
        return self._clock() if self._clock is not None else asyncio.get_running_loop().time()

    def _now_ms(self) -> int:
        return max(0, int(self._now() * 1000))


class _Link:
    """One connection's notifications in, whole frames out, and its end."""

    def __init__(self, address: str, reply_timeout: float) -> None:
        self._address = address
        self._reply_timeout = reply_timeout
        self._assembler = quovel.FrameAssembler()
        # None marks the end of the link.
        self._frames: asyncio.Queue[bytes | None] = asyncio.Queue()
        self.lost = False

    def on_notify(self, _sender: BleakGATTCharacteristic, data: bytearray) -> None:
        _LOGGER.debug("%s: notified %s", self._address, data.hex())
        self._assembler.push(bytes(data))
        while (frame := self._assembler.next_frame()) is not None:
            self._frames.put_nowait(frame)

    def on_disconnected(self, _client: BleakClient) -> None:
        _LOGGER.debug("%s: the link dropped", self._address)
        self.lost = True
        self._frames.put_nowait(None)

    def reset(self) -> None:
        stale = 0
        while not self._frames.empty():
            stale += self._frames.get_nowait() is not None
        if stale:
            _LOGGER.debug("%s: discarded %d frames heard before the request", self._address, stale)
        self._assembler = quovel.FrameAssembler()
        if self.lost:
            self._frames.put_nowait(None)

    async def next_frame(self, deadline: float) -> bytes:
        try:
            async with asyncio.timeout_at(deadline):
                frame = await self._frames.get()
        except TimeoutError:
            raise NoReply(f"no reply from the lock within {self._reply_timeout} s") from None
        if frame is None:
            self._frames.put_nowait(None)
            raise LinkLost("the link dropped while waiting for the lock's reply")
        return frame


def _refusal(error: quovel.QuovelError, first: bool) -> Exception:
    """Which key the lock's refusal points at, keeping quovel's message."""
    message = str(error)
    refused = message.startswith("command 0x")
    if first and (refused or message == "AES decryption failed"):
        return HandshakeRefused(message)
    if refused:
        return ActuationRefused(message)
    return BadReply(message)


def _describe(error: BaseException) -> str:
    return str(error) or type(error).__name__
