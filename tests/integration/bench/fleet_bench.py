"""Many locks commanded at once behind a few proxies: when is every command done?

Prints a table; asserts nothing about timings. Home Assistant's harness runs
on a virtual clock: a connection costs 1 s and each reply 50 ms of it.
"""

from __future__ import annotations

import asyncio
import math
from collections.abc import Awaitable, Callable, Iterator

import pytest
from fleet import Fleet
from homeassistant.const import ATTR_ENTITY_ID
from homeassistant.core import HomeAssistant
from homeassistant.exceptions import HomeAssistantError

from quovel_sim.bleak_backend import LinkFaults

LINK = LinkFaults(connect_delay=1.0, notify_delay=0.05)
# locks, proxies, slots per proxy, link hold (s)
SCENARIOS = [(1, 1, 3, 7.0), (6, 2, 3, 7.0), (12, 3, 3, 7.0), (12, 3, 3, 0.0), (20, 3, 3, 7.0), (20, 2, 3, 7.0)]
ROWS: list[str] = []
COMMAND: list[float] = []  # one lock alone, idle proxies: the command time
# The command time when the one-lock scenario was not run: a connection and five replies.
NOMINAL_COMMAND = LINK.connect_delay + 5 * LINK.notify_delay


@pytest.fixture(scope="module", autouse=True)
def table() -> Iterator[None]:
    yield
    print()
    print("| scenario | locks | proxies × slots | hold | all done after | failed | target |")
    print("|---|---|---|---|---|---|---|")
    for row in ROWS:
        print(row)
    print(
        f"Virtual time on the event loop's clock. Command time {command_time():.2f} s "
        f"({'one lock alone' if COMMAND else 'nominal'}); "
        "target 1.2 × ceil(locks / slots) command times; the last row times the lock command from when it was given."
    )


def now() -> float:
    return asyncio.get_running_loop().time()


async def command(hass: HomeAssistant, service: str, entities: list[str]) -> str | None:
    try:
        await hass.services.async_call("lock", service, {ATTR_ENTITY_ID: entities}, blocking=True)
    except HomeAssistantError as error:
        return error.translation_key
    return None


def command_time() -> float:
    return COMMAND[0] if COMMAND else NOMINAL_COMMAND


def target(locks: int, proxies: int, slots: int) -> float:
    return 1.2 * math.ceil(locks / (proxies * slots)) * command_time()


def row(name: str, locks: int, proxies: int, slots: int, hold: float, took: float, failed: int, note: str = "") -> None:
    goal = target(locks, proxies, slots)
    mark = "" if took <= goal and not failed else " ✗"
    ROWS.append(
        f"| {name} | {locks} | {proxies} × {slots} | {hold:g} s | {took:.1f} s | {failed}{note} | {goal:.1f} s{mark} |"
    )


@pytest.mark.parametrize(("locks", "proxies", "slots", "hold"), SCENARIOS)
async def test_lock_every_door(
    hass: HomeAssistant, make_fleet: Callable[..., Awaitable[Fleet]], locks: int, proxies: int, slots: int, hold: float
) -> None:
    fleet = await make_fleet(locks=locks, proxies=proxies, slots=slots, hold=hold, link=LINK)
    for peripheral in fleet.peripherals:
        peripheral.lock.locked = False
    started = now()
    first_error = await command(hass, "lock", fleet.entities)
    took = now() - started
    if locks == 1:
        COMMAND.append(took)
    failed = sum(not p.lock.locked for p in fleet.peripherals)
    row("lock every door", locks, proxies, slots, hold, took, failed, f" ({first_error})" if failed else "")
    await hass.async_block_till_done()


async def test_unlock_every_door_then_lock_every_door_3_s_later(
    hass: HomeAssistant, make_fleet: Callable[..., Awaitable[Fleet]]
) -> None:
    locks, proxies, slots, hold = 12, 3, 3, 7.0
    fleet = await make_fleet(locks=locks, proxies=proxies, slots=slots, hold=hold, link=LINK)
    started = now()
    unlocking = asyncio.create_task(command(hass, "unlock", fleet.entities))
    await asyncio.sleep(3.0)
    # From here on, a bolt that opens does so after the user asked to lock.
    for peripheral in fleet.peripherals:
        peripheral.lock.journal.clear()
    locking = asyncio.create_task(command(hass, "lock", fleet.entities))
    await asyncio.gather(unlocking, locking)
    took = now() - started - 3.0
    failed = sum(not p.lock.locked for p in fleet.peripherals)
    late = sum(
        any(line.startswith("unlock:") and "bolt moved" in line for line in p.lock.journal) for p in fleet.peripherals
    )
    row(
        "unlock all, lock all 3 s later",
        locks,
        proxies,
        slots,
        hold,
        took,
        failed,
        f"; doors opened after 'lock': {late}",
    )
    await hass.async_block_till_done()
