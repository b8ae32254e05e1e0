"""LockClient through bleak-retry-connector and a real BleakClient, against a
simulated lock behind the simulated bleak backend, in virtual time."""

from __future__ import annotations

import asyncio
import logging
import random
import traceback

import bleak_retry_connector
import pytest
from support.bleak_sim import AES_KEY, UNLOCK_KEY, Rig

import quovel
import quovel_bleak as qb
from quovel_sim import Faults
from quovel_sim.bleak_backend import LinkFaults
from quovel_sim.virtual_time import run

RETRIES = quovel.CRC_RETRIES
MAX_STRAYS = quovel.MAX_STRAY_FRAMES
HANDSHAKE_REFUSED = (
    "command 0x55 failed with response byte 0x00 — the handshake was refused, "
    "which points at the AES key or the protocol version"
)
UNLOCK_REFUSED = (
    "command 0x47 failed with response byte 0x00 — the handshake succeeded, "
    "so the AES key and protocol version are right; this points at the unlock key"
)
# 47-byte handshake and 31-byte actuation request, in 20-byte chunks.
ACTUATION_CHUNKS = [20, 20, 7, 20, 11]


@pytest.mark.parametrize(
    ("properties", "with_response"),
    [(("write-without-response", "write"), False), (("write-without-response",), False), (("write",), True)],
)
@pytest.mark.parametrize("action", ["lock", "unlock"])
def test_actuation_writes_chunks_and_settles_the_tracker(action, properties, with_response):
    rig = Rig(LinkFaults(write_properties=properties), locked=action == "unlock")
    assert rig.run(action) is None
    assert rig.state == rig.tracker.reported_state == action.upper() + "ED"
    assert rig.changes == [{"state"}, {"state"}]
    assert rig.tracker.calls == ["on_command_started", "on_command_acknowledged"]
    assert [(len(chunk), response) for chunk, response in rig.peripheral.writes] == [
        (n, with_response) for n in ACTUATION_CHUNKS
    ]
    assert rig.sleeps == [quovel.WRITE_CHUNK_DELAY] * 3
    assert not rig.peripheral.connected


@pytest.mark.parametrize("locked", [True, False])
def test_status_reports_the_bolt_and_tells_the_tracker(locked):
    rig = Rig(locked=locked)
    assert rig.run("status") == rig.state
    # What the advertisement said already: the tracker hears it, nothing changes.
    assert rig.changes == [] and rig.tracker.calls == ["on_status"] and rig.tracker.statuses == [rig.state]


def case(id, faults=None, error=None, message=None, crc_retries=0, lock_key=AES_KEY, **options):
    return pytest.param(Faults(**(faults or {})), lock_key, options, error, message, crc_retries, id=id)


