"""Every callable of quovel, typed, driving the simulated lock.

The type checker sees the module through the stubs that the wheel ships
(quovel-stubs), so this file passes ``mypy --strict`` without a single
``Any``; running it walks through a status query, an unlock and a lock::

    python examples/typed_usage.py

It needs the simulated lock's extra: ``pip install quovel[sim]``.
"""

from __future__ import annotations

from typing import Literal, Protocol, assert_never

import quovel
from quovel_sim import SimulatedLock

AES_KEY_TEXT = " 2B7E1516 28AED2A6 ABF71588 09CF4F3C "
UNLOCK_KEY_TEXT = "305419896"
OFFLINE_AFTER_MS = 60_000

type Action = Literal["lock", "unlock"]
type Write = tuple[Literal["write"], bytes]
type Step[R] = Write | tuple[Literal["done"], R]


class Operation[R](Protocol):
    """What StatusOp (R = str) and LockOp and UnlockOp (R = None) share."""

    def start(self) -> Write: ...
    def handle_frame(self, frame: bytes) -> Step[R]: ...


class Link:
    """The caller's side of one connection: chunked writes in, frames out."""

    def __init__(self, lock: SimulatedLock) -> None:
        self._lock = lock
        self._assembler = quovel.FrameAssembler()

    def exchange(self, packet: bytes) -> bytes:
        for offset in range(0, len(packet), quovel.WRITE_CHUNK):
            # A real caller writes to quovel.WRITE_CHARACTERISTIC here and
            # sleeps quovel.WRITE_CHUNK_DELAY seconds between chunks.
            for notification in self._lock.write(packet[offset : offset + quovel.WRITE_CHUNK]):
                self._assembler.push(notification)
        frame = self._assembler.next_frame()
        if frame is None:
            raise TimeoutError("the lock did not answer")
        return frame


def run[R](link: Link, operation: Operation[R]) -> R:
    """Drives an operation to its result, repeating it after a bad checksum."""
    for attempt in range(quovel.CRC_RETRIES + 1):
        step: Step[R] = operation.start()
        try:
            while True:
                match step:
                    case ("write", packet):
                        step = operation.handle_frame(link.exchange(packet))
                    case ("done", result):
                        return result
        except quovel.CrcMismatch:
            # A real caller waits quovel.CRC_RETRY_DELAY seconds first.
            if attempt == quovel.CRC_RETRIES:
                raise
    raise AssertionError("unreachable")


def validate_config(aes_key: str, unlock_key: str) -> tuple[str, int] | str:
    """The config flow's check: canonical keys, or the message to show."""
    try:
        return quovel.normalize_aes_key(aes_key), quovel.normalize_unlock_key(unlock_key)
    except quovel.QuovelError as error:
        # The kind (one of quovel.ERROR_KINDS) picks a translated message.
        return f"{error} ({error.kind})"


def unlock_key_from_credential(credential: str) -> int | None:
    try:
        return quovel.decode_credential(credential)
    except quovel.QuovelError:
        return None


def describe(advertisement: quovel.Advertisement) -> str:
    kind = advertisement.kind
    match kind:
        case "stateful":
            bolt = "unlocked" if advertisement.is_unlocked else "locked"
            flags = [
                name
                for name, on in (("events", advertisement.has_events), ("setting mode", advertisement.is_setting_mode))
                if on
            ]
            return f"{advertisement.address}: {bolt}, battery {advertisement.battery}%, flags {flags}"
        case "stateless" | "dfu" | "unrecognized":
            return f"{advertisement.address}: {kind}, no state"
        case _:
            assert_never(kind)


def describe_version(version: quovel.LockVersion) -> str:
    return (
        f"{version!r} = header {version.protocol_type}.{version.protocol_version}, "
        f"scene {version.scene}, group {version.group_id}, org {version.org_id}"
    )


def main() -> None:
    config = validate_config(AES_KEY_TEXT, UNLOCK_KEY_TEXT)
    if isinstance(config, str):
        raise SystemExit(config)
    aes_key, unlock_key = config
    print("config flow accepted", aes_key, unlock_key)
    print("a bad key reads:", validate_config("00", UNLOCK_KEY_TEXT))
    print("an empty credential decodes to", unlock_key_from_credential(""))

    lock = SimulatedLock(aes_key=bytes.fromhex(aes_key), unlock_key=unlock_key)
    tracker = quovel.LockTracker()
    now_ms = 1_000

    # Passive scanning: the caller filters on quovel.SERVICE_UUID.
    manufacturer_data = lock.manufacturer_data(stale=True)
    best = quovel.select_advertisement(manufacturer_data, expected_address=lock.address)
    for company_id, data in sorted(manufacturer_data.items()):
        print(f"entry 0x{company_id:04x}:", describe(quovel.parse_advertisement(company_id, data)))
    changes: set[str] = tracker.on_advertisement(now_ms, best)
    print("selected", describe(best), "->", sorted(changes), tracker.reported_state)

    version = tracker.lock_version or quovel.LockVersion.default_version()
    print(describe_version(version), "default:", describe_version(quovel.LockVersion()))

    # Connecting took two attempts; the radio was deaf meanwhile.
    waited_s = quovel.connect_backoff(1) + quovel.connect_backoff(2)
    tracker.credit_blind_time(int(waited_s * 1000))
    link = Link(lock)  # notifications arrive on quovel.NOTIFY_CHARACTERISTIC

    state = run(link, quovel.StatusOp(aes_key, version))
    print("status:", state, sorted(tracker.on_status(now_ms, state)), tracker.reported_state)

    actions: list[Action] = ["unlock", "lock"]
    for action in actions:
        operation = (
            quovel.UnlockOp(aes_key, unlock_key, version)
            if action == "unlock"
            else quovel.LockOp(aes_key, unlock_key, version)
        )
        tracker.on_command_started(action)
        print(f"{action}: reported {tracker.reported_state}, pending {tracker.pending}")
        try:
            run(link, operation)
        except quovel.UnexpectedCommand:
            # Stray frames: a real caller skips up to quovel.MAX_STRAY_FRAMES.
            tracker.on_command_failed()
            # Then asks the lock where the bolt is; None when that fails too.
            answer: str | None
            try:
                answer = run(link, quovel.StatusOp(aes_key, version))
            except quovel.QuovelError:
                answer = None
            tracker.on_status(now_ms, answer)
            continue
        now_ms += 2_000
        tracker.on_command_acknowledged(now_ms, action)
        print(f"{action}: reported {tracker.reported_state}, locked {tracker.is_locked}")

    now_ms += OFFLINE_AFTER_MS + 1
    print("silence:", sorted(tracker.poll_availability(now_ms, OFFLINE_AFTER_MS)), tracker.available)
    print("gone:", sorted(tracker.on_unavailable()), tracker.battery, tracker.reported_state)


if __name__ == "__main__":
    main()
