"""Whole exchanges between the operations and the simulated lock."""

from __future__ import annotations

import pathlib
import re
import time

import pytest
from support.keys import SIM_AES_KEY_HEX as KEY

import quovel
import quovel_sim

ACTUATION_REFUSED = (
    "command 0x{:02x} failed with response byte 0x00 — the handshake succeeded, "
    "so the AES key and protocol version are right; this points at the unlock key"
)
HANDSHAKE_REFUSED = (
    "command 0x55 failed with response byte 0x00 — the handshake was refused, "
    "which points at the AES key or the protocol version"
)
STATUS_REFUSED = "command 0x14 failed with response byte 0x00 — the lock refused the command"
NOT_EXPECTED = "received a frame when none was expected"

OPS = {
    "status": lambda lock, **kw: quovel.StatusOp(lock.aes_key, **kw),
    "lock": lambda lock, **kw: quovel.LockOp(lock.aes_key, lock.unlock_key, **kw),
    "unlock": lambda lock, **kw: quovel.UnlockOp(lock.aes_key, lock.unlock_key, **kw),
}
# Command byte of each request an operation sends, in order.
COMMANDS = {"status": [0x14], "lock": [0x55, 0x58], "unlock": [0x55, 0x47]}


@pytest.mark.parametrize("locked", [True, False])
def test_status_reports_the_bolt(sim_link, locked):
    sim_link.lock.locked = locked
    expected = "LOCKED" if locked else "UNLOCKED"
    assert sim_link.run(OPS["status"](sim_link.lock)) == expected


# The largest key makes ps + key wrap past 2**32 for every ps but 0.
@pytest.mark.parametrize("unlock_key", [1, 0xFFFFFFFF])
@pytest.mark.parametrize("action", ["lock", "unlock"])
def test_actuation_moves_the_bolt_with_a_valid_payload(sim_link, action, unlock_key):
    lock = sim_link.lock
    lock.unlock_key = unlock_key
    lock.locked = action == "unlock"
    before = int(time.time())
    assert sim_link.run(OPS[action](lock)) is None
    assert lock.locked is (action == "lock")
    (record,) = lock.actuations
    assert record.accepted and record.command == COMMANDS[action][1]
    assert (record.word - record.ps) % 2**32 == unlock_key
    assert before <= record.timestamp <= int(time.time())


def test_each_handshake_gets_a_fresh_ps(sim_link):
    op = OPS["unlock"](sim_link.lock)
    for _ in range(3):
        sim_link.run(op)  # start() re-arms a finished operation
    assert len({record.ps for record in sim_link.lock.actuations}) == 3


@pytest.mark.parametrize(
    ("action", "setup", "message"),
    [
        ("status", "wrong_version", STATUS_REFUSED),
        ("lock", "wrong_version", HANDSHAKE_REFUSED),
        ("unlock", "refuse_handshake", HANDSHAKE_REFUSED),
        ("lock", "refuse_actuation", ACTUATION_REFUSED.format(0x58)),
        ("unlock", "refuse_actuation", ACTUATION_REFUSED.format(0x47)),
        ("unlock", "wrong_unlock_key", ACTUATION_REFUSED.format(0x47)),
    ],
)
def test_refusals_name_the_suspect_and_leave_the_bolt(sim_link, action, setup, message):
    lock = sim_link.lock
    if setup == "wrong_unlock_key":
        op = quovel.UnlockOp(lock.aes_key, lock.unlock_key + 1)
    elif setup == "wrong_version":
        op = OPS[action](lock, version=quovel.LockVersion(protocol_version=4))
    else:
        op = OPS[action](lock)
    lock.faults.refuse_handshake = setup == "refuse_handshake"
    lock.faults.refuse_actuation = setup == "refuse_actuation"
    step = op.start()
    with pytest.raises(quovel.QuovelError) as caught:
        while True:
            (frame,) = sim_link.send(step[1])
            step = op.handle_frame(frame)
    assert type(caught.value) is quovel.QuovelError
    assert caught.value.args == (message,)
    assert lock.locked


@pytest.mark.parametrize("action", OPS)
def test_stray_replies_are_rejected_until_the_real_one(sim_link, action):
    lock = sim_link.lock
    lock.locked = action != "lock"
    lock.faults.stray_frames = quovel.MAX_STRAY_FRAMES
    op = OPS[action](lock)
    step = op.start()
    for expected in COMMANDS[action]:
        *strays, reply = sim_link.send(step[1])
        assert len(strays) == quovel.MAX_STRAY_FRAMES
        for stray in strays:
            got = 0x55 if expected == 0x14 else 0x14
            with pytest.raises(quovel.UnexpectedCommand) as caught:
                op.handle_frame(stray)
            assert str(caught.value) == (f"unexpected response command: expected 0x{expected:02x}, got 0x{got:02x}")
        step = op.handle_frame(reply)
    assert step[0] == "done"