@pytest.mark.parametrize(
    ("faults", "lock_key", "options", "error", "message", "crc_retries"),
    [
        case("crc-once", {"corrupt_crc": 1}, crc_retries=1),
        case("crc-at-limit", {"corrupt_crc": RETRIES}, crc_retries=RETRIES),
        case(
            "crc-beyond",
            {"corrupt_crc": RETRIES + 1},
            qb.BadReply,
            "^packet CRC mismatch: observed 0x.., computed 0x..$",
            crc_retries=RETRIES,
        ),
        case("strays-at-limit", {"stray_frames": MAX_STRAYS}),
        case(
            "strays-beyond",
            {"stray_frames": MAX_STRAYS + 1},
            qb.BadReply,
            "^unexpected response command: expected 0x55, got 0x14$",
        ),
        case("split-every-byte", {"split_every_byte": True}),
        case("silent", {"silent": True}, qb.NoReply, "^no reply from the lock within 10.0 s$"),
        case("refuse-handshake", {"refuse_handshake": True}, qb.HandshakeRefused, f"^{HANDSHAKE_REFUSED}$"),
        case("refuse-actuation", {"refuse_actuation": True}, qb.ActuationRefused, f"^{UNLOCK_REFUSED}$"),
        case("wrong-unlock-key", error=qb.ActuationRefused, message=f"^{UNLOCK_REFUSED}$", unlock_key=UNLOCK_KEY - 1),
        case("wrong-aes-key", error=qb.HandshakeRefused, message="^AES decryption failed$", lock_key=bytes(16)),
    ],
)
def test_lock_faults_are_retried_skipped_or_reported(faults, lock_key, options, error, message, crc_retries):
    rig = Rig()
    rig.lock.faults, rig.lock.aes_key = faults, lock_key
    if error is None:
        rig.run("unlock", **options)
        assert rig.tracker.reported_state == rig.state == "UNLOCKED"
    else:
        with pytest.raises(error, match=message) as raised:
            rig.run("unlock", **options)
        assert isinstance(raised.value.__cause__, quovel.QuovelError) or error is qb.NoReply
        # One status query settles the failed command.
        assert rig.tracker.calls == ["on_command_started", "on_command_failed", "on_status"]
        assert (rig.tracker.reported_state, rig.tracker.pending) == ("LOCKED", None)
        rig.hear()
        assert rig.tracker.reported_state == rig.state == "LOCKED"
    assert rig.sleeps.count(quovel.CRC_RETRY_DELAY) == crc_retries
    # The settling query reuses the link, unless the lock garbled it; a silent lock is not asked again.
    assert rig.peripheral.connections == 1 + (error is qb.BadReply)
    assert not rig.peripheral.connected


@pytest.mark.parametrize("fault", ["not-found", "aborted", "timeout", "eof", "services-changed"])
def test_connect_errors_are_retried_by_bleak_retry_connector(fault):
    rig = Rig(LinkFaults(connect_errors=[fault], connect_delay=0.5))
    rig.run("unlock")
    assert rig.state == rig.tracker.reported_state == "UNLOCKED"
    assert (rig.peripheral.connect_attempts, rig.peripheral.connections) == (2, 1)


def test_an_unreachable_lock_costs_one_retry_loop_and_its_blind_time_is_credited():
    rig = Rig(LinkFaults(connect_errors=["timeout"] * 10, connect_delay=2.0))
    with pytest.raises(qb.LockUnreachable, match="^could not connect: ") as raised:
        rig.run("unlock")
    assert isinstance(raised.value, ConnectionError)
    # bleak-retry-connector's four attempts, not four of them per driver attempt.
    assert rig.peripheral.connect_attempts == bleak_retry_connector.MAX_CONNECT_ATTEMPTS
    # No status query after it: that would be one more retry loop.
    assert rig.tracker.calls == ["on_command_started", "on_command_failed", "on_status"]
    assert rig.tracker.statuses == [None]
    # Heard at 0 ms; at least four 2 s attempts were deaf time.
    assert rig.tracker.poll_availability(8000 + 4999, 5000) == set()


@pytest.mark.parametrize(
    ("drops", "moved_before_drop"),
    [
        pytest.param([0], False, id="drop-before-subscribing"),
        pytest.param([1], False, id="write-after-drop"),
        pytest.param([3], False, id="drop-while-waiting-for-handshake-reply"),
        pytest.param([4], False, id="drop-inside-actuation-request"),
        pytest.param([5], True, id="drop-after-actuation-written"),
    ],
)
def test_a_dropped_link_ends_the_wait_at_once_and_the_operation_starts_over(drops, moved_before_drop):
    rig = Rig(LinkFaults(drop_after_writes=drops))

    async def unlock() -> float:
        await rig.client().unlock()
        return asyncio.get_running_loop().time()

    elapsed = run(unlock())
    assert elapsed < 2.0  # no reply timeout went by
    assert rig.state == rig.tracker.reported_state == "UNLOCKED"
    assert rig.peripheral.connections == 2
    assert rig.sleeps.count(quovel.connect_backoff(1)) == 1
    # The retry began with its own handshake: a fresh ps, never a replay.
    records = rig.lock.actuations
    assert len(records) == 1 + moved_before_drop
    assert len({record.ps for record in records}) == len(records)


