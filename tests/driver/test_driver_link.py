"""How LockClient holds, shares and gives up links, and how long a call may
take: through bleak-retry-connector and a real BleakClient against the
simulated backend, in virtual time."""

from __future__ import annotations

import asyncio
import logging
from typing import Any

import bleak_retry_connector
import pytest
from support.bleak_sim import Rig

import quovel
import quovel_bleak as qb
from quovel_sim import Faults
from quovel_sim.bleak_backend import LinkFaults
from quovel_sim.virtual_time import run

HOLD = qb.Timing().hold_link
# 47-byte handshake and 31-byte actuation request, in 20-byte chunks.
ACTUATION_CHUNKS = [20, 20, 7, 20, 11]


def now() -> float:
    return asyncio.get_running_loop().time()


def timed(rig: Rig, *calls: str, client: qb.LockClient | None = None, **options: Any) -> list[Any]:
    """Run ``calls`` one after another on one client; each gives (result or error, seconds)."""
    client = client or rig.client(**options)

    async def session() -> list[Any]:
        done = []
        async with client:
            for name in calls:
                if name.startswith("sleep "):
                    await asyncio.sleep(float(name.split()[1]))
                    continue
                started = now()
                try:
                    outcome: Any = await getattr(client, name)()
                except qb.LockError as error:
                    outcome = error
                done.append((outcome, now() - started))
        return done

    return run(session())


def test_calls_within_the_hold_share_one_connection_and_its_subscription():
    rig = Rig(LinkFaults(connect_delay=1.0))
    (_, first), (status, second), (_, third), (_, fourth) = timed(
        rig, "unlock", "status", "lock", f"sleep {HOLD + 0.5}", "unlock"
    )
    assert status == "UNLOCKED" and rig.state == "UNLOCKED"
    # Counted at the backend: the first three calls made one connection; the
    # pause outlasted the hold, which took the link down, so the last made another.
    assert (rig.peripheral.connections, rig.peripheral.disconnects) == (2, 2)
    assert second < first and third < first and fourth == pytest.approx(first)
    assert not rig.peripheral.connected  # async with closed the last one


def test_hold_zero_disconnects_after_every_call():
    rig = Rig()
    timed(rig, "unlock", "lock", timing=qb.Timing(hold_link=0))
    assert rig.peripheral.connections == rig.peripheral.disconnects == 2


def test_a_link_the_lock_drops_while_idle_is_replaced_at_once():
    rig = Rig(LinkFaults(drop_when_idle=3.0))
    (_, cold), (_, after_drop) = timed(rig, "unlock", "sleep 4", "lock")
    assert rig.peripheral.idle_drops == 1 and rig.state == "LOCKED"
    assert rig.peripheral.connections == 2
    # No back-off, no failure: the drop cost one connection and nothing more.
    assert quovel.connect_backoff(1) not in rig.sleeps
    assert after_drop == pytest.approx(cold)


def test_close_takes_the_held_link_down_at_once_and_twice_is_harmless():
    rig = Rig()
    client = rig.client()

    async def session() -> None:
        await client.unlock()
        assert rig.peripheral.connected
        await client.close()
        assert not rig.peripheral.connected
        await client.close()
        # A closed client still works, and then holds no link.
        await client.lock()
        await asyncio.sleep(0.01)  # disconnecting runs in the background
        assert not rig.peripheral.connected

    run(session())
    assert rig.state == "LOCKED"


@pytest.mark.parametrize("hold", [0.0, HOLD])
def test_a_hung_disconnect_never_delays_a_result(hold, caplog):
    rig = Rig(LinkFaults(disconnect_errors=["hang", "hang"]))
    timing = qb.Timing(hold_link=hold)
    client = rig.client(timing=timing)

    async def session() -> tuple[float, float]:
        started = now()
        await client.unlock()
        first = now() - started
        await asyncio.sleep(hold + 0.1)  # the link is being taken down, and hangs
        started = now()
        await client.lock()
        second = now() - started
        await client.close()
        return first, second

    first, second = run(session())
    assert rig.state == "LOCKED" and rig.tracker.reported_state == "LOCKED"
    assert first < 0.5
    # The next connection waited for the hung disconnect, at most its timeout.
    assert second <= timing.disconnect_timeout + first
    assert "disconnecting failed (the outcome stands)" in caplog.text


