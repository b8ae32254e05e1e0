"""A LockClient on a simulated radio, run in virtual time."""

from __future__ import annotations

import asyncio
from typing import Any

import pytest

pytest.importorskip("bleak_retry_connector", reason="the driver tests need the [bleak] extra")

import quovel
from quovel_bleak import LockClient
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run
from support.keys import AES_KEY, UNLOCK_KEY


class RecordingTracker:
    """A LockTracker that also keeps the names of the calls made on it."""

    def __init__(self) -> None:
        self.real = quovel.LockTracker()
        self.calls: list[str] = []
        self.statuses: list[str | None] = []

    def __getattr__(self, name: str) -> Any:
        attribute = getattr(self.real, name)
        if callable(attribute) and name.startswith(("on_command", "on_status")):

            def record(*args: Any) -> Any:
                self.calls.append(name)
                if name == "on_status":
                    self.statuses.append(args[1])
                return attribute(*args)

            return record
        return attribute


class Rig:
    """One simulated lock, a tracker that has heard it, and a client for it."""

    def __init__(self, link: LinkFaults | None = None, **lock_options: Any) -> None:
        self.radio = SimulatedRadio()
        self.lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, **lock_options)
        self.peripheral = self.radio.add(self.lock, link)
        self.tracker = RecordingTracker()
        self.changes: list[set[str]] = []
        self.sleeps: list[float] = []
        self.hear()

    @property
    def state(self) -> str:
        return "LOCKED" if self.lock.locked else "UNLOCKED"

    def hear(self, now_ms: int = 0, **options: bool) -> None:
        data = self.lock.manufacturer_data(**options)
        self.tracker.on_advertisement(now_ms, quovel.select_advertisement(data, self.lock.address))

    def client(self, *, unlock_key: int = UNLOCK_KEY, **options: Any) -> LockClient:
        async def sleep(seconds: float) -> None:
            self.sleeps.append(seconds)
            await asyncio.sleep(seconds)

        options.setdefault("tracker", self.tracker)
        options.setdefault("on_change", self.changes.append)
        device = options.pop("device", None) or self.radio.ble_device(self.lock.address)
        return LockClient(device, AES_KEY, unlock_key, sleep=sleep, backend=self.radio.backend, **options)

    def run(self, action: str, **options: Any) -> Any:
        """One call on a new client, closed afterwards."""
        client = self.client(**options)

        async def call() -> Any:
            async with client:
                return await getattr(client, action)()

        return run(call())
