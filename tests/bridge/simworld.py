"""Simulated locks for the bridge, in process or named by a test's configuration.

A bridge process gets them through ``[simulation] backend = "simworld:backends"``
with ``QUOVEL_SIMWORLD`` naming a JSON file: a list of locks (address, aes_key
in hex, unlock_key, and optionally locked, connect_delay, and rssi: the signal
this bridge hears the lock at, null when out of its reach). The file is read
again when it changes, so a test can move a lock out of a bridge's reach.

Each actuation the lock carries out is appended to ``<file>.actuations``, one
line each. Bridges that share one lock (several processes, each with a radio
of its own) name one folder in ``QUOVEL_SIMSHARED``: the journal is
``actuations`` there, and the bolt's position is kept there too, so every
radio's copy of the lock broadcasts where the bolt is.
"""

from __future__ import annotations

import asyncio
import json
import os
from pathlib import Path
from typing import Any

from quovel_mqtt import Bluetooth
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.lock import LOCK
from quovel_sim.scanner import advertise, broadcast, scanner_backend

INTERVAL = 0.2
RSSI = -60


class _Journal(list[Any]):
    def __init__(self, path: Path, address: str, bolt: Path | None) -> None:
        super().__init__()
        self.path = path
        self.address = address
        self.bolt = bolt

    def append(self, record: Any) -> None:
        super().append(record)
        with open(self.path, "a") as out:
            out.write(f"{self.address} {record.command:#04x} {'accepted' if record.accepted else 'refused'}\n")
        if self.bolt is not None and record.accepted:
            self.bolt.write_text("locked" if record.command == LOCK else "unlocked")


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


def _entries(path: Path) -> list[dict[str, Any]]:
    return list(json.loads(path.read_text()))


async def _broadcast(world: World, path: Path, shared: Path | None) -> None:
    """Each lock at the signal the file gives, from where the shared bolt is."""
    changed, reach = -1.0, {}
    while True:
        if (mtime := path.stat().st_mtime) != changed:
            changed = mtime
            reach = {entry["address"].upper(): entry.get("rssi", RSSI) for entry in _entries(path)}
        for address, peripheral in world.radio.peripherals.items():
            bolt = None if shared is None else shared / f"{address.replace(':', '')}.bolt"
            if bolt is not None and bolt.exists():
                peripheral.lock.locked = bolt.read_text() == "locked"
            if reach.get(address) is not None:
                advertise(world.radio, address, rssi=reach[address])
        await asyncio.sleep(INTERVAL)


def backends() -> Bluetooth:
    path = Path(os.environ["QUOVEL_SIMWORLD"])
    shared = Path(os.environ["QUOVEL_SIMSHARED"]) if os.environ.get("QUOVEL_SIMSHARED") else None
    journal = path.with_suffix(".actuations") if shared is None else shared / "actuations"
    world = World()
    for entry in _entries(path):
        entry = {k: v for k, v in entry.items() if k != "rssi"}
        lock = world.add(**entry)
        bolt = None if shared is None else shared / f"{lock.address.replace(':', '')}.bolt"
        lock.actuations = _Journal(journal, lock.address, bolt)
    return Bluetooth(
        scanner_backend=scanner_backend(world.radio),
        client_backend=world.radio.backend,
        background=lambda: _broadcast(world, path, shared),
    )
