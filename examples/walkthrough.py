"""The road of one unlock, step by step, against a simulated lock.

Hears the lock's advertisements, validates the keys, runs an unlock through
the chunked writes, stray frames and a CRC retry, then queries the status and
locks again. Flags inject faults so each error and its message can be seen::

    python examples/walkthrough.py --refuse-actuation
"""

from __future__ import annotations

import argparse
import sys
import time
from collections import deque
from typing import Literal

import quovel
from quovel_sim import Faults, SimulatedLock

AES_KEY = "2b:7e:15:16:28:ae:d2:a6:ab:f7:15:88:09:cf:4f:3c"
UNLOCK_KEY = " 305419896 "
CONNECT_MS = 400  # how long the simulated connection takes
Operation = quovel.StatusOp | quovel.LockOp | quovel.UnlockOp
Step = tuple[Literal["write"], bytes] | tuple[Literal["done"], str | None]
COMMAND_NAMES = {0x14: "status query", 0x55: "check-user-time", 0x58: "lock", 0x47: "unlock"}


def heading(text: str) -> None:
    print(f"\n== {text}")


def changes(names: set[str]) -> str:
    return "{" + ", ".join(sorted(names)) + "}"


class Walkthrough:
    def __init__(self, lock: SimulatedLock, tracker: quovel.LockTracker, fast: bool) -> None:
        self.lock = lock
        self.tracker = tracker
        self.fast = fast
        self.journal_seen = 0

    def pause(self, seconds: float) -> None:
        if not self.fast:
            time.sleep(seconds)

    def now_ms(self) -> int:
        return int(time.monotonic() * 1000)

    def show_tracker(self, event: str, changed: set[str]) -> None:
        print(f"tracker.{event} -> {changes(changed)}; reported_state={self.tracker.reported_state}")

    def hear(self, stale: bool, dfu: bool) -> None:
        data = self.lock.manufacturer_data(stale=stale, dfu=dfu)
        print("manufacturer data, as bleak delivers it:")
        for company_id, payload in sorted(data.items()):
            print(f"  0x{company_id:04x}: {payload.hex()}")
        chosen = quovel.select_advertisement(data, self.lock.address.lower())
        print(
            f"select_advertisement -> kind={chosen.kind} address={chosen.address} "
            f"is_unlocked={chosen.is_unlocked} battery={chosen.battery} {chosen.lock_version!r}"
        )
        self.show_tracker("on_advertisement", self.tracker.on_advertisement(self.now_ms(), chosen))

    def connect(self, failures: int) -> None:
        for attempt in range(1, failures + 2):
            if attempt <= failures:
                wait = quovel.connect_backoff(attempt)
                print(f"connect attempt {attempt}: no answer; connect_backoff({attempt}) = {wait} s")
                self.pause(wait)
                continue
            print(f"connect attempt {attempt}: connected after {CONNECT_MS} ms")
        # The radio could not hear advertisements while it was connecting.
        blind_ms = CONNECT_MS * (failures + 1)
        self.tracker.credit_blind_time(blind_ms)
        print(f"tracker.credit_blind_time({blind_ms})")

    def run(self, op: Operation) -> str | None:
        """One operation, repeated after a CRC mismatch up to CRC_RETRIES times."""
        for retry in range(quovel.CRC_RETRIES + 1):
            if retry:
                print(f"  retry {retry} of {quovel.CRC_RETRIES} after {quovel.CRC_RETRY_DELAY} s")
                self.pause(quovel.CRC_RETRY_DELAY)
            try:
                return self.exchange(op, quovel.FrameAssembler())
            except quovel.CrcMismatch as error:
                print(f"  handle_frame raised CrcMismatch: {error}")
                if retry == quovel.CRC_RETRIES:
                    raise
        raise AssertionError("unreachable")

    def exchange(self, op: Operation, assembler: quovel.FrameAssembler) -> str | None:
        step: Step = op.start()
        print("start()")
        while step[0] == "write":
            frames = deque(self.write(step[1], assembler))
            strays = 0
            while True:
                if not frames:
                    raise TimeoutError("no reply from the lock")
                frame = frames.popleft()
                print(f"  frame {frame.hex()}")
                try:
                    step = op.handle_frame(frame)
                    break
                except quovel.UnexpectedCommand as error:
                    strays += 1
                    if strays > quovel.MAX_STRAY_FRAMES:
                        print(f"  stray {strays} is one too many (MAX_STRAY_FRAMES = {quovel.MAX_STRAY_FRAMES})")
                        raise
                    print(f"  stray {strays} of at most {quovel.MAX_STRAY_FRAMES} skipped: {error}")
            print(f"handle_frame -> {step[0]!r}")
        return step[1]

    def write(self, packet: bytes, assembler: quovel.FrameAssembler) -> list[bytes]:
        name = COMMAND_NAMES.get(packet[9], "command")
        print(f'  ("write", {len(packet)} bytes): {name} request')
        for offset in range(0, len(packet), quovel.WRITE_CHUNK):
            if offset:
                self.pause(quovel.WRITE_CHUNK_DELAY)
            chunk = packet[offset : offset + quovel.WRITE_CHUNK]
            print(f"  write {chunk.hex()}")
            notifications = self.lock.write(chunk)
            for notification in notifications:
                assembler.push(notification)
            if notifications:
                total = sum(len(n) for n in notifications)
                print(f"  notified {total} bytes in {len(notifications)} notifications")
        for line in self.lock.journal[self.journal_seen :]:
            print(f"  (lock: {line})")
        self.journal_seen = len(self.lock.journal)
        frames = []
        while (frame := assembler.next_frame()) is not None:
            frames.append(frame)
        return frames

    def actuate(self, action: Literal["lock", "unlock"], failures: int) -> bool:
        op_class = quovel.UnlockOp if action == "unlock" else quovel.LockOp
        op = op_class(AES_KEY, UNLOCK_KEY, self.tracker.lock_version)
        self.show_tracker(f"on_command_started({action!r})", self.tracker.on_command_started(action))
        self.connect(failures)
        try:
            self.run(op)
        except (quovel.QuovelError, TimeoutError) as error:
            print(f"{action} failed: {type(error).__name__}: {error}")
            self.show_tracker("on_command_failed()", self.tracker.on_command_failed())
            return False
        acknowledged = self.tracker.on_command_acknowledged(self.now_ms(), action)
        self.show_tracker(f"on_command_acknowledged({action!r})", acknowledged)
        return True


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wrong-key", action="store_true", help="the lock holds another AES key")
    parser.add_argument("--refuse-handshake", action="store_true", help="the lock refuses check-user-time")
    parser.add_argument("--refuse-actuation", action="store_true", help="the lock refuses to unlock")
    parser.add_argument("--corrupt-crc", type=int, default=1, metavar="N", help="corrupt the next N replies (default 1)")
    parser.add_argument("--stray", type=int, default=1, metavar="N", help="stray frames before each reply (default 1)")
    parser.add_argument("--split-every-byte", action="store_true", help="one byte per notification")
    parser.add_argument("--silence", action="store_true", help="the lock never answers")
    parser.add_argument("--connect-failures", type=int, default=0, metavar="N", help="failed connect attempts first")
    parser.add_argument("--fast", action="store_true", help="skip the pauses")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    lock = SimulatedLock(
        aes_key=bytes(16) if args.wrong_key else bytes.fromhex(AES_KEY.replace(":", "")),
        unlock_key=305419896,
    )
    walk = Walkthrough(lock, quovel.LockTracker(), args.fast)

    heading("1. Hearing the lock (a stale stateless entry and a DFU entry beside the live one)")
    walk.hear(stale=True, dfu=True)

    heading("2. Validating the keys (never printed)")
    print(f"normalize_aes_key: accepted, {len(quovel.normalize_aes_key(AES_KEY))} hex digits")
    print(f"normalize_unlock_key: accepted ({type(quovel.normalize_unlock_key(UNLOCK_KEY)).__name__})")

    heading("3. Unlocking")
    lock.faults = Faults(
        refuse_handshake=args.refuse_handshake,
        refuse_actuation=args.refuse_actuation,
        corrupt_crc=args.corrupt_crc,
        stray_frames=args.stray,
        split_every_byte=args.split_every_byte,
        silent=args.silence,
    )
    unlocked = walk.actuate("unlock", args.connect_failures)
    lock.faults = Faults()
    if not unlocked:
        heading("The lock's next advertisement settles what the failure left open")
        walk.hear(stale=False, dfu=False)
        return 1

    heading("4. A status query")
    walk.connect(0)
    print(f"result: {walk.run(quovel.StatusOp(AES_KEY, walk.tracker.lock_version))!r}")

    heading("5. Locking again")
    walk.actuate("lock", 0)

    heading("Final state")
    print(f"the lock's bolt: {'locked' if lock.locked else 'unlocked'}; tracker: {walk.tracker.reported_state}")
    walk.hear(stale=False, dfu=False)
    return 0


if __name__ == "__main__":
    sys.exit(main())
