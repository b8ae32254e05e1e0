"""Connection slots shared as a pool: several locks on one full adapter or on
reported proxies, through bleak-retry-connector and the simulated backend, in
virtual time."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import Any

import pytest
from support.bleak_sim import AES_KEY, UNLOCK_KEY

import quovel_bleak as qb
from quovel_bleak.slots import RECHECK_AFTER_REFUSAL
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import ConnectionSlots, LinkFaults, SimulatedRadio
from quovel_sim.virtual_time import run

# A connection costs 1 s; the exchange then takes a few milliseconds.
CONNECT = 1.0


def now() -> float:
    return asyncio.get_running_loop().time()


class Fleet:
    """Locks on one radio whose adapter has ``limit`` slots, a client each."""

    def __init__(self, locks: int, limit: int, pool: qb.SlotPool | None, **client_options: Any) -> None:
        self.radio = SimulatedRadio(connection_limit=limit)
        self.peripherals = [
            self.radio.add(
                SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=f"C4:3A:51:0B:7E:{n:02X}"),
                LinkFaults(connect_delay=CONNECT),
            )
            for n in range(locks)
        ]
        self.clients = [
            qb.LockClient(
                self.radio.ble_device(p.address),
                AES_KEY,
                UNLOCK_KEY,
                backend=self.radio.backend,
                slots=pool,
                **client_options,
            )
            for p in self.peripherals
        ]

    async def unlock(self, index: int, *, after: float = 0.0, deadline: float | None = None) -> Any:
        """When the call ended (or what it failed with, and when)."""
        await asyncio.sleep(after)
        try:
            await self.clients[index].unlock(deadline=deadline)
        except qb.LockError as error:
            return error, now()
        return now()

    async def close(self) -> None:
        for client in self.clients:
            await client.close()


@pytest.mark.parametrize("pooled", [True, False], ids=["pool", "no-pool"])
def test_a_waiting_call_takes_the_slot_of_a_link_held_idle(pooled):
    fleet = Fleet(2, 1, qb.SlotPool(limit=1) if pooled else None)

    async def scenario() -> Any:
        first, second = await asyncio.gather(fleet.unlock(0), fleet.unlock(1, after=2.0))
        await fleet.close()
        return first, second

    first, second = run(scenario())
    assert first == pytest.approx(CONNECT, abs=0.1)
    if pooled:
        # Lock 0's idle link went at once; lock 1 paid one connection.
        assert second == pytest.approx(2.0 + CONNECT, abs=0.1)
    else:
        # Without the pool the held link sits out its hold and the caller
        # retries on bleak-retry-connector's fixed rhythm.
        assert isinstance(second, float) and second > 2.0 + qb.Timing().hold_link
    assert fleet.peripherals[0].disconnects == 1


def test_calls_on_a_full_adapter_start_as_soon_as_a_slot_frees():
    fleet = Fleet(5, 2, qb.SlotPool(limit=2))

    async def scenario() -> list[Any]:
        ended = await asyncio.gather(*(fleet.unlock(n) for n in range(5)))
        await fleet.close()
        return ended

    ended = run(scenario())
    # Three rounds of one connection each; nobody was refused by the adapter.
    assert sorted(round(t) for t in ended) == [1, 1, 2, 2, 3]
    assert sum(p.connect_attempts for p in fleet.peripherals) == 5
    assert all(not p.lock.locked for p in fleet.peripherals)


def test_with_nobody_waiting_the_link_is_held():
    fleet = Fleet(2, 2, qb.SlotPool(limit=2))

    async def scenario() -> None:
        await fleet.unlock(0)
        await fleet.unlock(1)
        await fleet.clients[0].lock()
        await fleet.close()

    run(scenario())
    assert fleet.peripherals[0].connections == 1


def test_the_deadline_bounds_the_wait_and_says_the_slots_were_busy():
    pool = qb.SlotPool(limit=1)
    # Lock 0 keeps its link busy: it is silent, so its call waits out the reply timeout.
    fleet = Fleet(2, 1, pool)
    fleet.peripherals[0].lock.faults.silent = True

    async def scenario() -> Any:
        _, waited = await asyncio.gather(fleet.unlock(0), fleet.unlock(1, after=0.5, deadline=4.0))
        await fleet.close()
        return waited

    error, ended = run(scenario())
    assert isinstance(error, qb.NoConnectionSlot) and error.kind == "no_connection_slot"
    assert str(error) == (
        "could not connect: the 4 s deadline passed while waiting for a connection slot; "
        "every connection slot that can reach the lock was busy (adapter)"
    )
    assert ended == pytest.approx(4.5)
    assert fleet.peripherals[1].connect_attempts == 0
    assert pool.waiting == 0


def test_a_command_overtaken_while_it_waits_for_a_slot_never_connects():
    fleet = Fleet(2, 1, qb.SlotPool(limit=1))
    wanted = [True]

    async def scenario() -> Any:
        async def overtaken() -> Any:
            await asyncio.sleep(0.5)
            try:
                await fleet.clients[1].unlock(proceed=lambda: wanted[0])
            except qb.Superseded as error:
                return error, now()

        asyncio.get_running_loop().call_later(0.8, wanted.__setitem__, 0, False)
        _, (error, ended) = await asyncio.gather(fleet.unlock(0), overtaken())
        await fleet.close()
        return error, ended

    error, ended = run(scenario())
    assert str(error) == "superseded by a newer lock command before it was sent"
    # Given up as soon as lock 0's slot came free, without connecting.
    assert ended == pytest.approx(CONNECT, abs=0.2)
    assert fleet.peripherals[1].connect_attempts == 0 and fleet.peripherals[1].lock.locked


def test_a_slot_taken_behind_the_pools_back_is_asked_for_again_after_the_back_off():
    fleet = Fleet(1, 1, qb.SlotPool(limit=1))
    other = object()  # another program on the same adapter
    fleet.radio.slots.take(other, "C4:3A:51:0B:7E:FF")

    async def scenario() -> Any:
        asyncio.get_running_loop().call_later(5.0, fleet.radio.slots.give_back, other)
        ended = await fleet.unlock(0)
        await fleet.close()
        return ended

    # Refused at 0 s and at the recheck 4 s later, connected at the next one.
    assert run(scenario()) == pytest.approx(2 * RECHECK_AFTER_REFUSAL + CONNECT, abs=0.2)
    assert fleet.peripherals[0].connect_attempts == 3


class Reported:
    """A host reporting its proxies' slots, as Home Assistant does."""

    def __init__(self, radio: SimulatedRadio, reach: dict[str, list[str]], slots: int) -> None:
        self.proxies = {name: ConnectionSlots(slots) for name in {p for ps in reach.values() for p in ps}}
        self.reach = reach
        self.listeners: list[Callable[[], None]] = []
        self.lie = 0  # free slots reported that are not there
        for proxy in self.proxies.values():
            proxy.listeners.append(lambda: [listener() for listener in list(self.listeners)])
        self.backends = {name: radio.adapter_backend(slots) for name, slots in self.proxies.items()}

    def sources_for(self, address: str) -> list[str]:
        return self.reach.get(address, [])

    def free_slots(self, source: str) -> int | None:
        return (self.proxies[source].free or 0) + self.lie

    def subscribe(self, callback: Callable[[], None]) -> Callable[[], None]:
        self.listeners.append(callback)
        return lambda: self.listeners.remove(callback)


