"""Shared fixtures. Those of the simulated lock start with ``sim_``."""

from __future__ import annotations

from typing import Any

import pytest

import quovel
from quovel_sim import SimulatedLock
from support.keys import SIM_AES_KEY, SIM_UNLOCK_KEY


class SimLink:
    """A synchronous connection to a simulated lock, as a caller drives one."""

    def __init__(self, lock: SimulatedLock) -> None:
        self.lock = lock
        self.assembler = quovel.FrameAssembler()

    def send(self, packet: bytes) -> list[bytes]:
        """Write ``packet`` in WRITE_CHUNK pieces; return every frame received."""
        for offset in range(0, len(packet), quovel.WRITE_CHUNK):
            for notification in self.lock.write(packet[offset : offset + quovel.WRITE_CHUNK]):
                self.assembler.push(notification)
        frames = []
        while (frame := self.assembler.next_frame()) is not None:
            frames.append(frame)
        return frames

    def run(self, op: Any) -> Any:
        """Drive ``op`` from ``start()`` to its result, one reply per request."""
        step = op.start()
        while step[0] == "write":
            (frame,) = self.send(step[1])
            step = op.handle_frame(frame)
        assert step[0] == "done"
        return step[1]


@pytest.fixture
def sim_lock() -> SimulatedLock:
    """A locked simulated lock holding SIM_AES_KEY and SIM_UNLOCK_KEY."""
    return SimulatedLock(aes_key=SIM_AES_KEY, unlock_key=SIM_UNLOCK_KEY)


@pytest.fixture
def sim_link(sim_lock: SimulatedLock) -> SimLink:
    return SimLink(sim_lock)
