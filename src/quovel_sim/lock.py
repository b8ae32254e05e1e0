"""A simulated lock: the lock's side of every exchange, with injectable faults."""

from __future__ import annotations

import secrets
import time
from collections.abc import Callable
from dataclasses import dataclass, field

from . import advertising
from .wire import MARKER, ProtocolHeader, Reassembler, build_packet, decrypt, parse_packet

STATUS = 0x14
CHECK_USER_TIME = 0x55
LOCK = 0x58
UNLOCK = 0x47
ACCEPTED = 0x01
REFUSED = 0x00
HANDSHAKE_PAYLOAD_LENGTH = 17
ACTUATION_PAYLOAD_LENGTH = 8


@dataclass
class Faults:
    """Misbehaviour to inject. Counters are used up reply by reply."""

    refuse_handshake: bool = False
    """Answer every check-user-time request with the refusal status."""
    refuse_actuation: bool = False
    """Answer every lock and unlock request with the refusal status."""
    corrupt_crc: int = 0
    """How many of the coming replies carry a wrong CRC byte."""
    stray_frames: int = 0
    """Frames answering some other command, sent ahead of every reply."""
    split_every_byte: bool = False
    """Send every reply one byte per notification."""
    silent: bool = False
    """Answer nothing at all."""


@dataclass(frozen=True)
class ActuationRecord:
    """What the lock decoded from one lock or unlock request."""

    command: int
    ps: int
    word: int
    timestamp: int
    accepted: bool


