"""The benchmark's pure-Python yardstick must do the same work as quovel,
or its speed-ups mean nothing: compare the two on generated inputs."""

import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quovel

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import pure_python

KEY = bytes(range(16))
AD_FIELDS = ("kind", "address", "battery", "is_unlocked", "has_events", "is_setting_mode")
VERSION_FIELDS = ("protocol_type", "protocol_version", "scene", "group_id", "org_id")


def facts(ad):
    version = ad.lock_version
    return [getattr(ad, f) for f in AD_FIELDS] + (
        [None] if version is None else [getattr(version, f) for f in VERSION_FIELDS]
    )


company_ids = st.sampled_from([0x0305, 0x1912, 0xFFFF, 0x1234, 0x19FF]) | st.integers(0, 0xFFFF)


@settings(max_examples=300)
@given(company_ids, st.binary(max_size=40))
def test_parse_advertisement_agrees(company_id, data):
    assert facts(pure_python.parse_advertisement(company_id, data)) == facts(
        quovel.parse_advertisement(company_id, data)
    )


@settings(max_examples=200)
@given(
    st.dictionaries(company_ids, st.binary(min_size=10, max_size=20), max_size=4),
    st.sampled_from([None, "ff:ee:dd:cc:bb:aa", "FF:EE:DD:CC:BB:AA"]),
)
def test_select_advertisement_agrees(entries, expected):
    assert facts(pure_python.select_advertisement(entries, expected)) == facts(
        quovel.select_advertisement(entries, expected)
    )


@pytest.mark.parametrize(
    "value",
    [
        "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF",
        " 000102030405060708090a0b0c0d0e0f\n",
        "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\u3000",
        "0001020304050607080900",  # too short
        "000102030405060708090a0b0c0d0e0",  # odd
        "zz0102030405060708090a0b0c0d0e0f",
        bytes(16),
        bytearray(16),
        list(range(16)),
        [256] * 16,
        None,
        5,
    ],
)
def test_aes_key_agrees(value):
    try:
        expected = quovel.normalize_aes_key(value)
    except quovel.QuovelError as error:
        with pytest.raises(pure_python.QuovelError) as raised:
            pure_python.normalize_aes_key(value)
        # Hex decoder descriptions are free text; the prefix and kind are not.
        assert str(raised.value).split(":")[0] == str(error).split(":")[0]
    else:
        assert pure_python.normalize_aes_key(value) == expected


@settings(max_examples=200)
@given(st.lists(st.integers(0, 255), max_size=40))
def test_decode_credential_agrees(values):
    import base64

    text = base64.b64encode(",".join(map(str, values)).encode()).decode()
    try:
        expected = quovel.decode_credential(text)
    except quovel.QuovelError as error:
        with pytest.raises(pure_python.QuovelError, match="^" + str(error).split(":")[0]):
            pure_python.decode_credential(text)
    else:
        assert pure_python.decode_credential(text) == expected


@settings(max_examples=200)
@given(st.lists(st.binary(max_size=30) | st.just(b"\x7f\x5a"), max_size=12))
def test_frame_assembler_agrees(chunks):
    stream = quovel.StatusOp(KEY).start()[1]
    ours, theirs = quovel.FrameAssembler(), pure_python.FrameAssembler()
    for chunk in [*chunks, stream[:20], stream[20:]]:
        ours.push(chunk)
        theirs.push(chunk)
        while (frame := ours.next_frame()) is not None:
            assert theirs.next_frame() == frame
        assert theirs.next_frame() is None


def reply(command, status, data):
    return pure_python.build_packet(pure_python.LockVersion(), command, bytes([command, status]) + data, KEY)[:-2]


@pytest.mark.parametrize(
    "frame",
    [
        reply(0x14, 0x01, b"\x64\x00"),
        reply(0x14, 0x01, b"\x00\x07"),
        reply(0x14, 0x00, b""),
        reply(0x55, 0x01, b"\x00\x00"),
        reply(0x14, 0x01, b"\x64"),
        b"\x7f\x5a" + bytes(11),
    ],
)
def test_status_op_agrees(frame):
    ours, theirs = quovel.StatusOp(KEY), pure_python.StatusOp(KEY)
    assert ours.start() == theirs.start()
    try:
        expected = ours.handle_frame(frame)
    except quovel.QuovelError as error:
        with pytest.raises(pure_python.QuovelError, match="^" + str(error)[:20]):
            theirs.handle_frame(frame)
    else:
        assert theirs.handle_frame(frame) == expected


def test_unlock_handshake_agrees_but_for_the_clock():
    ours, theirs = quovel.UnlockOp(KEY, 0xFFFFFFFF), pure_python.UnlockOp(KEY, 0xFFFFFFFF)
    assert ours.start() == theirs.start()
    frame = reply(0x55, 0x01, b"\x00\x00\x00\x02")
    ours_request, theirs_request = ours.handle_frame(frame)[1], theirs.handle_frame(frame)[1]
    # Same header and length; the ciphertext differs only if a second ticked in between.
    assert ours_request[:12] == theirs_request[:12] and len(ours_request) == len(theirs_request) == 31
    done = reply(0x47, 0x01, b"")
    assert ours.handle_frame(done) == theirs.handle_frame(done) == ("done", None)


def test_tracker_agrees():
    ours, theirs = quovel.LockTracker(), pure_python.LockTracker()
    live = bytes.fromhex("02015500000000aabbccddeeff")
    locked = bytes.fromhex("02000a00000000aabbccddeeff")
    steps = [
        ("on_command_started", ("unlock",)),
        ("on_advertisement", (1000, 0x0305, live)),
        ("on_command_started", ("lock",)),
        ("on_command_failed", ()),
        ("on_advertisement", (2000, 0x0305, locked)),
        ("poll_availability", (2500, 1000)),
        ("credit_blind_time", (600,)),
        ("poll_availability", (4000, 1000)),
        ("on_command_acknowledged", (4100, "unlock")),
        ("on_unavailable", ()),
    ]
    for name, args in steps:
        if name == "on_advertisement":
            now, company_id, data = args
            results = [
                getattr(t, name)(now, m.parse_advertisement(company_id, data))
                for t, m in ((ours, quovel), (theirs, pure_python))
            ]
        else:
            results = [getattr(t, name)(*args) for t in (ours, theirs)]
        assert results[0] == results[1], name
        assert (ours.reported_state, ours.available, ours.battery) == (
            theirs.reported_state,
            theirs.available,
            theirs.battery,
        ), name
