"""The road of one unlock, step by step, through the whole stack an integration uses.

Hears the lock's advertisements as bleak delivers them, validates the keys,
then runs an unlock through ``quovel_bleak.LockClient``, bleak-retry-connector
and a real ``bleak.BleakClient`` over the simulated lock's bleak backend:
the connection, the chunked writes, stray frames and a CRC retry, then a
status query and a lock. Flags inject faults so each error and its message
can be seen::

    python examples/walkthrough.py --refuse-actuation

Needs only the installed wheel with its ``[sim,bleak]`` extras.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import sys
import time
from collections.abc import Callable

import quovel
from quovel_bleak import LockClient, LockError
from quovel_sim import Faults, SimulatedLock, VirtualTimeLoop
from quovel_sim.bleak_backend import ConnectFault, DisconnectFault, LinkFaults, SimulatedRadio

AES_KEY = "2b:7e:15:16:28:ae:d2:a6:ab:f7:15:88:09:cf:4f:3c"
UNLOCK_KEY = " 305419896 "
CONNECT_SECONDS = 0.4  # how long the simulated connection takes
# What BlueZ reports for a failed attempt, in turn.
CONNECT_FAULTS: tuple[ConnectFault, ...] = ("aborted", "eof", "timeout")
COMMAND_NAMES = {0x14: "status query", 0x55: "check-user-time", 0x58: "lock", 0x47: "unlock"}


def heading(text: str) -> None:
    print(f"\n== {text}")


class Transcript(logging.Handler):
    """Prints the driver's and the connector's debug lines, with the lock's
    own account of each request just before what follows it."""

    def __init__(self, lock: SimulatedLock, now: Callable[[], float]) -> None:
        super().__init__(logging.DEBUG)
        self.sim_lock = lock
        self.now = now
        self.journal_seen = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.flush_journal()
        message = record.getMessage()
        # Every line is about the one lock: drop the address in front.
        for prefix in (f"{self.sim_lock.address}: ", f"Simulated lock - {self.sim_lock.address}: "):
            message = message.removeprefix(prefix)
        for command, name in COMMAND_NAMES.items():
            message = message.replace(f": command 0x{command:02x}", f": {name} request")
        print(f"{self.stamp()}  {message}")

    def flush_journal(self) -> None:
        for line in self.sim_lock.journal[self.journal_seen :]:
            print(f"{self.stamp()}  (lock: {line})")
        self.journal_seen = len(self.sim_lock.journal)

    def stamp(self) -> str:
        return f"[{self.now():6.2f} s]"


class NarratedLock(SimulatedLock):
    """Tells the transcript as soon as it has dealt with a written chunk."""

    narrate: Callable[[], None] = staticmethod(lambda: None)

    def write(self, chunk: bytes) -> list[bytes]:
        notifications = super().write(chunk)
        self.narrate()
        return notifications


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--wrong-key", action="store_true", help="the lock holds another AES key")
    parser.add_argument("--refuse-handshake", action="store_true", help="the lock refuses check-user-time")
    parser.add_argument("--refuse-actuation", action="store_true", help="the lock refuses to unlock")
    parser.add_argument(
        "--corrupt-crc", type=int, default=1, metavar="N", help="corrupt the next N replies (default 1)"
    )
    parser.add_argument("--stray", type=int, default=1, metavar="N", help="stray frames before each reply (default 1)")
    parser.add_argument("--split-every-byte", action="store_true", help="one byte per notification")
    parser.add_argument("--silence", action="store_true", help="the lock never answers")
    parser.add_argument("--connect-failures", type=int, default=0, metavar="N", help="failed connect attempts first")
    parser.add_argument("--drop-after", type=int, metavar="N", help="the link drops once, after N writes")
    parser.add_argument("--disconnect-error", choices=("dbus-error", "timeout"), help="disconnect() raises once")
    parser.add_argument("--fast", action="store_true", help="skip the pauses (virtual time)")
    return parser.parse_args(argv)


async def walk(args: argparse.Namespace, start: float) -> int:
    loop = asyncio.get_running_loop()
    radio = SimulatedRadio()
    lock = NarratedLock(
        aes_key=bytes(16) if args.wrong_key else bytes.fromhex(AES_KEY.replace(":", "")), unlock_key=305419896
    )
    radio.add(lock, LinkFaults(connect_delay=CONNECT_SECONDS))
    transcript = Transcript(lock, lambda: loop.time() - start)
    lock.narrate = transcript.flush_journal
    loggers = [logging.getLogger(name) for name in ("quovel_bleak", "bleak_retry_connector")]
    saved = [(logger.level, logger.propagate) for logger in loggers]
    for logger in loggers:
        logger.addHandler(transcript)
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
    try:
        return await narrate(args, radio, lock, transcript)
    finally:
        for logger, (level, propagate) in zip(loggers, saved):
            logger.removeHandler(transcript)
            logger.setLevel(level)
            logger.propagate = propagate


async def narrate(args: argparse.Namespace, radio: SimulatedRadio, lock: NarratedLock, transcript: Transcript) -> int:
    loop = asyncio.get_running_loop()
    (peripheral,) = radio.peripherals.values()
    tracker = quovel.LockTracker()

    def now_ms() -> int:
        return int(loop.time() * 1000)

    def hear(stale: bool, dfu: bool) -> None:
        advertisement = radio.advertisement_data(lock.address, stale=stale, dfu=dfu)
        print("manufacturer data, as bleak delivers it (AdvertisementData.manufacturer_data):")
        for company_id, payload in sorted(advertisement.manufacturer_data.items()):
            print(f"  0x{company_id:04x}: {payload.hex()}")
        chosen = quovel.select_advertisement(advertisement.manufacturer_data, lock.address.lower())
        print(
            f"select_advertisement -> kind={chosen.kind} address={chosen.address} "
            f"is_unlocked={chosen.is_unlocked} battery={chosen.battery} {chosen.lock_version!r}"
        )
        changed = tracker.on_advertisement(now_ms(), chosen)
        print(f"tracker.on_advertisement -> {{{', '.join(sorted(changed))}}}; reported_state={tracker.reported_state}")

    heading("1. Hearing the lock (a stale stateless entry and a DFU entry beside the live one)")
    hear(stale=True, dfu=True)

    heading("2. Validating the keys (never printed)")
    print(f"normalize_aes_key: accepted, {len(quovel.normalize_aes_key(AES_KEY))} hex digits")
    print(f"normalize_unlock_key: accepted ({type(quovel.normalize_unlock_key(UNLOCK_KEY)).__name__})")
    client = LockClient(radio.ble_device(lock.address), AES_KEY, UNLOCK_KEY, tracker=tracker, backend=radio.backend)
    print(f"{client!r}: connects through bleak_retry_connector.establish_connection and bleak.BleakClient")

    heading("3. Unlocking")
    lock.faults = Faults(
        refuse_handshake=args.refuse_handshake,
        refuse_actuation=args.refuse_actuation,
        corrupt_crc=args.corrupt_crc,
        stray_frames=args.stray,
        split_every_byte=args.split_every_byte,
        silent=args.silence,
    )
    link = peripheral.link
    link.connect_errors = [CONNECT_FAULTS[n % len(CONNECT_FAULTS)] for n in range(args.connect_failures)]
    link.drop_after_writes = [] if args.drop_after is None else [args.drop_after]
    disconnect_fault: list[DisconnectFault] = [args.disconnect_error] if args.disconnect_error else []
    link.disconnect_errors = disconnect_fault
    try:
        await client.unlock()
    except LockError as error:
        transcript.flush_journal()
        print(f"unlock failed: {type(error).__name__}: {error}")
        # The driver asked the lock for its status once and told the tracker.
        print(f"tracker: reported_state={tracker.reported_state} pending={tracker.pending}")
        lock.faults = Faults()
        heading("The lock's next advertisement")
        hear(stale=False, dfu=False)
        return 1
    transcript.flush_journal()
    lock.faults = Faults()

    heading("4. A status query")
    print(f"result: {await client.status()!r}")
    transcript.flush_journal()

    heading("5. Locking again")
    await client.lock()
    transcript.flush_journal()

    heading("Final state")
    print(f"the lock's bolt: {'locked' if lock.locked else 'unlocked'}; tracker: {tracker.reported_state}")
    hear(stale=False, dfu=False)
    return 0


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)

    async def timed() -> int:
        return await walk(args, asyncio.get_running_loop().time())

    if args.fast:
        return asyncio.run(timed(), loop_factory=VirtualTimeLoop)
    started = time.monotonic()
    status = asyncio.run(timed())
    print(f"\n(took {time.monotonic() - started:.1f} s)")
    return status


if __name__ == "__main__":
    sys.exit(main())
