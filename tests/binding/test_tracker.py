"""LockTracker: change sets of event sequences, action parsing, times; and the
connect back-off schedule."""

from __future__ import annotations

import pytest

import quovel
from quovel import LockTracker, parse_advertisement

ADDRESS = bytes.fromhex("AABBCCDDEEFF")
U64_MAX = 2**64 - 1


def stateful(unlocked: bool, battery: int) -> quovel.Advertisement:
    return parse_advertisement(0x0305, bytes([2, int(unlocked), battery]) + bytes(4) + ADDRESS)


LOCKED_80 = stateful(False, 80)
LOCKED_50 = stateful(False, 50)
UNLOCKED_NO_BATTERY = stateful(True, 200)
LOCKED_NO_BATTERY = stateful(False, 101)
STATELESS = parse_advertisement(0x1234, bytes([0, 0, 3, 1, 0, 7, 0, 0]) + ADDRESS)
DFU = parse_advertisement(0x1912, bytes(13))
UNRECOGNIZED = parse_advertisement(0x0305, b"")

V3 = "LockVersion(protocol_type=5, protocol_version=3, scene=2, group_id=1, org_id=1)"
V_STATELESS = "LockVersion(protocol_type=3, protocol_version=1, scene=7, group_id=1, org_id=1)"


def snapshot(tracker: LockTracker) -> tuple:
    version = tracker.lock_version
    return (
        tracker.reported_state,
        tracker.pending,
        tracker.is_locked,
        tracker.available,
        tracker.battery,
        None if version is None else repr(version),
    )


def apply(tracker: LockTracker, event: tuple) -> object:
    name, *args = event
    return getattr(tracker, name)(*args)


def ad(now_ms: int, advertisement: quovel.Advertisement) -> tuple:
    return ("on_advertisement", now_ms, advertisement)


def start(action: str) -> tuple:
    return ("on_command_started", action)


def ack(now_ms: int, action: str) -> tuple:
    return ("on_command_acknowledged", now_ms, action)


def poll(now_ms: int, offline_after_ms: int) -> tuple:
    return ("poll_availability", now_ms, offline_after_ms)


def status(now_ms: int, text: str | None) -> tuple:
    return ("on_status", now_ms, text)


FAILED = ("on_command_failed",)
UNAVAILABLE = ("on_unavailable",)


def blind(ms: int) -> tuple:
    return ("credit_blind_time", ms)


S, A, B = "state", "available", "battery"
NEW = (None, None, None, False, None, None)
LOCKED = ("LOCKED", None, True, True, 80, V3)

