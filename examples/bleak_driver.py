"""Drive a lock over Bluetooth with bleak, leaving every protocol decision to quovel.

The driver owns what the module leaves to its caller: the connection and its
retry schedule, the chunked writes, reassembling notifications into frames,
retrying after a corrupted reply, letting a bounded number of stray frames
go by, giving up when the lock stays silent, and telling a ``LockTracker``
what happened. Sleeping and the clock are parameters, so tests run it
against a simulated lock without waiting.

Run against a real lock::

    python examples/bleak_driver.py AA:BB:CC:DD:EE:FF AES_KEY UNLOCK_KEY unlock
"""

from __future__ import annotations

import argparse
import asyncio
import time
from collections.abc import Awaitable, Callable
from typing import Any, Literal, Protocol

from bleak import BleakClient, BleakScanner
from bleak.backends.characteristic import BleakGATTCharacteristic
from bleak.exc import BleakError

import quovel

Operation = quovel.StatusOp | quovel.LockOp | quovel.UnlockOp
Step = tuple[Literal["write"], bytes] | tuple[Literal["done"], str | None]
Action = Literal["lock", "unlock"]
Sleep = Callable[[float], Awaitable[None]]
Clock = Callable[[], float]
ChangeListener = Callable[[set[str]], None]
NotifyCallback = Callable[[BleakGATTCharacteristic, bytearray], None]

# What a failed connection attempt raises: bleak's own errors, timeouts, and
# the operating system's errors from the Bluetooth stack.
CONNECT_ERRORS = (BleakError, TimeoutError, OSError)


class GattClient(Protocol):
    """The part of ``bleak.BleakClient`` that the driver uses."""

    @property
    def is_connected(self) -> bool: ...

    async def connect(self, **kwargs: Any) -> None: ...

    async def disconnect(self) -> None: ...

    async def start_notify(self, char_specifier: str, callback: NotifyCallback) -> None: ...

    async def write_gatt_char(
        self, char_specifier: str, data: bytes, response: bool | None = None
    ) -> None: ...


class _Inbox:
    """Notification bytes in, complete frames out, in arrival order."""

    def __init__(self) -> None:
        self.reset()

    def reset(self) -> None:
        # Bytes left over from an abandoned attempt must not reach the next one.
        self._assembler = quovel.FrameAssembler()
        self.frames: asyncio.Queue[bytes] = asyncio.Queue()

    def on_notify(self, _sender: BleakGATTCharacteristic, data: bytearray) -> None:
        # bleak hands over a bytearray; the assembler takes bytes only.
        self._assembler.push(bytes(data))
        while (frame := self._assembler.next_frame()) is not None:
            self.frames.put_nowait(frame)