def test_a_link_that_keeps_dropping_fails_with_link_lost_and_says_why():
    rig = Rig(LinkFaults(drop_after_writes=[1, 1, 1]))
    with pytest.raises(qb.LinkLost, match="Service Discovery has not been performed yet"):
        rig.run("lock")
    # Then one more connection for the status query, on which the link held.
    assert rig.peripheral.connections == qb.Timing().link_attempts + 1
    assert rig.tracker.calls == ["on_command_started", "on_command_failed", "on_status"]
    assert rig.tracker.statuses == ["LOCKED"]


@pytest.mark.parametrize("fault", ["dbus-error", "timeout"])
@pytest.mark.parametrize("lock_faults", [Faults(), Faults(refuse_actuation=True)], ids=["acknowledged", "refused"])
def test_a_failing_disconnect_never_changes_a_known_outcome(fault, lock_faults, caplog):
    rig = Rig(LinkFaults(disconnect_errors=[fault]), faults=lock_faults)
    caplog.set_level(logging.WARNING, "quovel_bleak")
    if lock_faults.refuse_actuation:
        with pytest.raises(qb.ActuationRefused):
            rig.run("unlock")
        assert rig.tracker.calls[-2:] == ["on_command_failed", "on_status"]
    else:
        rig.run("unlock")
        assert rig.tracker.calls == ["on_command_started", "on_command_acknowledged"]
        assert rig.tracker.reported_state == "UNLOCKED"
    assert "disconnecting failed (the outcome stands)" in caplog.text


def test_notifications_before_the_request_do_not_reach_the_reply():
    # A whole stray packet and the first bytes of another, heard while subscribing.
    stray = bytes.fromhex("7f5a0503020001000114aa10") + bytes(19)
    rig = Rig(LinkFaults(early_notifications=[stray, stray[:10]]))
    rig.run("unlock")
    assert rig.state == "UNLOCKED" and quovel.CRC_RETRY_DELAY not in rig.sleeps


@pytest.mark.parametrize(("delay", "error"), [(0.5, None), (9.9, None), (10.5, qb.NoReply)])
def test_late_notifications_count_against_the_reply_timeout(delay, error):
    rig = Rig(LinkFaults(notify_delay=delay))
    if error is None:
        assert rig.run("status") == "LOCKED"
    else:
        with pytest.raises(error):
            rig.run("status")


def test_a_large_mtu_carries_long_notifications():
    rig = Rig(LinkFaults(mtu=247), notify_chunk=244)
    rig.run("unlock")
    assert rig.state == "UNLOCKED"


def test_overlapping_calls_take_turns():
    rig = Rig()
    client = rig.client()

    async def both() -> None:
        await asyncio.gather(client.unlock(), client.lock(), client.status())

    run(both())
    assert rig.state == "LOCKED"
    assert [len(chunk) for chunk, _ in rig.peripheral.writes] == ACTUATION_CHUNKS * 2 + [20, 11]
    assert rig.tracker.calls == ["on_command_started", "on_command_acknowledged"] * 2 + ["on_status"]
    assert [rig_change for rig_change in rig.changes] == [{"state"}] * 4


