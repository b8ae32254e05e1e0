"""A fleet of locks behind one adapter of the bridge: one LOCK to each at once.

    python bench/bridge_fleet.py

The bridge as configured with ``[bluetooth] connection_slots``, its monitors
sharing one slot pool, against simulated locks behind one simulated adapter
that holds no more links than that, in virtual time: a connection costs
``CONNECT`` and a reply ``REPLY``, so a command from cold takes about 1.2 s.
The target is 1.2 x ceil(locks / slots) command times. Prints figures only:
nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import math
from collections import Counter
from pathlib import Path
from typing import Any

from quovel_bleak.keyfiles import Secret
from quovel_mqtt import Bluetooth, Bridge
from quovel_mqtt.config import BrokerConfig, Config, LockConfig
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run

AES_KEY = "8e73b0f7da0e6452c810f32b809079e5"
UNLOCK_KEY = 2718281828
CONNECT = 1.0
"""Seconds a connection takes."""
REPLY = 0.05
"""Seconds from a request to its reply."""
HOLD = 7.0
"""The driver's default link hold."""
# (locks, slots of the adapter, whether connection_slots says so, link hold)
SCENARIOS = [
    (12, 3, True, HOLD),
    (12, 3, True, 0.0),
    (6, 3, True, HOLD),
    (20, 3, True, HOLD),
    (12, 5, True, HOLD),
    (12, 3, False, HOLD),
]


def address(index: int) -> str:
    return f"C4:3A:51:0B:{index // 256:02X}:{index % 256:02X}"


async def fleet(locks: int, slots: int, configured: bool, hold: float) -> tuple[float, Counter[str]]:
    """Seconds until the last lock's result, and the failures by kind."""
    loop = asyncio.get_running_loop()
    radio = SimulatedRadio(connection_limit=slots)
    for index in range(locks):
        simulated = SimulatedLock(
            aes_key=bytes.fromhex(AES_KEY), unlock_key=UNLOCK_KEY, address=address(index), locked=False
        )
        radio.add(simulated, LinkFaults(connect_delay=CONNECT, notify_delay=REPLY))
    config = Config(
        file=Path("fleet.toml"),
        broker=BrokerConfig(),
        locks=tuple(
            LockConfig(name=f"Lock {i + 1}", address=address(i), aes_key=Secret(AES_KEY), unlock_key=UNLOCK_KEY)
            for i in range(locks)
        ),
        hold_link=hold,
        connection_slots=slots if configured else None,
    )
    bridge = Bridge(config, Bluetooth(client_backend=radio.backend), clock=loop.time)
    for lock in bridge.locks:
        # What the scan hands the bridge: each lock heard once.
        bridge._on_advertisement(radio.ble_device(lock.config.address), radio.advertisement_data(lock.config.address))
    started = loop.time()
    tasks = [bridge.submit(lock, "LOCK") for lock in bridge.locks]
    outcomes: list[dict[str, Any]] = await asyncio.gather(*(t for t in tasks if t is not None))
    elapsed = loop.time() - started
    for lock in bridge.locks:
        await lock.monitor.close()
    return elapsed, Counter(o["kind"] for o in outcomes if o["result"] != "ok")


def table() -> list[str]:
    command, _ = run(fleet(1, 1, True, HOLD))
    lines = [
        f"one command from cold: {command:.2f} s (a connection {CONNECT:g} s, a reply {REPLY * 1000:.0f} ms)",
        "",
        "| locks | adapter slots | connection_slots | link hold | all done after | target | failed |",
        "|--:|--:|--:|--:|--:|--:|---|",
    ]
    for locks, slots, configured, hold in SCENARIOS:
        elapsed, failed = run(fleet(locks, slots, configured, hold))
        target = 1.2 * math.ceil(locks / slots) * command
        failures = ", ".join(f"{n} x {kind}" for kind, n in sorted(failed.items())) or "0"
        option = slots if configured else "unset"
        lines.append(f"| {locks} | {slots} | {option} | {hold:g} s | {elapsed:.1f} s | {target:.1f} s | {failures} |")
    return lines


def main() -> None:
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    # The failures are in the table; their log lines would bury it.
    logging.disable(logging.WARNING)
    print("\n".join(table()))


if __name__ == "__main__":
    main()
