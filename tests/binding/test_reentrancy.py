"""Caller code that runs while a method holds its object, and threads.

Python code can run inside a call only where the binding calls back into the
interpreter: converting an integer argument through ``__index__``, or creating
the exception that a failed call raises (the exception classes are ordinary
classes, so a caller can give them an ``__init__``). Code that reaches back
into the held object must get ``RuntimeError`` and leave the object intact.
"""

from __future__ import annotations

import contextlib
import random
import sys
import threading
from collections.abc import Callable, Iterator

import pytest
from support.samples import (
    ACTUATION_COMMAND,
    HANDSHAKE,
    KEY,
    OP_FACTORIES,
    STATUS,
    UNLOCK_KEY,
    frame,
    good_replies,
    packet,
    stateful,
    stateless,
    with_crc,
)

import quovel

BORROWED = "Already borrowed"
MUTABLY_BORROWED = "Already mutably borrowed"


class CallsBack:
    """An integer argument whose conversion first runs `action`."""

    def __init__(self, value: int, action: Callable[[], object], *, propagate: bool = False) -> None:
        self.value = value
        self.action = action
        self.propagate = propagate
        self.seen: list[str] = []

    def __index__(self) -> int:
        try:
            self.action()
        except RuntimeError as exc:
            self.seen.append(str(exc))
            if self.propagate:
                raise
        return self.value


@contextlib.contextmanager
def init_calls_back(cls: type, action: Callable[[], object], seen: list[str], *, propagate: bool) -> Iterator[None]:
    """Makes creating an exception of `cls` run `action` first."""

    def __init__(self: BaseException, *args: object) -> None:
        try:
            action()
        except RuntimeError as exc:
            seen.append(str(exc))
            if propagate:
                raise
        Exception.__init__(self, *args)

    cls.__init__ = __init__  # type: ignore[misc]
    try:
        yield
    finally:
        del cls.__init__


# --- LockTracker ---------------------------------------------------------

TRACKER_METHODS: dict[str, Callable[[quovel.LockTracker], object]] = {
    "on_advertisement": lambda t: t.on_advertisement(1, stateful()),
    "on_command_started": lambda t: t.on_command_started("lock"),
    "on_command_acknowledged": lambda t: t.on_command_acknowledged(1, "lock"),
    "on_command_failed": lambda t: t.on_command_failed(),
    "on_status": lambda t: t.on_status(1, "LOCKED"),
    "credit_blind_time": lambda t: t.credit_blind_time(1),
    "poll_availability": lambda t: t.poll_availability(1, 1),
    "on_unavailable": lambda t: t.on_unavailable(),
}
TRACKER_PROPERTIES = ["reported_state", "is_locked", "pending", "available", "battery", "lock_version"]
REENTRIES = [(name, call, BORROWED) for name, call in TRACKER_METHODS.items()] + [
    (name, (lambda t, n=name: getattr(t, n)), MUTABLY_BORROWED) for name in TRACKER_PROPERTIES
]

# Each integer argument of the tracker, given `x` in its place.
INTEGER_ARGUMENTS: dict[str, Callable[[quovel.LockTracker, object], object]] = {
    "on_advertisement.now_ms": lambda t, x: t.on_advertisement(x, stateful(unlocked=True, battery=40)),
    "on_command_acknowledged.now_ms": lambda t, x: t.on_command_acknowledged(x, "lock"),
    "credit_blind_time.blind_ms": lambda t, x: t.credit_blind_time(x),
    "on_status.now_ms": lambda t, x: t.on_status(x, "LOCKED"),
    "on_status.now_ms, failed": lambda t, x: t.on_status(x, None),
    "poll_availability.now_ms": lambda t, x: t.poll_availability(x, 10_000),
    "poll_availability.offline_after_ms": lambda t, x: t.poll_availability(5_000, x),
}


def snapshot(tracker: quovel.LockTracker) -> tuple[object, ...]:
    version = tracker.lock_version
    fields = None if version is None else (version.protocol_type, version.protocol_version, version.scene)
    return (tracker.reported_state, tracker.is_locked, tracker.pending, tracker.available, tracker.battery, fields)


