"""Many locks commanded at once through one adapter of a few connection
slots, as the MQTT bridge drives them: when is every command done?

    python bench/fleet_adapter.py

LockClients on one simulated radio whose adapter refuses a connection when
its slots are full, with a ``SlotPool(limit=...)`` and, for comparison,
without one. Virtual time: a connection costs 1 s, each reply 50 ms.
Prints figures only: nothing here asserts a timing.
"""

from __future__ import annotations

import asyncio
import math

from quovel_bleak import LockClient, LockError, SlotPool, Timing
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run

AES_KEY = bytes.fromhex("8e73b0f7da0e6452c810f32b809079e5")
UNLOCK_KEY = 2718281828
LINK = LinkFaults(connect_delay=1.0, notify_delay=0.05)
# locks, adapter slots, link hold (s)
SCENARIOS = [(1, 3, 7.0), (6, 3, 7.0), (12, 3, 7.0), (12, 3, 0.0), (12, 5, 7.0), (20, 5, 7.0)]


async def lock_every_door(locks: int, slots: int, hold: float, pooled: bool) -> tuple[float, int, str]:
    radio = SimulatedRadio(connection_limit=slots)
    pool = SlotPool(limit=slots) if pooled else None
    clients = []
    for n in range(locks):
        lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=f"C4:3A:51:0B:7E:{n:02X}", locked=False)
        peripheral = radio.add(lock, LinkFaults(connect_delay=LINK.connect_delay, notify_delay=LINK.notify_delay))
        clients.append(
            LockClient(
                radio.ble_device(peripheral.address),
                AES_KEY,
                UNLOCK_KEY,
                backend=radio.backend,
                timing=Timing(hold_link=hold),
                slots=pool,
            )
        )
    loop = asyncio.get_running_loop()
    started = loop.time()
    outcomes = await asyncio.gather(*(client.lock() for client in clients), return_exceptions=True)
    took = loop.time() - started
    for client in clients:
        await client.close()
    failures = [o for o in outcomes if isinstance(o, LockError)]
    kinds = sorted({error.kind for error in failures})
    return took, len(failures), ", ".join(kinds)


def main() -> None:
    command = run(lock_every_door(1, 3, 7.0, True))[0]
    for pooled in (True, False):
        print(f"\n{'With a SlotPool(limit=slots)' if pooled else 'Without a pool, for comparison'}:\n")
        print("| locks | adapter slots | hold | all done after | failed | target |")
        print("|---|---|---|---|---|---|")
        for locks, slots, hold in SCENARIOS:
            took, failed, kinds = run(lock_every_door(locks, slots, hold, pooled))
            target = 1.2 * math.ceil(locks / slots) * command
            mark = "" if took <= target and not failed else " ✗"
            note = f" ({kinds})" if failed else ""
            print(f"| {locks} | {slots} | {hold:g} s | {took:.1f} s | {failed}{note} | {target:.1f} s{mark} |")
    print(
        f"\nVirtual time. Command time {command:.2f} s (one lock alone); "
        "target 1.2 × ceil(locks / slots) command times."
    )


if __name__ == "__main__":
    main()
