"""How long a status, a lock and an unlock take through LockClient, on a cold
link and on a held one, next to the floor the protocol itself sets.

    python bench/driver_latency.py [--markdown fragment.md]

Runs in virtual time against the simulated lock behind the simulated bleak
backend, so the figures are exact and repeatable: they count every wait the
driver, bleak-retry-connector and the protocol make, with a connection and
a round trip costing what the constants below say. CPU time is not in them.
Prints figures only: nothing here asserts a timing.
"""

from __future__ import annotations

import argparse
import asyncio
from pathlib import Path

import quovel
from quovel_bleak import LockClient, Timing
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run

AES_KEY = bytes.fromhex("8e73b0f7da0e6452c810f32b809079e5")
UNLOCK_KEY = 2718281828
CONNECT = 1.0
"""Seconds a connection takes through a proxy when all goes well."""
ROUND_TRIP = 0.06
"""Seconds from the last chunk of a request to its whole reply (about two
connection intervals)."""
# Requests each operation writes, in bytes: the status query; the
# check-user-time handshake, then the lock or unlock request.
REQUESTS = {"status": [31], "lock": [47, 31], "unlock": [47, 31]}


def floor(operation: str) -> float:
    """The protocol's own cost: a round trip per request, and a
    WRITE_CHUNK_DELAY between consecutive chunks of each."""
    chunks = [-(-size // quovel.WRITE_CHUNK) for size in REQUESTS[operation]]
    return sum((n - 1) * quovel.WRITE_CHUNK_DELAY + ROUND_TRIP for n in chunks)


def measure(operation: str, held: bool) -> tuple[float, int]:
    """Seconds one call takes, and the connections it made."""
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, locked=operation != "lock")
    peripheral = radio.add(lock, LinkFaults(connect_delay=CONNECT, notify_delay=ROUND_TRIP))
    client = LockClient(radio.ble_device(lock.address), AES_KEY, UNLOCK_KEY, backend=radio.backend, timing=Timing())

    async def session() -> tuple[float, int]:
        loop = asyncio.get_running_loop()
        async with client:
            if held:
                await client.status()  # the call before, which left the link up
            connections = peripheral.connections
            started = loop.time()
            await getattr(client, operation)()
            return loop.time() - started, peripheral.connections - connections

    return run(session())


def table() -> list[str]:
    lines = [
        "| operation | cold link | held link | protocol floor | held − floor | connections (cold, held) |",
        "|---|--:|--:|--:|--:|--:|",
    ]
    for operation in REQUESTS:
        cold, cold_connections = measure(operation, held=False)
        held, held_connections = measure(operation, held=True)
        least = floor(operation)
        lines.append(
            f"| {operation} | {cold * 1000:.0f} ms | {held * 1000:.0f} ms | {least * 1000:.0f} ms | "
            f"{(held - least) * 1000:.0f} ms | {cold_connections}, {held_connections} |"
        )
    return lines


def fragment(rows: list[str]) -> list[str]:
    timing = Timing()
    return [
        "## Commands over the link",
        "",
        "`bench/driver_latency.py`: a status, a lock and an unlock through `LockClient`, "
        "bleak-retry-connector and a real `BleakClient` against the simulated lock, in virtual time. "
        f"A connection costs {CONNECT * 1000:.0f} ms (a proxy when all goes well) and a request's reply "
        f"arrives {ROUND_TRIP * 1000:.0f} ms after its last chunk. *Cold*: the call connects. *Held*: the "
        f"link of the call before is still up (`Timing.hold_link`, {timing.hold_link:g} s by default). The "
        f"*floor* is what the protocol itself costs: a round trip per request, and {quovel.WRITE_CHUNK_DELAY * 1000:g} ms "
        f"(`WRITE_CHUNK_DELAY`) between the {quovel.WRITE_CHUNK}-byte chunks of each request (status: one "
        "31-byte request; lock and unlock: the 47-byte handshake, then a 31-byte request). Disconnecting "
        "runs in the background and is in no figure.",
        "",
        *rows,
        "",
        f"A failing call ends by its deadline, `Timing.call_deadline` ({timing.call_deadline:g} s by default, "
        "`deadline=` per call).",
        "",
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--markdown", type=Path, help="write the docs/performance.md section here")
    args = parser.parse_args()
    rows = table()
    print("\n".join(rows))
    if args.markdown is not None:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text("\n".join(fragment(rows)))


if __name__ == "__main__":
    main()