class LockDriver:
    """Runs status queries, locks and unlocks on one lock.

    ``client_factory`` makes a new, unconnected client for each connection
    attempt (``lambda: BleakClient(device)`` for a real lock). ``on_change``
    receives every non-empty change set of the tracker, to publish.
    """

    def __init__(
        self,
        client_factory: Callable[[], GattClient],
        tracker: quovel.LockTracker,
        aes_key: str | bytes,
        unlock_key: int | str,
        *,
        on_change: ChangeListener | None = None,
        sleep: Sleep = asyncio.sleep,
        clock: Clock = time.monotonic,
        reply_timeout: float = 10.0,
        connect_attempts: int = 4,
    ) -> None:
        if connect_attempts < 1:
            raise ValueError("connect_attempts must be at least 1")
        self._client_factory = client_factory
        self._tracker = tracker
        self._aes_key = aes_key
        self._unlock_key = unlock_key
        self._on_change = on_change or (lambda changes: None)
        self._sleep = sleep
        self._clock = clock
        self._reply_timeout = reply_timeout
        self._connect_attempts = connect_attempts

    async def status(self) -> str:
        """``"LOCKED"``, ``"UNLOCKED"`` or ``"UNKNOWN:<n>"``, as the lock reports it."""
        result = await self._run(quovel.StatusOp(self._aes_key, self._tracker.lock_version))
        assert isinstance(result, str)
        return result

    async def lock(self) -> None:
        await self._actuate("lock")

    async def unlock(self) -> None:
        await self._actuate("unlock")

    async def _actuate(self, action: Action) -> None:
        # Built first: a bad key fails here, before the tracker shows a command.
        op_class = quovel.LockOp if action == "lock" else quovel.UnlockOp
        op = op_class(self._aes_key, self._unlock_key, self._tracker.lock_version)
        self._publish(self._tracker.on_command_started(action))
        try:
            await self._run(op)
        except BaseException:
            self._publish(self._tracker.on_command_failed())
            raise
        self._publish(self._tracker.on_command_acknowledged(self._now_ms(), action))

    async def _run(self, op: Operation) -> str | None:
        client = await self._connect()
        try:
            inbox = _Inbox()
            await client.start_notify(quovel.NOTIFY_CHARACTERISTIC, inbox.on_notify)
            return await self._exchange_with_retries(client, inbox, op)
        finally:
            await client.disconnect()

    async def _connect(self) -> GattClient:
        blind_seconds = 0.0
        try:
            for attempt in range(1, self._connect_attempts + 1):
                client = self._client_factory()
                started = self._clock()
                try:
                    await client.connect()
                    return client
                except CONNECT_ERRORS:
                    if attempt == self._connect_attempts:
                        raise
                finally:
                    blind_seconds += self._clock() - started
                await self._sleep(quovel.connect_backoff(attempt))
            raise AssertionError("unreachable")
        finally:
            # The radio heard nothing while connecting: do not let that time
            # count towards marking the lock unavailable.
            self._tracker.credit_blind_time(int(blind_seconds * 1000))

    async def _exchange_with_retries(
        self, client: GattClient, inbox: _Inbox, op: Operation
    ) -> str | None:
        for retry in range(quovel.CRC_RETRIES + 1):
            if retry:
                await self._sleep(quovel.CRC_RETRY_DELAY)
                inbox.reset()
            try:
                return await self._exchange(client, inbox, op)
            except quovel.CrcMismatch:
                if retry == quovel.CRC_RETRIES:
                    raise
        raise AssertionError("unreachable")

    async def _exchange(self, client: GattClient, inbox: _Inbox, op: Operation) -> str | None:
        # start() begins the whole exchange afresh, also on a retry.
        step: Step = op.start()
        while step[0] == "write":
            await self._write(client, step[1])
            step = await self._reply(inbox, op)
        return step[1]

    async def _write(self, client: GattClient, packet: bytes) -> None:
        chunk = quovel.WRITE_CHUNK
        for offset in range(0, len(packet), chunk):
            if offset:
                await self._sleep(quovel.WRITE_CHUNK_DELAY)
            await client.write_gatt_char(
                quovel.WRITE_CHARACTERISTIC, packet[offset : offset + chunk], response=False
            )

    async def _reply(self, inbox: _Inbox, op: Operation) -> Step:
        strays = 0
        while True:
            try:
                frame = await asyncio.wait_for(inbox.frames.get(), self._reply_timeout)
            except TimeoutError:
                raise TimeoutError(f"no reply from the lock within {self._reply_timeout} s") from None
            try:
                return op.handle_frame(frame)
            except quovel.UnexpectedCommand:
                # A reply to some other command; the operation still waits for its own.
                strays += 1
                if strays > quovel.MAX_STRAY_FRAMES:
                    raise

    def _publish(self, changes: set[str]) -> None:
        if changes:
            self._on_change(changes)

    def _now_ms(self) -> int:
        return int(self._clock() * 1000)


async def _main(address: str, aes_key: str, unlock_key: str, command: str) -> None:
    tracker = quovel.LockTracker()
    heard = await BleakScanner.discover(timeout=10.0, return_adv=True)
    match = next((found for key, found in heard.items() if key.lower() == address.lower()), None)
    if match is None:
        raise SystemExit(f"{address} was not heard")
    device, advertisement = match
    chosen = quovel.select_advertisement(advertisement.manufacturer_data, address)
    tracker.on_advertisement(int(time.monotonic() * 1000), chosen)

    def new_client() -> GattClient:
        return BleakClient(device)

    def show(changes: set[str]) -> None:
        print(f"tracker: {tracker.reported_state} (changed: {', '.join(sorted(changes))})")

    driver = LockDriver(new_client, tracker, aes_key, unlock_key, on_change=show)
    if command == "status":
        print(await driver.status())
    elif command == "lock":
        await driver.lock()
    else:
        await driver.unlock()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("address")
    parser.add_argument("aes_key")
    parser.add_argument("unlock_key")
    parser.add_argument("command", choices=("status", "lock", "unlock"))
    args = parser.parse_args()
    asyncio.run(_main(args.address, args.aes_key, args.unlock_key, args.command))


if __name__ == "__main__":
    main()