def busy_tracker() -> quovel.LockTracker:
    tracker = quovel.LockTracker()
    tracker.on_advertisement(1_000, stateful(unlocked=False, battery=70))
    tracker.on_command_started("unlock")
    return tracker


@pytest.mark.parametrize("call", INTEGER_ARGUMENTS.values(), ids=INTEGER_ARGUMENTS.keys())
@pytest.mark.parametrize(("reentry", "expected"), [(c, e) for _, c, e in REENTRIES], ids=[n for n, _, _ in REENTRIES])
def test_tracker_reentry_from_an_integer_argument(call, reentry, expected):
    tracker, twin = busy_tracker(), busy_tracker()
    before = snapshot(tracker)

    propagating = CallsBack(5_000, lambda: reentry(tracker), propagate=True)
    with pytest.raises(RuntimeError) as raised:
        call(tracker, propagating)
    assert str(raised.value) == expected
    assert snapshot(tracker) == before

    # Swallowed inside the conversion: the outer call completes as if plain.
    swallowing = CallsBack(5_000, lambda: reentry(tracker))
    assert call(tracker, swallowing) == call(twin, 5_000)
    assert swallowing.seen == [expected]
    assert snapshot(tracker) == snapshot(twin)
    assert tracker.on_unavailable() == twin.on_unavailable()
    assert snapshot(tracker) == snapshot(twin)


@pytest.mark.parametrize("propagate", [False, True])
@pytest.mark.parametrize(
    "call",
    [lambda t: t.on_command_started("open"), lambda t: t.on_command_acknowledged(7, "Lock")],
    ids=["on_command_started", "on_command_acknowledged"],
)
def test_tracker_reentry_while_raising_the_action_error(call, propagate):
    tracker = busy_tracker()
    before = snapshot(tracker)
    seen: list[str] = []
    with init_calls_back(quovel.QuovelError, tracker.on_unavailable, seen, propagate=propagate):
        with pytest.raises(RuntimeError if propagate else quovel.QuovelError) as raised:
            call(tracker)
    assert seen == [BORROWED]
    if not propagate:
        assert str(raised.value).startswith("unknown actuation ")
    assert snapshot(tracker) == before
    assert tracker.on_unavailable() == {"state", "available"}


def test_other_objects_may_be_used_from_inside_a_call():
    # The assembler's methods take only bytes and raise no error of this
    # module, so no caller code can run while they hold it; it, like any
    # other object, is free while a different object is held.
    tracker, other = busy_tracker(), quovel.LockTracker()
    assembler, op = quovel.FrameAssembler(), quovel.StatusOp(KEY)

    def use_others() -> None:
        other.on_command_started("lock")
        assembler.push(packet(STATUS, 0x01, b"\x00\x01"))
        assert op.handle_frame(assembler.next_frame()) == ("done", "UNLOCKED")

    inner = CallsBack(2_000, use_others)
    op.start()
    assert tracker.on_advertisement(inner, stateful(unlocked=True, battery=70)) == {"state"}
    assert inner.seen == []
    assert (other.reported_state, assembler.next_frame()) == ("LOCKING", None)


# --- StatusOp, LockOp, UnlockOp -------------------------------------------


def failing_frame(kind: str, phase: int, error: type) -> bytes:
    """A frame that the operation, `phase` replies in, rejects with `error`."""
    expected = STATUS if kind == "status" else (HANDSHAKE, ACTUATION_COMMAND[kind])[phase]
    if error is quovel.CrcMismatch:
        good = good_replies(kind)[phase]
        return with_crc(good, good[-1] ^ 0xFF)
    if error is quovel.UnexpectedCommand:
        return frame(expected ^ 0x01, 0x01, bytes(4))
    return frame(expected, 0x00, bytes(4))  # refused