@pytest.mark.parametrize(
    ("faults", "cancel_after", "statuses", "state"),
    [
        pytest.param(Faults(), 0.0, ["LOCKED"], "LOCKED", id="while-connecting"),
        pytest.param(Faults(), 0.5, ["LOCKED"], "LOCKED", id="during-the-handshake"),
        pytest.param(Faults(), 1.5, ["UNLOCKED"], "UNLOCKED", id="after-the-bolt-moved"),
        pytest.param(Faults(refuse_actuation=True), 2.5, ["LOCKED"], "LOCKED", id="during-the-settling-query"),
        pytest.param(Faults(silent=True), 5.0, [None], "LOCKED", id="the-settling-query-fails"),
    ],
)
def test_a_cancelled_command_is_settled_in_the_background(faults, cancel_after, statuses, state):
    # Replies come a second late: time to cancel at each step.
    rig = Rig(LinkFaults(notify_delay=1.0), faults=faults)

    async def cancelled() -> None:
        task = asyncio.ensure_future(rig.client().unlock())
        await asyncio.sleep(cancel_after)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await asyncio.sleep(qb.Timing().call_deadline)

    run(cancelled())
    assert rig.tracker.calls == ["on_command_started", "on_command_failed", "on_status"]
    assert rig.tracker.statuses == statuses
    assert (rig.tracker.reported_state, rig.tracker.pending) == (state, None)
    assert not rig.peripheral.connected


def test_keys_are_checked_first_and_never_shown(caplog):
    rig = Rig()
    with pytest.raises(quovel.QuovelError, match="^invalid unlock key"):
        rig.client(unlock_key=0)
    with pytest.raises(ValueError, match="without an unlock key"):
        run(qb.LockClient(rig.radio.ble_device(rig.lock.address), AES_KEY, backend=rig.radio.backend).lock())
    assert rig.peripheral.connect_attempts == 0 and rig.tracker.calls == []

    caplog.set_level(logging.DEBUG)
    client = rig.client(unlock_key=UNLOCK_KEY - 1)
    with pytest.raises(qb.ActuationRefused) as raised:
        run(client.unlock())
    shown = caplog.text + repr(client) + str(raised.value) + repr(raised.value)
    assert "write 7f5a" in caplog.text
    for secret in (AES_KEY.hex(), str(UNLOCK_KEY - 1), f"{UNLOCK_KEY - 1:08x}"):
        assert secret not in shown


def test_closing_gives_up_a_settling_query_and_leaves_no_command_shown():
    rig = Rig(LinkFaults(notify_delay=1.0))
    client = rig.client()

    async def cancel_then_close() -> None:
        task = asyncio.ensure_future(client.unlock())
        await asyncio.sleep(1.5)
        task.cancel()
        await asyncio.gather(task, return_exceptions=True)
        await client.close()
        assert not rig.peripheral.connected and not asyncio.all_tasks() - {asyncio.current_task()}

    run(cancel_then_close())
    assert rig.tracker.statuses == [None] and rig.tracker.pending is None


@pytest.mark.parametrize("how", ["refused", "cancelled"])
def test_a_traceback_with_its_locals_shows_no_key(how):
    rig = Rig(LinkFaults(notify_delay=1.0), faults=Faults(refuse_actuation=how == "refused"))

    async def failed() -> traceback.TracebackException:
        task = asyncio.ensure_future(rig.client().unlock())
        if how == "cancelled":
            await asyncio.sleep(1.5)  # the actuation request is written
            task.cancel()
        try:
            await task
        except BaseException as error:
            return traceback.TracebackException.from_exception(error, capture_locals=True)
        raise AssertionError("the unlock did not fail")

    shown = "".join(run(failed()).format())
    assert "_actuate" in shown
    for secret in (AES_KEY.hex(), str(UNLOCK_KEY), f"{UNLOCK_KEY:08x}"):
        assert secret not in shown.lower()


def test_every_spelling_of_an_address_shares_one_turn():
    rig = Rig()
    spellings = ["C4:3A:51:0B:7E:19", "c43a510b7e19", "c4-3a-51-0b-7e-19"]
    device = rig.radio.ble_device(rig.lock.address)
    clients = [rig.client(device=text, ble_device_callback=lambda: device) for text in spellings]
    assert {client.address for client in clients} == {"C4:3A:51:0B:7E:19"}

    async def interleaved() -> list[object]:
        return await asyncio.gather(clients[0].unlock(), clients[1].lock(), clients[2].status())

    assert run(interleaved()) == [None, None, "LOCKED"]
    assert rig.peripheral.connections == 1