@pytest.mark.parametrize(
    ("action", "reply_index"), [(action, i) for action in OPS for i in range(len(COMMANDS[action]))]
)
def test_crc_fault_then_a_repeated_exchange_succeeds(sim_link, action, reply_index):
    lock = sim_link.lock
    op = OPS[action](lock)
    step = op.start()
    for _ in range(reply_index):
        (frame,) = sim_link.send(step[1])
        step = op.handle_frame(frame)
    lock.faults.corrupt_crc = 1
    (frame,) = sim_link.send(step[1])
    with pytest.raises(quovel.QuovelError) as caught:
        op.handle_frame(frame)
    assert type(caught.value) is quovel.CrcMismatch
    observed = frame[-1]
    assert str(caught.value) == (f"packet CRC mismatch: observed 0x{observed:02x}, computed 0x{observed ^ 0xFF:02x}")
    assert sim_link.run(op) in ("LOCKED", None)


@pytest.mark.parametrize("action", OPS)
def test_a_lock_with_another_aes_key_cannot_be_understood(sim_link, action):
    lock = sim_link.lock
    op = OPS[action](lock)
    lock.aes_key = bytes(16)
    with pytest.raises(quovel.QuovelError, match="^AES decryption failed$"):
        sim_link.run(op)
    assert lock.journal[-1].endswith("payload does not decrypt")


@pytest.mark.parametrize("action", OPS)
def test_frames_are_refused_when_no_reply_is_expected(sim_link, action):
    op = OPS[action](sim_link.lock)
    with pytest.raises(quovel.QuovelError, match=f"^{NOT_EXPECTED}$"):
        op.handle_frame(b"")
    sim_link.run(op)
    (late,) = sim_link.send(OPS["status"](sim_link.lock).start()[1])
    with pytest.raises(quovel.QuovelError, match=f"^{NOT_EXPECTED}$"):
        op.handle_frame(late)  # a well-formed frame is not even examined
    assert sim_link.run(op) in ("LOCKED", None)  # start() re-arms it


def test_restart_mid_exchange_begins_with_a_new_handshake(sim_link):
    op = OPS["unlock"](sim_link.lock)
    (handshake_reply,) = sim_link.send(op.start()[1])
    assert op.handle_frame(handshake_reply)[0] == "write"
    assert sim_link.run(op) is None
    assert [r.accepted for r in sim_link.lock.actuations] == [True]


@pytest.mark.parametrize("action", OPS)
def test_handle_frame_takes_bytes_only_and_keeps_waiting(sim_link, action):
    op = OPS[action](sim_link.lock)
    (frame,) = sim_link.send(op.start()[1])
    with pytest.raises(TypeError, match="frame"):
        op.handle_frame(bytearray(frame))
    assert op.handle_frame(frame)[0] in ("write", "done")


@pytest.mark.parametrize(
    ("make", "error", "message"),
    [
        # version is converted first, then aes_key, then unlock_key.
        (lambda: quovel.StatusOp("xyz", version=3), TypeError, "version"),
        (lambda: quovel.LockOp("xyz", 0, version=3), TypeError, "version"),
        (lambda: quovel.UnlockOp(b"short", 0), quovel.QuovelError, "^AES key must be exactly 16 bytes; got 5 bytes$"),
        (lambda: quovel.LockOp(KEY, 0), quovel.QuovelError, "^invalid unlock key: "),
        (lambda: quovel.UnlockOp(KEY, "0"), quovel.QuovelError, "^invalid unlock key: "),
    ],
)
def test_constructors_raise_the_first_bad_argument(make, error, message):
    with pytest.raises(error, match=message):
        make()


def test_constructors_accept_keywords_and_text_keys(sim_link):
    lock = sim_link.lock
    op = quovel.UnlockOp(
        version=quovel.LockVersion.default_version(),
        unlock_key=f" {lock.unlock_key}\n",
        aes_key=":".join(f"{b:02X}" for b in lock.aes_key),
    )
    assert sim_link.run(op) is None and not lock.locked


def test_reply_chunks_of_any_size_reassemble(sim_lock):
    sim_lock.faults.split_every_byte = True
    op = OPS["unlock"](sim_lock)
    assembler = quovel.FrameAssembler()
    step = op.start()
    while step[0] == "write":
        frames = []
        for notification in sim_lock.write(step[1]):
            assert len(notification) == 1
            assembler.push(notification)
            if (frame := assembler.next_frame()) is not None:
                frames.append(frame)
        (frame,) = frames
        step = op.handle_frame(frame)
    assert not sim_lock.locked


def test_manufacturer_data_selection_tracks_the_lock(sim_lock):
    tracker = quovel.LockTracker()
    for locked in (True, False):
        sim_lock.locked = locked
        data = sim_lock.manufacturer_data(stale=True, dfu=True)
        chosen = quovel.select_advertisement(data, sim_lock.address.lower())
        assert (chosen.kind, chosen.address, chosen.battery) == ("stateful", sim_lock.address, 85)
        tracker.on_advertisement(0, chosen)
        assert tracker.reported_state == ("LOCKED" if locked else "UNLOCKED")
    stale = quovel.parse_advertisement(0x0102, data[0x0102])
    dfu = quovel.parse_advertisement(0x1912, data[0x1912])
    assert (stale.kind, stale.address, dfu.kind) == ("stateless", sim_lock.address, "dfu")


def test_simulated_lock_keeps_its_own_codec():
    # A simulator sharing the module's codec would agree with it by construction.
    for path in pathlib.Path(quovel_sim.__file__).parent.glob("*.py"):
        assert not re.search(r"^\s*(import|from)\s+quovel\b", path.read_text(), re.M), path
