"""What the driver offers its callers besides the operations: error kinds,
times in seconds, the advertisement matcher, and clients that keep keys to
themselves."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

pytest.importorskip("bleak_retry_connector", reason="the driver tests need the [bleak] extra")

from support.bleak_sim import AES_KEY, UNLOCK_KEY, Rig

import quovel
import quovel_bleak as qb
from quovel_sim.virtual_time import run

IBEACON = {0x004C: bytes.fromhex("0215") + bytes(range(16)) + bytes(5)}


@pytest.mark.parametrize(
    ("error", "kind", "suspect", "bases"),
    [
        (qb.HandshakeRefused, "handshake_refused", "aes_key", ()),
        (qb.ActuationRefused, "actuation_refused", "unlock_key", ()),
        (qb.LockUnreachable, "unreachable", None, (ConnectionError,)),
        (qb.NoConnectionSlot, "no_connection_slot", None, (qb.LockUnreachable, ConnectionError)),
        (qb.NoReply, "no_reply", None, (TimeoutError,)),
        (qb.LinkLost, "link_lost", None, (ConnectionError,)),
        (qb.BadReply, "bad_reply", None, ()),
        (qb.Superseded, "superseded", None, ()),
    ],
)
def test_errors_carry_a_kind_a_suspect_and_their_message(error, kind, suspect, bases):
    raised = error("what happened")
    assert (raised.kind, raised.suspect, str(raised), raised.args) == (
        kind,
        suspect,
        "what happened",
        ("what happened",),
    )
    assert isinstance(raised, (qb.LockError, *bases))
    assert kind in qb.ERROR_KINDS


def test_error_kinds_are_exactly_the_raised_ones():
    assert len(qb.ERROR_KINDS) == 8


@pytest.mark.parametrize(("seconds", "ms"), [(0.0, 0), (1.2345, 1234), (86400.5, 86400500), (-3.0, 0)])
def test_seconds_become_the_trackers_milliseconds(seconds, ms):
    assert qb.to_ms(seconds) == ms


def test_availability_is_polled_in_seconds():
    tracker = quovel.LockTracker()
    rig = Rig()
    heard_at = 1000.25
    tracker.on_advertisement(
        qb.to_ms(heard_at), quovel.select_advertisement(rig.lock.manufacturer_data(), rig.lock.address)
    )
    assert qb.poll_availability(tracker, heard_at + qb.OFFLINE_AFTER - 1) == set()
    assert qb.poll_availability(tracker, heard_at + qb.OFFLINE_AFTER + 1) == {"available"}
    assert qb.poll_availability(tracker, heard_at + 11, offline_after=10) == set()  # already off


@pytest.mark.parametrize(
    ("uuids", "data", "lock"),
    [
        ([quovel.SERVICE_UUID], None, True),
        ([quovel.SERVICE_UUID.upper(), "0000180f-0000-1000-8000-00805f9b34fb"], {0x0305: bytes(13)}, True),
        ([quovel.SERVICE_UUID], {}, False),
        # An iBeacon decodes (decoding never fails), yet is no lock.
        ([], IBEACON, False),
        (["0000feaa-0000-1000-8000-00805f9b34fb"], IBEACON, False),
    ],
)
def test_a_lock_is_recognised_by_its_service_uuid(uuids, data, lock):
    assert qb.is_lock_advertisement(uuids, data) is lock
    assert qb.BLUETOOTH_MATCHER == {"service_uuid": quovel.SERVICE_UUID, "connectable": True}


def test_no_key_in_vars_repr_or_slots():
    rig = Rig()
    client = rig.client()
    with pytest.raises(TypeError):
        vars(client)
    held = [repr(getattr(client, name, None)) for name in type(client).__slots__ if name != "__weakref__"]
    shown = " ".join([repr(client), *held])
    for secret in (AES_KEY.hex(), str(UNLOCK_KEY), f"{UNLOCK_KEY:08x}"):
        assert secret not in shown.lower()
    assert "<keys redacted>" in shown and client.timing == qb.Timing()


def test_a_client_from_service_info_or_from_an_address():
    rig = Rig()
    info = SimpleNamespace(device=rig.radio.ble_device(rig.lock.address), address=rig.lock.address)
    from_info = qb.LockClient.from_service_info(info, AES_KEY, UNLOCK_KEY, backend=rig.radio.backend)
    assert from_info.address == rig.lock.address
    heard = []
    by_address = rig.client(device=rig.lock.address.lower(), ble_device_callback=lambda: heard.pop() if heard else None)

    async def session() -> None:
        # Nothing heard yet: no device to connect to.
        with pytest.raises(qb.LockUnreachable, match="has not been heard"):
            await by_address.status()
        heard.append(rig.radio.ble_device(rig.lock.address))
        assert await by_address.status() == "LOCKED"
        async with from_info:
            await from_info.unlock()

    run(session())
    assert rig.state == "UNLOCKED" and rig.peripheral.connections == 1