@dataclass
class SimulatedLock:
    """The lock's side of the protocol, driven by the bytes a client writes.

    ``write`` takes each chunk written to the write characteristic and returns
    the notification chunks the lock sends back. ``aes_key`` is the key the
    lock holds: give it a different key than the client to watch the client
    fail. ``journal`` tells, in words, what the lock did with each request.
    """

    aes_key: bytes = field(repr=False)
    unlock_key: int = field(repr=False)
    locked: bool = True
    battery: int | None = 85
    address: str = "C4:3A:51:0B:7E:19"
    header: ProtocolHeader = field(default_factory=ProtocolHeader)
    notify_chunk: int = 20
    faults: Faults = field(default_factory=Faults)
    clock: Callable[[], float] = time.time
    clock_tolerance: float = 300.0
    journal: list[str] = field(default_factory=list)
    actuations: list[ActuationRecord] = field(default_factory=list)
    _reassembler: Reassembler = field(default_factory=Reassembler, init=False, repr=False)
    _ps: int | None = field(default=None, init=False, repr=False)

    def __post_init__(self) -> None:
        if len(self.aes_key) != 16:
            raise ValueError("the lock's AES key must be 16 bytes")
        if not 0 < self.unlock_key < 2**32:
            raise ValueError("the lock's unlock key must be from 1 to 4294967295")

    def write(self, chunk: bytes) -> list[bytes]:
        """Take one written chunk; return the notifications sent in answer."""
        notifications: list[bytes] = []
        for packet in self._reassembler.feed(bytes(chunk)):
            notifications += self._notify(self._answer(packet))
        return notifications

    def reset_link(self) -> None:
        """A connection began or ended: forget partial requests and the last ps."""
        self._reassembler = Reassembler()
        self._ps = None

    def manufacturer_data(self, *, stale: bool = False, dfu: bool = False) -> dict[int, bytes]:
        """The map bleak would deliver for this lock now.

        ``stale`` adds a stateless entry left over from an earlier broadcast,
        ``dfu`` the entry of a firmware-update broadcast.
        """
        entries = {
            advertising.DIRECT_COMPANY_ID: advertising.direct_entry(
                self.address, unlocked=not self.locked, battery=self.battery, scene=self.header.scene
            )
        }
        if stale:
            entries[advertising.STALE_COMPANY_ID] = advertising.stateless_entry(self.address)
        if dfu:
            entries[advertising.DFU_COMPANY_IDS[0]] = advertising.dfu_entry(self.address)
        return entries

    def _answer(self, packet: bytes) -> list[bytes]:
        parsed = parse_packet(packet)
        if parsed is None or not parsed.crc_ok:
            self.journal.append("dropped a packet with a bad CRC or shape")
            return []
        command = parsed.command
        if parsed.header != self.header or parsed.marker != MARKER:
            self.journal.append(f"refused 0x{command:02x}: header does not match this lock")
            return self._reply(command, REFUSED)
        plaintext = decrypt(self.aes_key, parsed.ciphertext)
        if plaintext is None:
            self.journal.append(f"refused 0x{command:02x}: payload does not decrypt")
            return self._reply(command, REFUSED)
        if command == STATUS:
            return self._status()
        if command == CHECK_USER_TIME:
            return self._check_user_time(plaintext)
        if command in (LOCK, UNLOCK):
            return self._actuate(command, plaintext)
        self.journal.append(f"refused 0x{command:02x}: unknown command")
        return self._reply(command, REFUSED)

    def _status(self) -> list[bytes]:
        state = 0 if self.locked else 1
        self.journal.append(f"status: {'locked' if self.locked else 'unlocked'}")
        level = 0xFF if self.battery is None else self.battery
        return self._reply(STATUS, ACCEPTED, bytes((level, state)))

    def _check_user_time(self, plaintext: bytes) -> list[bytes]:
        if self.faults.refuse_handshake or len(plaintext) != HANDSHAKE_PAYLOAD_LENGTH:
            self._ps = None
            self.journal.append("refused the check-user-time handshake")
            return self._reply(CHECK_USER_TIME, REFUSED)
        self._ps = secrets.randbits(32)
        self.journal.append("check-user-time: issued a fresh ps")
        return self._reply(CHECK_USER_TIME, ACCEPTED, self._ps.to_bytes(4, "big"))

    def _actuate(self, command: int, plaintext: bytes) -> list[bytes]:
        ps, self._ps = self._ps, None  # a ps answers one actuation only
        name = "lock" if command == LOCK else "unlock"
        if ps is None or len(plaintext) != ACTUATION_PAYLOAD_LENGTH:
            self.journal.append(f"refused {name}: no handshake before it")
            return self._reply(command, REFUSED)
        word = int.from_bytes(plaintext[:4], "big")
        timestamp = int.from_bytes(plaintext[4:], "big")
        key_matches = (word - ps) % 2**32 == self.unlock_key
        time_plausible = abs(timestamp - self.clock()) <= self.clock_tolerance
        accepted = key_matches and time_plausible and not self.faults.refuse_actuation
        self.actuations.append(ActuationRecord(command, ps, word, timestamp, accepted))
        if not accepted:
            reason = (
                "injected refusal"
                if key_matches and time_plausible
                else "wrong unlock key"
                if not key_matches
                else "implausible time"
            )
            self.journal.append(f"refused {name}: {reason}")
            return self._reply(command, REFUSED)
        self.locked = command == LOCK
        self.journal.append(f"{name}: unlock key and time check out, bolt moved")
        return self._reply(command, ACCEPTED)

    def _reply(self, command: int, status: int, data: bytes = b"") -> list[bytes]:
        """The reply packet, preceded by any injected stray frames."""
        if self.faults.silent:
            self.journal.append("kept silent")
            return []
        stray_command = CHECK_USER_TIME if command == STATUS else STATUS
        stray = build_packet(self.header, stray_command, bytes((stray_command, ACCEPTED, 0, 0)), self.aes_key)
        reply = build_packet(self.header, command, bytes((command, status)) + data, self.aes_key)
        if self.faults.corrupt_crc > 0:
            self.faults.corrupt_crc -= 1
            crc_at = len(reply) - 3
            reply = reply[:crc_at] + bytes((reply[crc_at] ^ 0xFF,)) + reply[crc_at + 1 :]
        return [stray] * self.faults.stray_frames + [reply]

    def _notify(self, packets: list[bytes]) -> list[bytes]:
        stream = b"".join(packets)
        size = 1 if self.faults.split_every_byte else max(1, self.notify_chunk)
        return [stream[i : i + size] for i in range(0, len(stream), size)]