def in_phase(kind: str, phase: int):
    op = OP_FACTORIES[kind]()
    op.start()
    for reply in good_replies(kind)[:phase]:
        op.handle_frame(reply)
    return op


OP_PHASES = [("status", 0), ("lock", 0), ("lock", 1), ("unlock", 0), ("unlock", 1)]


@pytest.mark.parametrize("propagate", [False, True])
@pytest.mark.parametrize("error", [quovel.CrcMismatch, quovel.UnexpectedCommand, quovel.QuovelError])
@pytest.mark.parametrize(("kind", "phase"), OP_PHASES)
def test_operation_reentry_while_raising(kind, phase, error, propagate):
    op = in_phase(kind, phase)
    replies = good_replies(kind)
    seen: list[str] = []
    reach_back = lambda: (op.start(), op.handle_frame(replies[phase]))  # noqa: E731
    with init_calls_back(error, reach_back, seen, propagate=propagate):
        with pytest.raises(RuntimeError if propagate else error) as raised:
            op.handle_frame(failing_frame(kind, phase, error))
    assert seen == [BORROWED]
    if not propagate:
        assert type(raised.value) is error
    # Still waiting for the same reply: the rest of the exchange goes through.
    for reply in replies[phase:-1]:
        assert op.handle_frame(reply)[0] == "write"
    assert op.handle_frame(replies[-1])[0] == "done"


@pytest.mark.parametrize("kind", OP_FACTORIES)
def test_operation_reentry_while_refusing_an_unexpected_frame(kind):
    op, twin = OP_FACTORIES[kind](), OP_FACTORIES[kind]()
    seen: list[str] = []
    with init_calls_back(quovel.QuovelError, op.start, seen, propagate=False):
        with pytest.raises(quovel.QuovelError, match="^received a frame when none was expected$"):
            op.handle_frame(b"")
    assert seen == [BORROWED]
    assert op.start() == twin.start()


# --- immutable values, and caller code touching other objects --------------


def test_immutable_values_may_be_read_inside_any_call():
    version = quovel.LockVersion(6, 7, 8, 9, 10)
    ad = stateless()

    def read_all() -> None:
        assert (version.protocol_type, version.org_id, repr(version)[:12]) == (6, 10, "LockVersion(")
        assert (ad.kind, ad.lock_version.protocol_version, ad.address) == ("stateless", 7, "00:00:00:00:00:00")

    tracker = quovel.LockTracker()
    inner = CallsBack(3, read_all)
    assert tracker.on_advertisement(inner, ad) == {"available"}
    assert tracker.lock_version.protocol_version == 7
    # An operation's key bytes may read the version it is being built with.
    key = [CallsBack(b, read_all) for b in KEY]
    assert quovel.StatusOp(key, version).start() == quovel.StatusOp(KEY, version).start()
    assert inner.seen == [] and all(item.seen == [] for item in key)


# --- caller code that alters a map or a sequence while it is converted -----


def test_map_that_grows_while_converted_fails_cleanly():
    data = {0x0305: b"\x02" * 13}
    data[0x0400] = [CallsBack(1, lambda: data.__setitem__(0x0500, b""))]
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        quovel.select_advertisement(data)


def test_map_whose_keys_change_while_converted_fails_cleanly():
    data: dict[int, object] = {0x0100: b"", 0x0200: b""}
    data[0x0300] = [CallsBack(1, lambda: (data.pop(0x0100), data.__setitem__(0x0600, b"")))]
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        quovel.select_advertisement(data)


def test_value_replaced_after_conversion_is_read_as_it_was():
    # The dict holds the only reference to this entry's bytes.
    data: dict[int, object] = {0x0305: bytes((2, 0x01, 55)) + bytes(4) + bytes.fromhex("060504030201")}
    data[0x0400] = [CallsBack(1, lambda: data.__setitem__(0x0305, b"\x00"))]
    best = quovel.select_advertisement(data)
    assert (best.kind, best.address, best.battery) == ("stateful", "01:02:03:04:05:06", 55)


