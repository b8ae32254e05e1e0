"""Leak check: every public callable and property, on success and on each
error path, called in three batches. After a warm-up batch, the reference
counts of shared objects (the exception classes, the class objects, tags and
kind texts, None) must not move, and neither the interpreter's traced memory
nor the C heap may grow from the second batch to the third.

QUOVEL_LEAK_ITERATIONS sets the batch size (`scripts/nox -s leak_check` uses a large
one and prints the figures; run pytest with -s to see them).
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tracemalloc
from collections.abc import Callable

import pytest
from support import SANITIZED, SLOW
from support.samples import (
    HANDSHAKE,
    KEY,
    LOCK,
    STATUS,
    UNLOCK,
    UNLOCK_KEY,
    actuation_reply,
    dfu,
    encode_credential,
    frame,
    handshake_reply,
    packet,
    raw_frame,
    stateful,
    stateful_data,
    stateless,
    status_reply,
    unrecognized,
    with_crc,
)

import quovel

ITERATIONS = int(os.environ.get("QUOVEL_LEAK_ITERATIONS", "100" if SLOW else "400"))
# A leak costs at least 16 bytes a call; half of that per call, plus a little
# slack for the allocators' own bookkeeping, separates it from noise.
GROWTH_LIMIT = 8 * ITERATIONS + 2048

TEXTS = ["write", "done", "state", "available", "battery", "unrecognized", "dfu", "stateless", "stateful"]
WATCHED: dict[str, object] = {
    "QuovelError": quovel.QuovelError,
    "CrcMismatch": quovel.CrcMismatch,
    "UnexpectedCommand": quovel.UnexpectedCommand,
    "None": None,
    "True": True,
    "False": False,
    **{f'"{text}"': sys.intern(text) for text in TEXTS},
    **{
        name: getattr(quovel, name)
        for name in ["LockVersion", "Advertisement", "FrameAssembler", "StatusOp", "LockOp", "UnlockOp", "LockTracker"]
    },
}


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _heap_reader() -> Callable[[], int] | None:
    """Bytes in use on the C heap (glibc), or None where that cannot be read."""
    if SANITIZED:
        return None  # the sanitizer's allocator keeps its own books
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use() -> int:
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_reader()


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def raising(error: type[BaseException], call: Callable[..., object], *args: object, **kwargs: object):
    """One call that must raise exactly `error`."""

    def run() -> None:
        try:
            call(*args, **kwargs)
        except error as exc:
            assert type(exc) is error, type(exc)
        else:
            raise AssertionError(f"{call} did not raise {error.__name__}")

    return run


# --- the scenarios -------------------------------------------------------


class BadIndex:
    def __index__(self) -> int:
        raise ValueError("no index")


def ad_properties(ad: quovel.Advertisement) -> Callable[[], object]:
    return lambda: (ad.kind, ad.address, ad.battery, ad.is_unlocked, ad.has_events, ad.is_setting_mode, ad.lock_version)


def exchange(make: Callable[[], object], replies: list[bytes]) -> Callable[[], None]:
    op = make()

    def run() -> None:
        step = op.start()
        for reply in replies:
            assert step[0] == "write"
            step = op.handle_frame(reply)
        assert step[0] == "done"

    return run


def failing_reply(make: Callable[[], object], before: list[bytes], reply: object, error: type) -> Callable[[], None]:
    """An operation waiting after `before` rejects `reply` with `error`, again and again."""
    op = make()
    op.start()
    for earlier in before:
        op.handle_frame(earlier)
    return raising(error, op.handle_frame, reply)


def frame_stream() -> Callable[[], None]:
    assembler = quovel.FrameAssembler()
    stream = b"\xaa" + packet(STATUS, 1, b"\x00\x01") + packet(HANDSHAKE, 1, bytes(4))[:9]
    rest = packet(HANDSHAKE, 1, bytes(4))[9:]

    def run() -> None:
        assembler.push(stream)
        assembler.push(data=rest)
        assert assembler.next_frame() is not None and assembler.next_frame() is not None
        assert assembler.next_frame() is None

    return run


def tracker_cycle() -> Callable[[], None]:
    tracker = quovel.LockTracker()
    ad_locked, ad_unlocked, ad_plain = stateful(battery=50), stateful(unlocked=True, battery=51), stateless()

    def run() -> None:
        tracker.on_advertisement(1_000, ad_locked)
        tracker.on_advertisement(1_001, ad_plain)
        tracker.on_command_started("unlock")
        tracker.on_command_failed()
        tracker.credit_blind_time(10)
        tracker.on_command_acknowledged(now_ms=1_002, action="unlock")
        tracker.on_advertisement(1_003, ad_unlocked)
        tracker.poll_availability(1_004, 500)
        tracker.poll_availability(9_000, 500)
        tracker.on_command_started("lock")
        tracker.on_unavailable()
        tracker.on_command_started("unlock")
        tracker.on_status(9_001, None)
        tracker.on_status(now_ms=9_002, status="UNKNOWN:3")
        tracker.on_status(9_003, "UNLOCKED")
        tracker.on_status(9_004, "\ud800")

    return run


def tracker_properties(settled: bool) -> Callable[[], object]:
    tracker = quovel.LockTracker()
    if settled:
        tracker.on_advertisement(5, stateful())
        tracker.on_command_started("lock")
    return lambda: (
        tracker.reported_state,
        tracker.is_locked,
        tracker.pending,
        tracker.available,
        tracker.battery,
        tracker.lock_version,
    )


def scenarios() -> dict[str, Callable[[], object]]:
    status = lambda: quovel.StatusOp(KEY)  # noqa: E731
    lock = lambda: quovel.LockOp(KEY, UNLOCK_KEY)  # noqa: E731
    unlock = lambda: quovel.UnlockOp(KEY, UNLOCK_KEY)  # noqa: E731
    tracker = quovel.LockTracker()
    assembler = quovel.FrameAssembler()
    good_status = status_reply()
    QE, TE, OE = quovel.QuovelError, TypeError, OverflowError
    version = quovel.LockVersion(1, 2, 3, 4, 5)
    return {
        # keys and credentials
        "decode_credential": lambda: quovel.decode_credential(encode_credential(b"4294967295")),
        "decode_credential/long list": lambda: quovel.decode_credential(encode_credential(b"0" * 40 + b"1")),
        "decode_credential/not str": raising(TE, quovel.decode_credential, b"MTI="),
        "decode_credential/base64": raising(QE, quovel.decode_credential, "MTI"),
        "decode_credential/utf8": raising(QE, quovel.decode_credential, "/w=="),
        "decode_credential/bad piece": raising(QE, quovel.decode_credential, "eA=="),
        "decode_credential/too large piece": raising(QE, quovel.decode_credential, "MzAw"),
        "decode_credential/empty": raising(QE, quovel.decode_credential, ""),
        "decode_credential/out of range": raising(QE, quovel.decode_credential, encode_credential(b"4294967296")),
        "normalize_unlock_key/int": lambda: quovel.normalize_unlock_key(4294967295),
        "normalize_unlock_key/text": lambda: quovel.normalize_unlock_key(" +0042\n"),
        "normalize_unlock_key/zero": raising(QE, quovel.normalize_unlock_key, 0),
        "normalize_unlock_key/bool": raising(QE, quovel.normalize_unlock_key, True),
        "normalize_unlock_key/float": raising(QE, quovel.normalize_unlock_key, 1.0),
        "normalize_unlock_key/too large": raising(QE, quovel.normalize_unlock_key, 2**64),
        "normalize_unlock_key/bad text": raising(QE, quovel.normalize_unlock_key, "12 3"),
        "normalize_unlock_key/bad index": raising(QE, quovel.normalize_unlock_key, BadIndex()),
        "normalize_unlock_key/surrogate": raising(QE, quovel.normalize_unlock_key, "\ud800"),
        "normalize_aes_key/text": lambda: quovel.normalize_aes_key(":".join(f"{b:02X}" for b in KEY) + "\n"),
        "normalize_aes_key/bytes": lambda: quovel.normalize_aes_key(KEY),
        "normalize_aes_key/bytearray": lambda: quovel.normalize_aes_key(bytearray(KEY)),
        "normalize_aes_key/list": lambda: quovel.normalize_aes_key(list(KEY)),
        "normalize_aes_key/odd hex": raising(QE, quovel.normalize_aes_key, "0" * 31),
        "normalize_aes_key/bad hex": raising(QE, quovel.normalize_aes_key, "g" * 32),
        "normalize_aes_key/short text": raising(QE, quovel.normalize_aes_key, "00" * 15),
        "normalize_aes_key/long bytes": raising(QE, quovel.normalize_aes_key, bytes(17)),
        "normalize_aes_key/item 256": raising(QE, quovel.normalize_aes_key, [256] * 16),
        "normalize_aes_key/None": raising(QE, quovel.normalize_aes_key, None),
        "normalize_aes_key/surrogate": raising(QE, quovel.normalize_aes_key, "\ud800"),
        "normalize_aes_key/missing": raising(TE, quovel.normalize_aes_key),
        "normalize_aes_key/keyword": raising(TE, quovel.normalize_aes_key, KEY, value=KEY),
        # advertisements
        "parse_advertisement/stateful": lambda: quovel.parse_advertisement(0x0305, stateful_data()),
        "parse_advertisement/keywords": lambda: quovel.parse_advertisement(data=bytes(13), manufacturer_id=0x1912),
        "parse_advertisement/short": lambda: quovel.parse_advertisement(1, b""),
        "parse_advertisement/id type": raising(TE, quovel.parse_advertisement, "1", b""),
        "parse_advertisement/id range": raising(OE, quovel.parse_advertisement, 70000, b""),
        "parse_advertisement/data type": raising(TE, quovel.parse_advertisement, 1, bytearray(13)),
        "parse_advertisement/unknown keyword": raising(TE, quovel.parse_advertisement, 1, b"", extra=1),
        "select_advertisement": lambda: quovel.select_advertisement(
            {0x0305: stateful_data(), 0x1234: list(bytes(13)), 0xFFFF: bytearray(13), 1: b""}, "ff:ee:dd:cc:bb:aa"
        ),
        "select_advertisement/empty": lambda: quovel.select_advertisement({}),
        "select_advertisement/not dict": raising(TE, quovel.select_advertisement, [(1, b"")]),
        "select_advertisement/key": raising(OE, quovel.select_advertisement, {0x0305: stateful_data(), -1: b""}),
        "select_advertisement/str value": raising(TE, quovel.select_advertisement, {0x0305: b"", 2: "ab"}),
        "select_advertisement/item": raising(OE, quovel.select_advertisement, {2: [1, 2, 300]}),
        "select_advertisement/address": raising(TE, quovel.select_advertisement, {}, 5),
        "Advertisement()": raising(TE, quovel.Advertisement),
        "Advertisement properties/stateful": ad_properties(stateful()),
        "Advertisement properties/stateless": ad_properties(stateless()),
        "Advertisement properties/dfu": ad_properties(dfu()),
        "Advertisement properties/unrecognized": ad_properties(unrecognized()),
        # back-off and versions
        "connect_backoff": lambda: quovel.connect_backoff(3),
        "connect_backoff/range": raising(OE, quovel.connect_backoff, -1),
        "connect_backoff/type": raising(TE, quovel.connect_backoff, "1"),
        "LockVersion()": lambda: quovel.LockVersion(),
        "LockVersion(keywords)": lambda: quovel.LockVersion(org_id=65535, protocol_type=255),
        "LockVersion/range": raising(OE, quovel.LockVersion, 256),
        "LockVersion/type": raising(TE, quovel.LockVersion, group_id="1"),
        "LockVersion/too many": raising(TE, quovel.LockVersion, 1, 2, 3, 4, 5, 6),
        "LockVersion/twice": raising(TE, quovel.LockVersion, 1, protocol_type=1),
        "LockVersion.default_version": quovel.LockVersion.default_version,
        "LockVersion properties": lambda: (
            version.protocol_type,
            version.protocol_version,
            version.scene,
            version.group_id,
            version.org_id,
            repr(version),
        ),
        # frame assembler
        "FrameAssembler()": quovel.FrameAssembler,
        "FrameAssembler.push/next_frame": frame_stream(),
        "FrameAssembler.next_frame/empty": assembler.next_frame,
        "FrameAssembler.push/type": raising(TE, assembler.push, bytearray(b"x")),
        "FrameAssembler.push/missing": raising(TE, assembler.push),
        "FrameAssembler.next_frame/argument": raising(TE, assembler.next_frame, 1),
        # operations
        "StatusOp()": status,
        "LockOp()": lock,
        "UnlockOp()": lambda: quovel.UnlockOp(aes_key=list(KEY), unlock_key="7", version=version),
        "StatusOp/version": raising(TE, quovel.StatusOp, KEY, version=1),
        "StatusOp/aes_key": raising(QE, quovel.StatusOp, "00"),
        "LockOp/unlock_key": raising(QE, quovel.LockOp, KEY, 0),
        "UnlockOp/aes_key type": raising(QE, quovel.UnlockOp, 5, 1),
        "StatusOp exchange": exchange(status, [good_status]),
        "LockOp exchange": exchange(lock, [handshake_reply(), actuation_reply(LOCK)]),
        "UnlockOp exchange": exchange(unlock, [handshake_reply(), actuation_reply(UNLOCK)]),
        "handle_frame/not expected": raising(QE, quovel.StatusOp(KEY).handle_frame, good_status),
        "handle_frame/type": failing_reply(status, [], bytearray(good_status), TE),
        "handle_frame/too short": failing_reply(status, [], good_status[:12], QE),
        "handle_frame/bad start": failing_reply(status, [], b"\x7f\x5b" + good_status[2:], QE),
        "handle_frame/length": failing_reply(status, [], good_status[:-2], QE),
        "handle_frame/crc": failing_reply(status, [], with_crc(good_status, good_status[-1] ^ 1), quovel.CrcMismatch),
        "handle_frame/decrypt": failing_reply(status, [], raw_frame(bytes(8)), QE),
        "handle_frame/no header": failing_reply(status, [], raw_frame(b""), QE),
        "handle_frame/command": failing_reply(status, [], frame(HANDSHAKE, 1, b"\x00\x00"), quovel.UnexpectedCommand),
        "handle_frame/refused": failing_reply(status, [], frame(STATUS, 0), QE),
        "handle_frame/status byte": failing_reply(status, [], frame(STATUS, 1, b"\x00"), QE),
        "handle_frame/ps": failing_reply(lock, [], frame(HANDSHAKE, 1, b"\x00\x00\x00"), QE),
        "handle_frame/handshake refused": failing_reply(unlock, [], frame(HANDSHAKE, 0), QE),
        "handle_frame/actuation command": failing_reply(
            unlock, [handshake_reply()], frame(LOCK, 1), quovel.UnexpectedCommand
        ),
        "handle_frame/actuation refused": failing_reply(lock, [handshake_reply()], frame(LOCK, 0), QE),
        # tracker
        "LockTracker()": quovel.LockTracker,
        "LockTracker methods": tracker_cycle(),
        "LockTracker properties/new": tracker_properties(settled=False),
        "LockTracker properties/in flight": tracker_properties(settled=True),
        "on_command_started/action": raising(QE, tracker.on_command_started, "Lock"),
        "on_command_started/type": raising(TE, tracker.on_command_started, b"lock"),
        "on_command_acknowledged/action": raising(QE, tracker.on_command_acknowledged, 1, ' "open"\n'),
        "on_command_acknowledged/time": raising(OE, tracker.on_command_acknowledged, 2**64, "lock"),
        "on_advertisement/time": raising(OE, tracker.on_advertisement, -1, stateful()),
        "on_advertisement/type": raising(TE, tracker.on_advertisement, 1, None),
        "credit_blind_time/type": raising(TE, tracker.credit_blind_time, 1.5),
        "poll_availability/missing": raising(TE, tracker.poll_availability, 1),
        "on_unavailable/argument": raising(TE, tracker.on_unavailable, 1),
        "on_status/type": raising(TE, tracker.on_status, 1, b"LOCKED"),
        "on_status/time": raising(OE, tracker.on_status, -1, None),
    }


SCENARIOS = scenarios()
FIGURES: list[tuple[str, int, int | None, dict[str, int]]] = []


def refcounts() -> dict[str, int]:
    return {name: sys.getrefcount(value) for name, value in WATCHED.items()}


def batch(call: Callable[[], object]) -> None:
    for _ in range(ITERATIONS):
        call()
    gc.collect()


@pytest.fixture(scope="module", autouse=True)
def traced_and_reported():
    tracemalloc.start()
    yield
    tracemalloc.stop()
    if FIGURES:
        print(
            f"\nleak check: {ITERATIONS} calls a batch; growth from batch 2 to batch 3 (bytes), "
            f"limit {GROWTH_LIMIT}; reference-count changes from batch 1 to batch 3"
        )
        print(f"{'scenario':44} {'traced':>8} {'C heap':>8}  refcounts")
        for name, traced, heap, moved in FIGURES:
            heap_text = "n/a" if heap is None else str(heap)
            print(f"{name:44} {traced:>8} {heap_text:>8}  {moved or 'flat'}")
        worst_traced = max(traced for _, traced, _, _ in FIGURES)
        heaps = [heap for _, _, heap, _ in FIGURES if heap is not None]
        print(
            f"largest growth: traced {worst_traced}, C heap {max(heaps) if heaps else 'n/a'}; "
            f"scenarios with moved reference counts: {sum(1 for f in FIGURES if f[3])}"
        )


@pytest.mark.parametrize("name", SCENARIOS)
def test_flat(name):
    call = SCENARIOS[name]
    batch(call)
    counts_before = refcounts()
    batch(call)
    traced_before = tracemalloc.get_traced_memory()[0]
    heap_before = heap_in_use() if heap_in_use else None
    batch(call)
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    heap_growth = heap_in_use() - heap_before if heap_in_use and heap_before is not None else None
    counts_after = refcounts()
    moved = {
        key: counts_after[key] - counts_before[key] for key in counts_before if counts_after[key] != counts_before[key]
    }
    FIGURES.append((name, traced_growth, heap_growth, moved))

    assert moved == {}
    if not SANITIZED:
        assert traced_growth < GROWTH_LIMIT
        assert heap_growth is None or heap_growth < GROWTH_LIMIT


def test_whole_pass_keeps_the_process_flat():
    """Every scenario once more: the process's resident size and C heap stay put."""
    for call in SCENARIOS.values():
        call()
    gc.collect()
    rss_before, heap_before = rss(), heap_in_use() if heap_in_use else None
    calls = max(1, ITERATIONS // 4)
    for call in SCENARIOS.values():
        for _ in range(calls):
            call()
        gc.collect()
    rss_growth = rss() - rss_before
    heap_growth = heap_in_use() - heap_before if heap_in_use and heap_before is not None else None
    print(
        f"\nwhole pass of {len(SCENARIOS)} scenarios x {calls} calls: "
        f"resident size grew {rss_growth} bytes, C heap {heap_growth} bytes"
    )
    if not SANITIZED:
        # Whole-process figures also move with the interpreter's own caches
        # (other test modules run before this one): a coarse bound here, the
        # per-scenario batches above are the sensitive check.
        assert rss_growth < 1 << 20
        assert heap_growth is None or heap_growth < 1 << 20
