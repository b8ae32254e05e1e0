"""A stand-in for a connected bleak client, backed by a simulated lock.

It offers the part of ``bleak.BleakClient`` that a lock driver uses, so a
driver can be tested without a radio. Notifications arrive the way bleak
delivers them: as ``bytearray`` values, scheduled on the running event loop.
"""

from __future__ import annotations

import asyncio
import inspect
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from typing import Any

from .lock import SimulatedLock

SERVICE_UUID = "00001910-0000-1000-8000-00805f9b34fb"
WRITE_CHARACTERISTIC = "0000fff2-0000-1000-8000-00805f9b34fb"
NOTIFY_CHARACTERISTIC = "0000fff4-0000-1000-8000-00805f9b34fb"


@dataclass(frozen=True)
class SimulatedCharacteristic:
    """What a notification callback receives as its sender."""

    uuid: str


NotifyCallback = Callable[[Any, bytearray], Awaitable[None] | None]


class SimulatedClient:
    """Connects to a :class:`SimulatedLock` instead of a radio.

    ``connect_failures`` makes that many first ``connect`` calls raise
    ``TimeoutError``, as an unreachable lock does. ``writes`` keeps every
    chunk written, in order.
    """

    def __init__(self, lock: SimulatedLock, *, connect_failures: int = 0) -> None:
        self.lock = lock
        self.address = lock.address
        self.connect_failures = connect_failures
        self.connect_calls = 0
        self.writes: list[bytes] = []
        self._connected = False
        self._callback: NotifyCallback | None = None
        self._tasks: set[asyncio.Task[None]] = set()

    @property
    def is_connected(self) -> bool:
        return self._connected

    async def connect(self, **kwargs: Any) -> None:
        self.connect_calls += 1
        if self.connect_failures > 0:
            self.connect_failures -= 1
            raise TimeoutError("simulated lock did not answer the connection request")
        self._connected = True

    async def disconnect(self) -> None:
        self._connected = False
        self._callback = None

    async def start_notify(self, char_specifier: object, callback: NotifyCallback, **kwargs: Any) -> None:
        self._require_connected()
        self._require(char_specifier, NOTIFY_CHARACTERISTIC)
        self._callback = callback

    async def stop_notify(self, char_specifier: object) -> None:
        self._require(char_specifier, NOTIFY_CHARACTERISTIC)
        self._callback = None

    async def write_gatt_char(
        self, char_specifier: object, data: bytes | bytearray, response: bool | None = None
    ) -> None:
        self._require_connected()
        self._require(char_specifier, WRITE_CHARACTERISTIC)
        chunk = bytes(data)
        self.writes.append(chunk)
        loop = asyncio.get_running_loop()
        for notification in self.lock.write(chunk):
            loop.call_soon(self._deliver, bytearray(notification))

    def _deliver(self, data: bytearray) -> None:
        callback = self._callback
        if callback is None:
            return  # nobody subscribed: the notification is lost, as over the air
        result = callback(SimulatedCharacteristic(NOTIFY_CHARACTERISTIC), data)
        if inspect.isawaitable(result):
            task = asyncio.ensure_future(result)
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    def _require_connected(self) -> None:
        if not self._connected:
            raise ConnectionError("not connected")

    @staticmethod
    def _require(char_specifier: object, uuid: str) -> None:
        if str(getattr(char_specifier, "uuid", char_specifier)).lower() != uuid:
            raise ValueError(f"characteristic {char_specifier!r} is not {uuid}")