@pytest.mark.parametrize("fault", ["dropped-inside", "dropped-then-aborted", "dropped-then-services-changed"])
def test_a_drop_inside_connect_does_not_poison_the_link_it_returns(fault):
    rig = Rig(LinkFaults(connect_errors=[fault, fault] if fault == "dropped-inside" else [fault]))
    ((outcome, elapsed),) = timed(rig, "unlock")
    assert outcome is None and rig.state == rig.tracker.reported_state == "UNLOCKED"
    assert rig.peripheral.connections == 1
    assert quovel.connect_backoff(1) not in rig.sleeps and elapsed < 1.0


def test_two_clients_of_one_lock_take_turns_on_one_link():
    rig = Rig()
    first = rig.client()
    # The other by address, spelt differently: one lock all the same.
    second = rig.client(
        device=rig.lock.address.lower(), ble_device_callback=lambda: rig.radio.ble_device(rig.lock.address)
    )

    async def both() -> None:
        await asyncio.gather(first.unlock(), second.lock(), first.status(), second.unlock())
        await first.close()

    run(both())
    assert rig.state == "UNLOCKED"
    assert [len(chunk) for chunk, _ in rig.peripheral.writes] == ACTUATION_CHUNKS * 2 + [20, 11] + ACTUATION_CHUNKS
    assert not any("dropped" in line or "refused" in line for line in rig.lock.journal)
    assert rig.peripheral.connections == 1


def test_a_raising_listener_changes_no_outcome_and_the_tracker_hears_once(caplog):
    rig = Rig()

    def listener(changes: set[str]) -> None:
        raise RuntimeError("entity gone")

    client = rig.client(on_change=listener)
    ((outcome, _),) = timed(rig, "unlock", client=client)
    assert outcome is None and rig.state == rig.tracker.reported_state == "UNLOCKED"
    assert rig.tracker.calls == ["on_command_started", "on_command_acknowledged"]
    assert caplog.text.count("the on_change listener raised") == 2


@pytest.mark.parametrize(
    ("link", "faults", "deadline", "error", "message", "elapsed"),
    [
        pytest.param(
            LinkFaults(connect_errors=["timeout"] * 9, connect_delay=5.0),
            Faults(),
            15.0,
            qb.LockUnreachable,
            "^could not connect: the 15 s deadline passed while connecting$",
            15.0,
            id="unreachable",
        ),
        pytest.param(
            LinkFaults(),
            Faults(silent=True),
            4.0,
            qb.NoReply,
            "^the 4 s deadline passed while waiting for the lock's reply$",
            4.0,
            id="silent",
        ),
        pytest.param(
            LinkFaults(),
            Faults(silent=True),
            None,
            qb.NoReply,
            r"^no reply from the lock within 10.0 s$",
            10.0,
            id="silent-reply-timeout",
        ),
        pytest.param(
            LinkFaults(connect_errors=["no-slot"] * 4),
            Faults(),
            None,
            qb.NoConnectionSlot,
            "^could not connect: .*out of connection slots",
            None,
            id="no-slot",
        ),
        pytest.param(
            LinkFaults(connect_errors=["no-slot"] * 4),
            Faults(),
            6.0,
            qb.NoConnectionSlot,
            "^could not connect: the 6 s deadline passed while connecting; no free connection slot: ",
            6.0,
            id="no-slot-deadline",
        ),
    ],
)
def test_a_call_ends_within_its_deadline_and_says_what_failed(link, faults, deadline, error, message, elapsed):
    rig = Rig(link, faults=faults)
    client = rig.client(tracker=None)

    async def call() -> float:
        started = now()
        with pytest.raises(error, match=message) as raised:
            await client.status(deadline=deadline)
        assert raised.value.kind in qb.ERROR_KINDS
        await client.close()
        return now() - started

    took = run(call())
    if elapsed is not None:
        assert took == pytest.approx(elapsed, abs=0.5)
    assert took <= (deadline or qb.Timing().call_deadline) + qb.Timing().disconnect_timeout


def test_waiting_for_the_turn_counts_against_the_deadline():
    rig = Rig(faults=Faults(silent=True))
    busy, waiting = rig.client(tracker=None), rig.client(tracker=None)

    async def both() -> list[Any]:
        return await asyncio.gather(busy.status(), waiting.status(deadline=3), return_exceptions=True)

    slow, quick = run(both())
    assert isinstance(slow, qb.NoReply)
    assert isinstance(quick, qb.LockUnreachable)
    assert str(quick) == (
        "the 3 s deadline passed while waiting for its turn (another operation on this lock was in progress)"
    )


