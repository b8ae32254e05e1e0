"""Simulated locks for the bridge, in process or named by a test's configuration.

A bridge process gets them through ``[simulation] backend = "simworld:backends"``
with ``QUOVEL_SIMWORLD`` naming a JSON file: a list of locks (address, aes_key
in hex, unlock_key, and optionally locked, connect_delay). Each actuation the
lock carries out is appended to ``<file>.actuations``, one line each.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from quovel_mqtt import Bluetooth
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.scanner import broadcast, scanner_backend

INTERVAL = 0.2


class _Journal(list[Any]):
    def __init__(self, path: Path, address: str) -> None:
        super().__init__()
        self.path = path
        self.address = address

    def append(self, record: Any) -> None:
        super().append(record)
        with open(self.path, "a") as out:
            out.write(f"{self.address} {record.command:#04x} {'accepted' if record.accepted else 'refused'}\n")


class World:
    def __init__(self, connection_limit: int | None = None) -> None:
        self.radio = SimulatedRadio(connection_limit=connection_limit)

    def add(
        self, address: str, aes_key: str, unlock_key: int, *, connect_delay: float = 0.0, **options: Any
    ) -> SimulatedLock:
        lock = SimulatedLock(aes_key=bytes.fromhex(aes_key), unlock_key=unlock_key, address=address, **options)
        self.radio.add(lock, LinkFaults(connect_delay=connect_delay), name=f"Lock {address[-5:]}")
        return lock

    def bluetooth(self, interval: float = INTERVAL) -> Bluetooth:
        return Bluetooth(
            scanner_backend=scanner_backend(self.radio),
            client_backend=self.radio.backend,
            background=lambda: broadcast(self.radio, interval),
        )


def backends() -> Bluetooth:
    path = Path(os.environ["QUOVEL_SIMWORLD"])
    world = World()
    for entry in json.loads(path.read_text()):
        lock = world.add(**entry)
        lock.actuations = _Journal(path.with_suffix(".actuations"), lock.address)
    return world.bluetooth()