class Listing(Reported):
    """A host that also says who holds each slot."""

    def allocated(self, source: str) -> list[str] | None:
        return list(self.proxies[source].holders.values())


@pytest.mark.parametrize("host_class", [Reported, Listing])
def test_a_reported_proxy_wakes_a_waiter_and_a_refusal_waits_for_the_next_change(host_class):
    radio = SimulatedRadio()
    addresses = ["C4:3A:51:0B:7E:00", "C4:3A:51:0B:7E:01"]
    host = host_class(radio, {a: ["proxy"] for a in addresses}, slots=1)
    pool = qb.SlotPool(source=host)
    peripherals = [
        radio.add(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=a), LinkFaults(connect_delay=CONNECT))
        for a in addresses
    ]
    clients = [
        qb.LockClient(radio.ble_device(a), AES_KEY, UNLOCK_KEY, backend=host.backends["proxy"], slots=pool)
        for a in addresses
    ]

    async def unlock(index: int, after: float) -> float:
        await asyncio.sleep(after)
        await clients[index].unlock()
        return now()

    async def scenario() -> list[float]:
        # The host reports a free slot that is not there: the proxy refuses
        # lock 1, which then waits for the next change, not a fixed back-off.
        host.lie = 1
        ended = await asyncio.gather(unlock(0, 0.0), unlock(1, 0.5))
        for client in clients:
            await client.close()
        return ended

    ended = run(scenario())
    assert ended == pytest.approx([CONNECT, 2 * CONNECT], abs=0.2)
    # Without the list, lock 0's grant counts until it connected, which hid the false slot.
    assert peripherals[1].connect_attempts == (2 if host_class is Listing else 1)
    assert pool.waiting == 0 and not host.listeners


def test_a_pool_needs_a_limit_or_a_source():
    with pytest.raises(ValueError, match="either a limit or a source"):
        qb.SlotPool()
    with pytest.raises(ValueError, match="at least 1"):
        qb.SlotPool(limit=0)