def test_stale_connections_are_closed_before_connecting(monkeypatch):
    rig = Rig()
    order = []

    async def close_stale(address: str, only_other_adapters: bool = False) -> None:
        order.append(("close stale", address, rig.peripheral.connect_attempts))

    monkeypatch.setattr(bleak_retry_connector, "close_stale_connections_by_address", close_stale)
    timed(rig, "unlock", "lock", timing=qb.Timing(hold_link=0))
    assert order == [("close stale", rig.lock.address, 0), ("close stale", rig.lock.address, 1)]


def test_a_stale_service_cache_is_cleared_and_connecting_tried_once_more(caplog):
    # bleak's own BleakClient cannot clear a cache: the retry finds the same table.
    rig = Rig(LinkFaults(stale_services=True))
    ((outcome, _),) = timed(rig, "unlock")
    assert isinstance(outcome, qb.LockUnreachable)
    assert str(outcome) == (
        "the device does not offer the lock's write characteristic, also after clearing the service cache"
    )
    assert rig.peripheral.connections == 2 and rig.peripheral.writes == []
    assert "clear_cache not implemented" in caplog.text


@pytest.mark.parametrize(
    ("faults", "link", "error", "queried", "connections"),
    [
        (Faults(refuse_actuation=True), LinkFaults(), qb.ActuationRefused, "LOCKED", 1),
        (Faults(corrupt_crc=quovel.CRC_RETRIES + 1), LinkFaults(), qb.BadReply, "LOCKED", 2),
        (Faults(), LinkFaults(connect_errors=["timeout"] * 4), qb.LockUnreachable, None, 0),
    ],
)
def test_a_failed_command_is_settled_by_one_status_query(faults, link, error, queried, connections):
    rig = Rig(link, faults=faults)
    ((outcome, _),) = timed(rig, "unlock")
    assert isinstance(outcome, error)
    assert rig.tracker.calls == ["on_command_started", "on_command_failed", "on_status"]
    assert rig.tracker.statuses == [queried]
    assert rig.tracker.pending is None and rig.tracker.reported_state == "LOCKED"
    assert rig.peripheral.connections == connections
    # An unreachable lock is not tried again: one retry loop only.
    assert rig.peripheral.connect_attempts <= bleak_retry_connector.MAX_CONNECT_ATTEMPTS + (queried is not None)


@pytest.mark.parametrize(
    ("faults", "link", "deadline", "error"),
    [
        # A silent lock is not asked again: that would cost a second reply timeout.
        (Faults(silent=True), LinkFaults(), 30, qb.NoReply),
        (Faults(refuse_actuation=True), LinkFaults(notify_delay=4.0), 10, qb.ActuationRefused),
    ],
)
def test_the_settling_query_gets_only_what_is_left_of_the_deadline(faults, link, deadline, error):
    rig = Rig(link, faults=faults)
    client = rig.client()

    async def call() -> float:
        started = now()
        with pytest.raises(error):
            await client.unlock(deadline=deadline)
        await client.close()
        return now() - started

    assert run(call()) == pytest.approx(min(deadline, 10), abs=0.5)
    assert rig.tracker.statuses == [None]


def test_logging_formats_nothing_unless_debug_is_on(caplog):
    rig = Rig()
    caplog.set_level(logging.INFO, "quovel_bleak")
    records: list[logging.LogRecord] = []
    default_factory = logging.getLogRecordFactory()

    def factory(*args: Any, **kwargs: Any) -> logging.LogRecord:
        record = default_factory(*args, **kwargs)
        records.append(record)
        return record

    hexed = []

    def profile(frame: Any, event: str, arg: Any) -> None:
        # Only the driver's own calls: the interpreter and bleak may use hex for themselves.
        if (
            event == "c_call"
            and getattr(arg, "__name__", "") == "hex"
            and frame.f_globals.get("__name__", "").startswith("quovel_bleak")
        ):
            hexed.append(arg)

    import sys

    logging.setLogRecordFactory(factory)
    sys.setprofile(profile)
    try:
        timed(rig, "unlock", "status")
    finally:
        sys.setprofile(None)
        logging.setLogRecordFactory(default_factory)
    assert [r for r in records if r.name.startswith("quovel_bleak")] == []
    assert hexed == []