def test_sequence_that_shrinks_while_converted_fails_cleanly():
    items: list[object] = []
    items += [CallsBack(1, items.clear)] + list(range(15))
    with pytest.raises(quovel.QuovelError, match="^AES key must be 32 hex characters or 16 bytes$"):
        quovel.normalize_aes_key(items)
    shrinking: list[object] = []
    shrinking += [CallsBack(1, shrinking.clear), 2, 3]
    with pytest.raises(IndexError):
        quovel.select_advertisement({1: shrinking})


class ClaimsToBeHuge:
    """A sequence whose __len__ claims far more items than it yields."""

    def __len__(self) -> int:
        return 2**62

    def __getitem__(self, index: int) -> int:
        if index >= 16:
            raise IndexError(index)
        return 7


def test_a_sequence_length_is_not_trusted_for_allocation():
    # Reserving the claimed length used to fail with MemoryError (and abort
    # a sanitized build) before a single item was read.
    with pytest.raises(quovel.QuovelError, match="^AES key must be 32 hex characters or 16 bytes$"):
        quovel.normalize_aes_key(ClaimsToBeHuge())
    with pytest.raises(IndexError):
        quovel.select_advertisement({1: ClaimsToBeHuge()})


# --- threads --------------------------------------------------------------

THREADS = 8
ROUNDS = 150


def drive(op, replies: list[bytes], assembler: quovel.FrameAssembler, rng: random.Random) -> object:
    """Runs one exchange, pushing each reply packet in random chunks."""
    step = op.start()
    for reply in replies:
        assert step[0] == "write"
        stream = reply + b"\r\n"
        while stream:
            cut = rng.randint(1, 20)
            assembler.push(stream[:cut])
            stream = stream[cut:]
        received = assembler.next_frame()
        assert received == reply and assembler.next_frame() is None
        step = op.handle_frame(received)
    assert step[0] == "done"
    return step[1]


def hammer(seed: int, shared_version: quovel.LockVersion, shared_ad: quovel.Advertisement) -> None:
    rng = random.Random(seed)
    assembler, tracker = quovel.FrameAssembler(), quovel.LockTracker()
    status, unlock = quovel.StatusOp(KEY, shared_version), quovel.UnlockOp(KEY, UNLOCK_KEY, shared_version)
    lock = quovel.LockOp(KEY, UNLOCK_KEY, shared_version)
    state_byte = seed % 2
    status_reply = frame(STATUS, 0x01, bytes((90, state_byte)))
    settled = None
    for round_ in range(ROUNDS):
        now = seed * 1_000_000 + round_ * 10
        assert drive(status, [status_reply], assembler, rng) == ("LOCKED", "UNLOCKED")[state_byte]
        expected = {"available"} | ({"state"} if settled != "UNLOCKED" else set())
        expected |= {"battery"} if settled is None else set()
        assert tracker.on_advertisement(now, shared_ad) == expected
        action, op = rng.choice([("lock", lock), ("unlock", unlock)])
        assert tracker.on_command_started(action) == {"state"}
        assert tracker.pending == action
        assert drive(op, good_replies(action), assembler, rng) is None
        assert tracker.on_command_acknowledged(now + 1, action) == {"state"}
        settled = tracker.reported_state
        assert settled == ("LOCKED" if action == "lock" else "UNLOCKED")
        assert tracker.poll_availability(now + 6, 5) == {"available"}
        assert (shared_version.scene, shared_ad.battery) == (2, 40)
        with pytest.raises(quovel.CrcMismatch):
            status.start()
            status.handle_frame(with_crc(status_reply, status_reply[-1] ^ 1))


def test_separate_objects_from_many_threads():
    shared_version = quovel.LockVersion()
    shared_ad = stateful(unlocked=True, battery=40)
    barrier = threading.Barrier(THREADS)
    failures: list[BaseException] = []

    def run(seed: int) -> None:
        try:
            barrier.wait()
            hammer(seed, shared_version, shared_ad)
        except BaseException as exc:  # reported below, with the thread's seed
            failures.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
