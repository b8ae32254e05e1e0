"""Property-based tests of the Python surface: random frames, chunkings,
advertisement maps, credential texts and tracker event sequences, each
checked against a small model of the rules, and random exchanges with the
simulated lock."""

from __future__ import annotations

import base64
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import SLOW
from support.samples import (
    ACTUATION_COMMAND,
    HANDSHAKE,
    KEY,
    OP_FACTORIES,
    OTHER_KEY,
    STATUS,
    UNLOCK_KEY,
    encode_credential,
    frame,
    good_replies,
)

import quovel
import quovel_sim
from quovel_sim.wire import decrypt, parse_packet

SCALE = 0.25 if SLOW else 1.0


def bounded(examples: int) -> settings:
    return settings(
        max_examples=max(10, int(examples * SCALE)),
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# Bytes that matter to the wire format turn up often.
wire_bytes = st.binary(max_size=40) | st.lists(
    st.sampled_from([0x7F, 0x5A, 0x00, 0x01, 0x0D, 0x0A, 0x10, 0xFF]) | st.integers(0, 255), max_size=40
).map(bytes)


# --- FrameAssembler --------------------------------------------------------


class AssemblerModel:
    """The frame-cutting rules, step by step."""

    def __init__(self) -> None:
        self.buffer = bytearray()

    def push(self, data: bytes) -> None:
        self.buffer += data

    def next_frame(self) -> bytes | None:
        buffer = self.buffer
        start = buffer.find(b"\x7f\x5a")
        if start >= 0:
            drop = start
        elif buffer and buffer[-1] == 0x7F:
            drop = len(buffer) - 1
        else:
            drop = len(buffer)
        del buffer[:drop]
        if len(buffer) < 12 or len(buffer) < buffer[11] + 15:
            return None
        length = buffer[11]
        frame_bytes = bytes(buffer[: length + 13])
        del buffer[: length + 15]
        return frame_bytes


assembler_actions = st.lists(st.tuples(st.just("push"), wire_bytes) | st.just(("next", b"")), max_size=30)


@bounded(300)
@given(assembler_actions)
def test_assembler_follows_the_model(actions):
    assembler, model = quovel.FrameAssembler(), AssemblerModel()
    for action, data in actions:
        if action == "push":
            assert assembler.push(data) is None
            model.push(data)
        else:
            assert assembler.next_frame() == model.next_frame()
    while (expected := model.next_frame()) is not None:
        assert assembler.next_frame() == expected
    assert assembler.next_frame() is None


@st.composite
def packet_streams(draw):
    """Packets (with any closing two bytes) and junk free of 0x7F between them."""
    packets, stream = [], b""
    for _ in range(draw(st.integers(1, 5))):
        stream += draw(st.binary(max_size=6).map(lambda b: b.replace(b"\x7f", b"\x00")))
        payload = draw(st.binary(max_size=48))
        body = b"\x7f\x5a" + draw(st.binary(min_size=9, max_size=9)) + bytes((len(payload),)) + payload
        body += draw(st.binary(min_size=1, max_size=1))  # the CRC byte is not checked here
        packets.append(body)
        # The closing two bytes are cut off by length, whatever they hold.
        stream += body + draw(st.sampled_from([b"\r\n", b"\x7f\x5a"]) | st.binary(min_size=2, max_size=2))
    return packets, stream


@bounded(200)
@given(packet_streams(), st.data())
def test_any_chunking_yields_the_same_frames(streams, data):
    packets, stream = streams
    cuts = sorted(data.draw(st.lists(st.integers(0, len(stream)), max_size=12)))
    assembler, frames = quovel.FrameAssembler(), []
    for begin, end in zip([0, *cuts], [*cuts, len(stream)], strict=True):
        assembler.push(stream[begin:end])
        while (got := assembler.next_frame()) is not None:
            frames.append(got)
    assert frames == packets


# --- operations ------------------------------------------------------------

HINTS = {
    STATUS: "the lock refused the command",
    HANDSHAKE: "the handshake was refused, which points at the AES key or the protocol version",
}
ACTUATION_HINT = "the handshake succeeded, so the AES key and protocol version are right; this points at the unlock key"


def expected_outcome(kind: str, phase: int, command: int, status: int, data: bytes):
    """(exception class, message) or ("write" | "done", value) for a decodable reply."""
    want = STATUS if kind == "status" else (HANDSHAKE, ACTUATION_COMMAND[kind])[phase]
    if command != want:
        return quovel.UnexpectedCommand, f"unexpected response command: expected 0x{want:02x}, got 0x{command:02x}"
    if status != 0x01:
        hint = HINTS.get(want, ACTUATION_HINT)
        return quovel.QuovelError, f"command 0x{want:02x} failed with response byte 0x{status:02x} \u2014 {hint}"
    if kind == "status":
        if len(data) < 2:
            return quovel.QuovelError, "not enough response data for status byte"
        return "done", {0: "LOCKED", 1: "UNLOCKED"}.get(data[1], f"UNKNOWN:{data[1]}")
    if phase == 0:
        if len(data) < 4:
            return quovel.QuovelError, "not enough response data for check-user-time ps"
        return "write", int.from_bytes(data[:4], "big")
    return "done", None


@st.composite
def replies(draw):
    """A frame, its shape, and its (command, status, data) when it is a clean reply under KEY."""
    shape = draw(st.sampled_from(["clean", "clean", "clean", "other key", "bad crc", "cut", "random"]))
    if shape == "random":
        return draw(wire_bytes), shape, None
    command = draw(st.sampled_from([STATUS, HANDSHAKE, 0x58, 0x47]) | st.integers(0, 255))
    status = draw(st.sampled_from([0x01, 0x00]) | st.integers(0, 255))
    data = draw(st.binary(max_size=20))
    built = frame(command, status, data, key=OTHER_KEY if shape == "other key" else KEY)
    if shape == "bad crc":
        built = built[:-1] + bytes((built[-1] ^ draw(st.integers(1, 255)),))
    elif shape == "cut":
        built = built[: draw(st.integers(0, len(built) - 1))]
    return built, shape, (command, status, data) if shape == "clean" else None


def check_request(request: bytes, command: int, ps: int | None) -> None:
    parsed = parse_packet(request)
    assert parsed is not None and parsed.crc_ok and parsed.command == command
    plaintext = decrypt(KEY, parsed.ciphertext)
    if ps is None:
        return
    assert int.from_bytes(plaintext[:4], "big") == (ps + UNLOCK_KEY) % 2**32
    assert abs(int.from_bytes(plaintext[4:], "big") - time.time()) < 5


@bounded(200)
@given(st.sampled_from(sorted(OP_FACTORIES)), st.lists(replies(), min_size=1, max_size=6), st.booleans())
def test_operations_follow_the_step_rules(kind, frames, started):
    op = OP_FACTORIES[kind]()
    phase = None  # None: no reply expected
    if started:
        check_request(op.start()[1], STATUS if kind == "status" else HANDSHAKE, None)
        phase = 0
    for reply, shape, clean in frames:
        if phase is None:
            with pytest.raises(quovel.QuovelError, match="^received a frame when none was expected$"):
                op.handle_frame(reply)
            continue
        try:
            step = op.handle_frame(reply)
        except quovel.QuovelError as error:
            if clean is not None:
                assert (type(error), str(error)) == expected_outcome(kind, phase, *clean)
            elif shape == "bad crc":
                assert type(error) is quovel.CrcMismatch
            elif shape == "cut":
                assert type(error) is quovel.QuovelError
            continue  # the phase stays; checked by finishing below
        assert type(step) is tuple and len(step) == 2 and step[0] in ("write", "done")
        if clean is not None:
            tag, value = expected_outcome(kind, phase, *clean)
            assert step[0] == tag
            if tag == "write":
                check_request(step[1], ACTUATION_COMMAND[kind], value)
            else:
                assert step[1] == value
        phase = phase + 1 if step[0] == "write" else None
    # Whatever failed on the way, the operation still finishes from where it is.
    if phase is not None:
        for reply in good_replies(kind)[phase:]:
            step = op.handle_frame(reply)
        assert step[0] == "done"


# --- advertisements --------------------------------------------------------


def parse_model(company_id: int, data: bytes) -> dict[str, object]:
    """The decoding rules of one manufacturer-data entry."""
    full = bytes((company_id & 0xFF, company_id >> 8)) + data
    n = len(full)
    nothing = dict(
        kind="unrecognized",
        address=None,
        battery=None,
        is_unlocked=None,
        has_events=None,
        is_setting_mode=None,
        lock_version=None,
    )
    if n < 15:
        return nothing
    if full[:2] in (b"\x12\x19", b"\xff\xff"):
        return {**nothing, "kind": "dfu"}
    if full[:2] == b"\x05\x03":
        protocol_type, protocol_version, scene, state_at = 5, 3, full[2], 3
    else:
        protocol_type, protocol_version, scene, state_at = full[4], full[5], full[7], 8
    address = ":".join(f"{b:02X}" for b in reversed(full[-6:]))
    version = (protocol_type, protocol_version, scene, 1, 1)
    if protocol_type < 5 or (protocol_type == 5 and protocol_version == 1):
        return {**nothing, "kind": "stateless", "address": address, "lock_version": version}
    flags, battery = full[state_at], full[state_at + 1]
    return dict(
        kind="stateful",
        address=address,
        battery=battery if battery <= 100 else None,
        is_unlocked=bool(flags & 1),
        has_events=bool(flags & 2),
        is_setting_mode=bool(flags & 4),
        lock_version=version,
    )


def fields(ad: quovel.Advertisement) -> dict[str, object]:
    version = ad.lock_version
    return dict(
        kind=ad.kind,
        address=ad.address,
        battery=ad.battery,
        is_unlocked=ad.is_unlocked,
        has_events=ad.has_events,
        is_setting_mode=ad.is_setting_mode,
        lock_version=None
        if version is None
        else (version.protocol_type, version.protocol_version, version.scene, version.group_id, version.org_id),
    )


company_ids = st.sampled_from([0x0305, 0x1912, 0xFFFF, 0x19FF, 0xFF19, 0x1234, 0x0102]) | st.integers(0, 0xFFFF)
entry_data = st.binary(max_size=24) | st.builds(
    lambda head, address: head + address,
    st.lists(st.sampled_from([0, 1, 3, 5, 6, 100, 101, 255]) | st.integers(0, 255), min_size=7, max_size=12).map(bytes),
    st.sampled_from([bytes.fromhex("FFEEDDCCBBAA"), bytes.fromhex("0102030405a0")]) | st.binary(min_size=6, max_size=6),
)


@bounded(300)
@given(company_ids, entry_data)
def test_parsing_follows_the_model(company_id, data):
    assert fields(quovel.parse_advertisement(company_id, data)) == parse_model(company_id, data)


SCORE = {"unrecognized": 0, "dfu": 1, "stateless": 2, "stateful": 4}


def ascii_folded(text: str) -> bytes:
    return text.encode("utf-8", "surrogatepass").translate(
        bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", b"abcdefghijklmnopqrstuvwxyz")
    )


@st.composite
def maps_and_addresses(draw):
    entries = draw(st.dictionaries(company_ids, entry_data, max_size=6))
    addresses = [a for a in (quovel.parse_advertisement(k, v).address for k, v in entries.items()) if a]
    choices = [st.none(), st.text(max_size=20)]
    if addresses:
        choices.append(
            st.sampled_from(addresses).flatmap(
                lambda a: st.sampled_from([a, a.lower(), a.replace(":", ""), f" {a}", a.swapcase()])
            )
        )
    return entries, draw(st.one_of(choices))


@bounded(300)
@given(maps_and_addresses(), st.sampled_from([bytes, bytearray, list]))
def test_selection_is_the_best_score_then_the_lowest_identifier(case, container):
    entries, expected_address = case
    best_key = None
    for company_id, data in entries.items():
        ad = quovel.parse_advertisement(company_id, data)
        matches = (
            expected_address is not None
            and ad.address is not None
            and ascii_folded(expected_address) == ascii_folded(ad.address)
        )
        rank = (SCORE[ad.kind] + matches, -company_id)
        if best_key is None or rank > best_key[0]:
            best_key = (rank, company_id)
    chosen = quovel.select_advertisement({k: container(v) for k, v in entries.items()}, expected_address)
    if best_key is None:
        assert fields(chosen) == parse_model(0, b"")
    else:
        assert fields(chosen) == fields(quovel.parse_advertisement(best_key[1], entries[best_key[1]]))


# --- keys and credentials --------------------------------------------------


@bounded(300)
@given(st.text(max_size=60) | st.binary(max_size=60).map(lambda b: base64.b64encode(b).decode()))
def test_any_credential_text_decodes_or_raises_quovel_error(text):
    try:
        value = quovel.decode_credential(text)
    except quovel.QuovelError as error:
        assert type(error) is quovel.QuovelError and len(error.args) == 1
    else:
        assert 0 <= value <= 0xFFFFFFFF


@bounded(300)
@given(
    st.integers(0, 0xFFFFFFFF),
    st.integers(0, 40),
    st.booleans(),
    st.integers(0, 255),
    st.sampled_from(["", " ", "\n", ".", "..", "\u3000"]),
)
def test_encoded_credentials_decode_to_their_number(number, zeros, plus, key, around):
    digits = ("+" if plus else "") + "0" * zeros + str(number)
    text = encode_credential(digits.encode(), key)
    assert quovel.decode_credential(around.strip(".") + text + around) == number


key_material = st.one_of(
    st.text(max_size=40),
    st.binary(max_size=20),
    st.lists(st.integers(-2, 300), max_size=18),
    st.integers(),
    st.none(),
    st.floats(allow_nan=False),
    st.booleans(),
)


@bounded(300)
@given(key_material)
def test_key_normalisation_never_fails_otherwise(value):
    for normalize in (quovel.normalize_aes_key, quovel.normalize_unlock_key):
        try:
            result = normalize(value)
        except quovel.QuovelError as error:
            assert type(error) is quovel.QuovelError
            continue
        if normalize is quovel.normalize_aes_key:
            assert len(result) == 32 and result == result.lower() and bytes.fromhex(result)
        else:
            assert 1 <= result <= 0xFFFFFFFF and not isinstance(value, bool)


@bounded(200)
@given(st.binary(min_size=16, max_size=16), st.sampled_from(["", ":", " ", "\t"]), st.booleans())
def test_aes_key_texts_come_back_canonical(key, separator, upper):
    text = separator.join(f"{b:02X}" if upper else f"{b:02x}" for b in key)
    assert quovel.normalize_aes_key(text) == quovel.normalize_aes_key(list(key)) == key.hex()


# --- LockTracker -----------------------------------------------------------


class TrackerModel:
    """The tracker's state table, with positions as 'unlocked' booleans."""

    def __init__(self) -> None:
        self.state: tuple = ("unobserved",)
        self.last_heard: int | None = None
        self.battery: int | None = None
        self.version: tuple | None = None
        self.available = False

    def reported(self):
        if self.state[0] == "settled":
            return "UNLOCKED" if self.state[1] else "LOCKED"
        if self.state[0] == "in flight":
            return "LOCKING" if self.state[1] == "lock" else "UNLOCKING"
        return None

    def observable(self):
        position = (
            self.state[1] if self.state[0] == "settled" else (self.state[2] if self.state[0] == "in flight" else None)
        )
        return dict(
            reported_state=self.reported(),
            is_locked=None if position is None else not position,
            pending=self.state[1] if self.state[0] == "in flight" else None,
            available=self.available,
            battery=self.battery,
            lock_version=self.version,
        )

    def change(self, before):
        after = (self.reported(), self.available, self.battery)
        return {
            name for name, old, new in zip(("state", "available", "battery"), before, after, strict=True) if old != new
        }

    def snapshot(self):
        return (self.reported(), self.available, self.battery)

    def on_advertisement(self, now, ad):
        before = self.snapshot()
        if ad["kind"] == "stateful":
            self.state = ("settled", ad["is_unlocked"])
            if ad["battery"] is not None:
                self.battery = ad["battery"]
            self.version = ad["lock_version"]
        elif ad["kind"] == "stateless":
            self.version = ad["lock_version"]
        self.last_heard, self.available = now, True
        return self.change(before)

    def on_command_started(self, action):
        before = self.snapshot()
        last = (
            self.state[1] if self.state[0] == "settled" else (self.state[2] if self.state[0] == "in flight" else None)
        )
        self.state = ("in flight", action, last)
        return self.change(before)

    def on_command_acknowledged(self, now, action):
        before = self.snapshot()
        self.state = ("settled", action == "unlock")
        self.last_heard, self.available = now, True
        return self.change(before)

    def on_command_failed(self):
        return set()

    def credit_blind_time(self, blind):
        if self.last_heard is not None:
            self.last_heard = min(self.last_heard + blind, 2**64 - 1)

    def poll_availability(self, now, offline_after):
        if self.last_heard is not None and max(now - self.last_heard, 0) < offline_after:
            return set()
        return self.on_unavailable()

    def on_unavailable(self):
        before = self.snapshot()
        self.available = False
        if self.state[0] == "in flight":
            self.state = ("settled", self.state[2]) if self.state[2] is not None else ("unobserved",)
        return self.change(before)


times = st.integers(0, 3_000) | st.sampled_from([0, 2**64 - 1, 2**63])
actions = st.sampled_from(["lock", "unlock"])
ad_entries = st.sampled_from([(0x0305, 13), (0x0305, 3), (0x1912, 13), (0x1234, 13)]).flatmap(
    lambda shape: st.binary(min_size=shape[1], max_size=shape[1]).map(lambda data: (shape[0], data))
)
events = st.one_of(
    st.tuples(st.just("on_advertisement"), times, ad_entries),
    st.tuples(st.just("on_command_started"), actions),
    st.tuples(st.just("on_command_acknowledged"), times, actions),
    st.tuples(st.just("on_command_failed")),
    st.tuples(st.just("credit_blind_time"), times),
    st.tuples(st.just("poll_availability"), times, times),
    st.tuples(st.just("on_unavailable")),
    st.tuples(st.just("bad action"), st.text(alphabet="locknuLOCK \t", max_size=8)),
)


@bounded(300)
@given(st.lists(events, max_size=25))
def test_tracker_follows_the_state_table(sequence):
    tracker, model = quovel.LockTracker(), TrackerModel()
    for name, *arguments in sequence:
        if name == "bad action":
            (text,) = arguments
            if text in ("lock", "unlock"):
                continue
            before = fields_of(tracker)
            with pytest.raises(quovel.QuovelError) as raised:
                tracker.on_command_started(text)
            assert str(raised.value) == f"unknown actuation \"{text}\": expected 'lock' or 'unlock'".replace(
                "\t", "\\t"
            )
            assert fields_of(tracker) == before
            continue
        if name == "on_advertisement":
            now, (company_id, data) = arguments
            ad = quovel.parse_advertisement(company_id, data)
            assert tracker.on_advertisement(now, ad) == model.on_advertisement(now, fields(ad))
        else:
            result = getattr(tracker, name)(*arguments)
            assert result == getattr(model, name)(*arguments)
        assert fields_of(tracker) == model.observable()


def fields_of(tracker: quovel.LockTracker) -> dict[str, object]:
    version = tracker.lock_version
    return dict(
        reported_state=tracker.reported_state,
        is_locked=tracker.is_locked,
        pending=tracker.pending,
        available=tracker.available,
        battery=tracker.battery,
        lock_version=None
        if version is None
        else (version.protocol_type, version.protocol_version, version.scene, version.group_id, version.org_id),
    )


# --- exchanges with the simulated lock --------------------------------------


def drive(lock: quovel_sim.SimulatedLock, op) -> object:
    """Runs `op` as a caller does: skipping stray frames, retrying CRC faults."""
    assembler = quovel.FrameAssembler()
    for attempt in range(quovel.CRC_RETRIES + 1):
        step = op.start()
        try:
            while step[0] == "write":
                for offset in range(0, len(step[1]), quovel.WRITE_CHUNK):
                    for notification in lock.write(step[1][offset : offset + quovel.WRITE_CHUNK]):
                        assembler.push(notification)
                strays = 0
                while True:
                    received = assembler.next_frame()
                    assert received is not None, "the lock sent no reply"
                    try:
                        step = op.handle_frame(received)
                        break
                    except quovel.UnexpectedCommand:
                        strays += 1
                        assert strays <= quovel.MAX_STRAY_FRAMES
            return step[1]
        except quovel.CrcMismatch:
            if attempt == quovel.CRC_RETRIES:
                raise
    raise AssertionError("unreachable")


@bounded(60)
@given(
    st.sampled_from(sorted(OP_FACTORIES)),
    st.booleans(),
    st.integers(0, quovel.CRC_RETRIES + 1),
    st.integers(0, quovel.MAX_STRAY_FRAMES),
    st.booleans(),
    st.integers(1, 25),
    st.integers(1, 0xFFFFFFFF),
)
def test_random_exchanges_with_the_simulated_lock(kind, locked, corrupt, strays, split, chunk, unlock_key):
    faults = quovel_sim.Faults(corrupt_crc=corrupt, stray_frames=strays, split_every_byte=split)
    lock = quovel_sim.SimulatedLock(
        aes_key=KEY, unlock_key=unlock_key, locked=locked, notify_chunk=chunk, faults=faults
    )
    op = {
        "status": lambda: quovel.StatusOp(KEY),
        "lock": lambda: quovel.LockOp(KEY, unlock_key),
        "unlock": lambda: quovel.UnlockOp(KEY, unlock_key),
    }[kind]()
    if corrupt > quovel.CRC_RETRIES:
        with pytest.raises(quovel.CrcMismatch):
            drive(lock, op)
        return
    result = drive(lock, op)
    if kind == "status":
        assert result == ("LOCKED" if locked else "UNLOCKED")
    else:
        assert result is None and lock.locked is (kind == "lock")
        assert lock.actuations and lock.actuations[-1].accepted