def test_the_client_class_and_a_fresh_device_are_looked_up_per_connection(monkeypatch):
    made = []

    class Recording(bleak_retry_connector.BleakClientWithServiceCache):
        def __init__(self, *args, **kwargs):
            made.append(self)
            super().__init__(*args, **kwargs)

    rig = Rig(LinkFaults(drop_after_writes=[3]))
    devices = []

    def fresh():
        # Not heard lately the first time: the known device serves.
        devices.append(rig.radio.ble_device(rig.lock.address) if devices else None)
        return devices[-1]

    client = rig.client(ble_device_callback=fresh)
    monkeypatch.setattr(bleak_retry_connector, "BleakClientWithServiceCache", Recording)
    run(client.unlock())
    assert len(made) == len(devices) == rig.peripheral.connections == 2


def test_a_thousand_random_exchanges_leave_the_tracker_true():
    rng = random.Random(20261208)
    rig = Rig()
    lock, tracker = rig.lock, rig.tracker
    outcomes = {"ok": 0, "failed": 0}

    async def one_round() -> None:
        faults = lock.faults = Faults(
            corrupt_crc=rng.choice([0, 0, 0, 1, RETRIES, RETRIES + 1]),
            stray_frames=rng.randint(0, MAX_STRAYS),
            refuse_handshake=rng.random() < 0.05,
            refuse_actuation=rng.random() < 0.05,
            silent=rng.random() < 0.02,
        )
        lock.notify_chunk = rng.randint(1, 64)
        link = rig.peripheral.link
        link.connect_errors = rng.choice([[], [], [], ["timeout"], ["aborted", "eof"], ["timeout"] * 4])
        link.drop_after_writes = rng.choice([[], [], [], [rng.randint(1, 6)], [1, 1, 1]])
        link.disconnect_errors = rng.choice([[], [], ["dbus-error"]])
        wrong_key = rng.random() < 0.05
        action = rng.choice(["status", "lock", "unlock"])
        calls_before = len(tracker.calls)
        client = rig.client(unlock_key=UNLOCK_KEY ^ wrong_key)
        failed = False
        try:
            result = await getattr(client, action)()
        except qb.LockError:
            failed = True
            outcomes["failed"] += 1
            if rng.random() < 0.5:
                rig.hear(stale=rng.random() < 0.5, dfu=rng.random() < 0.5)
        else:
            outcomes["ok"] += 1
            assert not (faults.silent or faults.corrupt_crc > RETRIES)
            if action == "status":
                assert result == rig.state
            else:
                assert lock.locked is (action == "lock")
        calls = tracker.calls[calls_before:]
        if action == "status":
            assert calls == ["on_status"]
        else:
            outcome = "on_command_failed" if failed else "on_command_acknowledged"
            assert calls == ["on_command_started", outcome, *(["on_status"] if failed else [])]
        if rng.random() < 0.2:
            rig.hear()
        if tracker.reported_state is not None:
            assert tracker.pending is None
            # A query that failed too settles on the last position known; the bolt may have moved.
            if not failed or tracker.statuses[-1] is not None:
                assert tracker.reported_state == rig.state
        # Held links come and go: an idle pause past the hold, or an explicit close.
        pause = rng.choice([0.0, 0.0, 3.0, qb.Timing().hold_link + 1])
        if rng.random() < 0.3:
            await client.close()
            assert not rig.peripheral.connected
        elif pause:
            await asyncio.sleep(pause)
            if pause > qb.Timing().hold_link:
                assert not rig.peripheral.connected

    async def rounds() -> None:
        for _ in range(1000):
            await one_round()

    run(rounds())
    assert outcomes["ok"] > 500 and outcomes["failed"] > 100