# (events with the change set each returns, state afterwards as in snapshot())
SCENARIOS = {
    "new tracker": ([], NEW),
    "stateful locked, then again": ([(ad(1, LOCKED_80), {S, A, B}), (ad(2, LOCKED_80), set())], LOCKED),
    "dfu on a new tracker": ([(ad(1, DFU), {A})], (None, None, None, True, None, None)),
    "unrecognized on a new tracker": ([(ad(1, UNRECOGNIZED), {A})], (None, None, None, True, None, None)),
    "stateless on a new tracker": ([(ad(1, STATELESS), {A})], (None, None, None, True, None, V_STATELESS)),
    "stateless keeps state and battery": (
        [(ad(1, LOCKED_80), {S, A, B}), (ad(2, STATELESS), set())],
        ("LOCKED", None, True, True, 80, V_STATELESS),
    ),
    "dfu keeps the version": ([(ad(1, LOCKED_80), {S, A, B}), (ad(2, DFU), set())], LOCKED),
    "stateful without battery keeps it": (
        [(ad(1, LOCKED_80), {S, A, B}), (ad(2, UNLOCKED_NO_BATTERY), {S})],
        ("UNLOCKED", None, False, True, 80, V3),
    ),
    "battery changes alone": (
        [(ad(1, LOCKED_80), {S, A, B}), (ad(2, LOCKED_50), {B})],
        ("LOCKED", None, True, True, 50, V3),
    ),
    "no battery on a new tracker": ([(ad(1, LOCKED_NO_BATTERY), {S, A})], ("LOCKED", None, True, True, None, V3)),
    "unlock from locked, fail, unavailable": (
        [(ad(1, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (FAILED, set()), (UNAVAILABLE, {S, A})],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "in flight stays after failure": (
        [(ad(1, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (FAILED, set())],
        ("UNLOCKING", "unlock", True, True, 80, V3),
    ),
    "lock on a new tracker, unavailable": ([(start("lock"), {S}), (UNAVAILABLE, {S})], NEW),
    "lock on a new tracker": ([(start("lock"), {S})], ("LOCKING", "lock", None, False, None, None)),
    "lock twice": ([(start("lock"), {S}), (start("lock"), set())], ("LOCKING", "lock", None, False, None, None)),
    "restart keeps the carried position": (
        [
            (ad(1, UNLOCKED_NO_BATTERY), {S, A}),
            (start("lock"), {S}),
            (start("unlock"), {S}),
            (start("lock"), {S}),
            (UNAVAILABLE, {S, A}),
        ],
        ("UNLOCKED", None, False, False, None, V3),
    ),
    "acknowledged other action while locking": (
        [(start("lock"), {S}), (ack(5, "unlock"), {S, A})],
        ("UNLOCKED", None, False, True, None, None),
    ),
    "acknowledged while available": (
        [(ad(1, LOCKED_80), {S, A, B}), (start("lock"), {S}), (ack(5, "unlock"), {S})],
        ("UNLOCKED", None, False, True, 80, V3),
    ),
    "acknowledged from unobserved": ([(ack(5, "lock"), {S, A})], ("LOCKED", None, True, True, None, None)),
    "acknowledged matching settled": ([(ad(1, LOCKED_80), {S, A, B}), (ack(5, "lock"), set())], LOCKED),
    "stateful drops the command in flight": (
        [(ad(1, UNLOCKED_NO_BATTERY), {S, A}), (start("unlock"), {S}), (ad(2, LOCKED_80), {S, B})],
        LOCKED,
    ),
    "unavailable while settled": (
        [(ad(1, LOCKED_80), {S, A, B}), (UNAVAILABLE, {A}), (UNAVAILABLE, set())],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "poll below and at the limit": (
        [(ad(600, LOCKED_80), {S, A, B}), (poll(1000, 500), set()), (poll(1100, 500), {A})],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "poll before the last advertisement": (
        [(ad(1000, LOCKED_80), {S, A, B}), (poll(500, 1), set()), (poll(0, 1), set()), (poll(500, 0), {A})],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "an earlier advertisement moves the time back": (
        [(ad(1000, DFU), {A}), (ad(100, DFU), set()), (poll(700, 600), {A})],
        (None, None, None, False, None, None),
    ),
    "poll expires a command in flight": (
        [(ad(0, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (poll(10, 10), {S, A})],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "poll on a tracker that never heard anything": ([(poll(0, U64_MAX), set())], NEW),
    "poll after a command on a silent tracker": ([(start("lock"), {S}), (poll(0, U64_MAX), {S})], NEW),
    "acknowledgement counts as heard": (
        [(ack(1000, "lock"), {S, A}), (poll(1499, 500), set()), (poll(1500, 500), {A})],
        ("LOCKED", None, True, False, None, None),
    ),
    "blind time postpones expiry": (
        [(ad(600, DFU), {A}), (blind(300), None), (poll(1100, 500), set()), (poll(1400, 500), {A})],
        (None, None, None, False, None, None),
    ),
    "blind time on a silent tracker": ([(start("lock"), {S}), (blind(10**6), None), (poll(0, 10**9), {S})], NEW),
    "blind time saturates": (
        [
            (ad(600, DFU), {A}),
            (blind(U64_MAX), None),
            (poll(U64_MAX, 1), set()),
            (blind(1), None),
            (poll(U64_MAX, 1), set()),
        ],
        (None, None, None, True, None, None),
    ),
    "status settles a failed command": (
        [(ad(1, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (FAILED, set()), (status(5, "UNLOCKED"), {S})],
        ("UNLOCKED", None, False, True, 80, V3),
    ),
    "stateless advertisements and a status answer": (
        [(ad(1, STATELESS), {A}), (status(2, "LOCKED"), {S}), (ad(3, STATELESS), set())],
        ("LOCKED", None, True, True, None, V_STATELESS),
    ),
    "unknown answer ends a command at the carried position": (
        [(ad(1, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (FAILED, set()), (status(5, "UNKNOWN:2"), {S})],
        LOCKED,
    ),
    "unknown answer keeps a settled state": (
        [(ad(1, LOCKED_80), {S, A, B}), (UNAVAILABLE, {A}), (status(5, "UNKNOWN:255"), {A})],
        LOCKED,
    ),
    "unknown answer on a new tracker": ([(status(5, "UNKNOWN:7"), {A})], (None, None, None, True, None, None)),
    "failed query ends a command without hearing the lock": (
        [(start("lock"), {S}), (FAILED, set()), (status(5, None), {S}), (status(6, None), set())],
        NEW,
    ),
    "failed query keeps availability and the time heard": (
        [(ad(1000, LOCKED_80), {S, A, B}), (start("unlock"), {S}), (status(2000, None), {S}), (poll(1500, 500), {A})],
        ("LOCKED", None, True, False, 80, V3),
    ),
    "status answer counts as heard": (
        [(status(1000, "UNLOCKED"), {S, A}), (poll(1499, 500), set()), (poll(1500, 500), {A})],
        ("UNLOCKED", None, False, False, None, None),
    ),
    "time extremes": (
        [
            (ad(U64_MAX, DFU), {A}),
            (poll(0, 1), set()),
            (poll(U64_MAX, 0), {A}),
            (ack(0, "unlock"), {S, A}),
            (poll(U64_MAX, U64_MAX), {A}),
        ],
        ("UNLOCKED", None, False, False, None, None),
    ),
}


@pytest.mark.parametrize(("steps", "after"), SCENARIOS.values(), ids=list(SCENARIOS))
def test_scenario(steps: list[tuple[tuple, set | None]], after: tuple) -> None:
    tracker = LockTracker()
    for event, changes in steps:
        result = apply(tracker, event)
        assert result == changes, event
        if changes is not None:
            assert type(result) is set
    assert snapshot(tracker) == after


def test_change_sets_are_new_objects() -> None:
    tracker = LockTracker()
    first, second = tracker.on_command_failed(), tracker.on_command_failed()
    first.add("x")
    assert second == set()


def test_lock_version_is_a_new_object_on_every_read() -> None:
    tracker = LockTracker()
    tracker.on_advertisement(0, LOCKED_80)
    assert tracker.lock_version is not tracker.lock_version


@pytest.mark.parametrize(
    ("text", "shown"),
    [
        ("open", '"open"'),
        ("Lock", '"Lock"'),
        (" lock", '" lock"'),
        ("unlock\n", '"unlock\\n"'),
        ("", '""'),
        ('say "lock"', '"say \\"lock\\""'),
        ("back\\slash", '"back\\\\slash"'),
        ("tab\there\r", '"tab\\there\\r"'),
        ("nul\0", '"nul\\0"'),
        ("sch\u00f6n", '"sch\u00f6n"'),
        ("it's", '"it\'s"'),
    ],
)
@pytest.mark.parametrize("method", ["start", "ack"])
def test_unknown_action_leaves_the_tracker_unchanged(text: str, shown: str, method: str) -> None:
    tracker = LockTracker()
    tracker.on_advertisement(0, LOCKED_80)
    tracker.on_command_started("unlock")
    before = snapshot(tracker)
    with pytest.raises(quovel.QuovelError) as raised:
        if method == "start":
            tracker.on_command_started(text)
        else:
            tracker.on_command_acknowledged(10_000, text)
    assert type(raised.value) is quovel.QuovelError
    assert raised.value.args == (f"unknown actuation {shown}: expected 'lock' or 'unlock'",)
    assert snapshot(tracker) == before
    # The refused acknowledgement did not count as hearing the lock.
    assert tracker.poll_availability(10_000, 10_000) == {"state", "available"}


@pytest.mark.parametrize("text", ["locked", " LOCKED", "LOCKED\n", "LOCKING", "", "UNKNOWN", "LOCKED\udcff", "\ud800"])
def test_status_texts_other_than_the_positions_name_none(text: str) -> None:
    tracker = LockTracker()
    tracker.on_advertisement(0, UNLOCKED_NO_BATTERY)
    tracker.on_command_started("lock")
    assert tracker.on_status(5, text) == {"state"}
    assert snapshot(tracker) == ("UNLOCKED", None, False, True, None, V3)


@pytest.mark.parametrize("value", [b"LOCKED", 1, ("LOCKED",)])
def test_status_must_be_text_or_none(value: object) -> None:
    tracker = LockTracker()
    tracker.on_command_started("lock")
    before = snapshot(tracker)
    with pytest.raises(TypeError, match="status"):
        tracker.on_status(5, value)
    assert snapshot(tracker) == before


def test_other_control_characters_are_escaped() -> None:
    with pytest.raises(quovel.QuovelError) as raised:
        LockTracker().on_command_started("\x1b\x7f")
    message = str(raised.value)
    assert "\x1b" not in message and "\x7f" not in message
    assert message.endswith(": expected 'lock' or 'unlock'")


TIME_ARGUMENTS = {
    "on_advertisement": lambda t, v: t.on_advertisement(v, DFU),
    "on_command_acknowledged": lambda t, v: t.on_command_acknowledged(v, "lock"),
    "on_status": lambda t, v: t.on_status(v, "LOCKED"),
    "on_status failed": lambda t, v: t.on_status(v, None),
    "credit_blind_time": lambda t, v: t.credit_blind_time(v),
    "poll_availability now_ms": lambda t, v: t.poll_availability(v, 0),
    "poll_availability offline_after_ms": lambda t, v: t.poll_availability(0, v),
}


@pytest.mark.parametrize("call", TIME_ARGUMENTS.values(), ids=list(TIME_ARGUMENTS))
def test_time_extremes(call) -> None:
    tracker = LockTracker()
    call(tracker, 0)
    call(tracker, U64_MAX)
    before = snapshot(tracker)
    for value in (2**64, -1):
        with pytest.raises(OverflowError):
            call(tracker, value)
        assert snapshot(tracker) == before


def test_credit_blind_time_returns_none() -> None:
    tracker = LockTracker()
    assert tracker.credit_blind_time(5) is None
    tracker.on_advertisement(0, DFU)
    assert tracker.credit_blind_time(5) is None


# ---------------------------------------------------------------- back-off


@pytest.mark.parametrize(
    ("attempt", "seconds"),
    [(0, 0.75), (1, 0.75), (2, 1.5), (3, 3.0), (4, 4.0), (5, 4.0), (1000, 4.0), (4294967295, 4.0)],
)
def test_connect_backoff(attempt: int, seconds: float) -> None:
    result = quovel.connect_backoff(attempt)
    assert type(result) is float
    assert result == seconds


@pytest.mark.parametrize(("attempt", "error"), [(-1, OverflowError), (4294967296, OverflowError), ("1", TypeError)])
def test_connect_backoff_refuses(attempt: object, error: type) -> None:
    with pytest.raises(error):
        quovel.connect_backoff(attempt)
