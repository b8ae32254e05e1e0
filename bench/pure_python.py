"""The lock protocol written the way an integration would write it without
quovel: plain, readable Python with dataclasses, the standard library and
the `cryptography` package for AES. It is the benchmark's yardstick, so it
is deliberately straightforward rather than tuned, but complete: the same
argument checks and the same results as the extension.

Never import quovel here: the point is to measure the code one would
otherwise have to write.
"""

from __future__ import annotations

import base64
import binascii
import re
import time
from dataclasses import dataclass

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


class QuovelError(Exception):
    pass


class CrcMismatch(QuovelError):
    pass


class UnexpectedCommand(QuovelError):
    pass


# ---- version ----------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class LockVersion:
    protocol_type: int = 5
    protocol_version: int = 3
    scene: int = 2
    group_id: int = 1
    org_id: int = 1


# ---- CRC ----------------------------------------------------------------------


def _make_crc8_table() -> list[int]:
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC8_TABLE = _make_crc8_table()
CRC8_REPLACEMENT = 0x07  # the lock's value for index 0x21


def crc8(data: bytes) -> int:
    crc = 0
    for byte in data:
        index = crc ^ byte
        crc = CRC8_REPLACEMENT if index == 0x21 else CRC8_TABLE[index]
    return crc


# ---- payload encryption: AES-128-CBC, the key doubling as IV -------------------


def encrypt_payload(plaintext: bytes, key: bytes) -> bytes:
    if not plaintext:
        return b""
    padder = padding.PKCS7(128).padder()
    padded = padder.update(plaintext) + padder.finalize()
    encryptor = Cipher(algorithms.AES(key), modes.CBC(key)).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def decrypt_payload(ciphertext: bytes, key: bytes) -> bytes:
    if not ciphertext:
        return b""
    if len(ciphertext) % 16:
        raise QuovelError("AES decryption failed")
    decryptor = Cipher(algorithms.AES(key), modes.CBC(key)).decryptor()
    padded = decryptor.update(ciphertext) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    try:
        return unpadder.update(padded) + unpadder.finalize()
    except ValueError:
        raise QuovelError("AES decryption failed") from None


# ---- packets --------------------------------------------------------------------


def build_packet(version: LockVersion, command: int, payload: bytes, key: bytes) -> bytes:
    ciphertext = encrypt_payload(payload, key)
    if len(ciphertext) > 255:
        raise QuovelError("encrypted payload is longer than 255 bytes")
    header = (
        bytes([0x7F, 0x5A, version.protocol_type, version.protocol_version, version.scene])
        + version.group_id.to_bytes(2, "big")
        + version.org_id.to_bytes(2, "big")
        + bytes([command, 0xAA, len(ciphertext)])
    )
    body = header + ciphertext
    return body + bytes([crc8(body)]) + b"\r\n"


@dataclass
class Response:
    command: int
    status: int
    data: bytes


def decode_response(frame: bytes, key: bytes) -> Response:
    if len(frame) <= 12:
        raise QuovelError("packet is too short")
    if frame[0] != 0x7F or frame[1] != 0x5A:
        raise QuovelError("packet does not start with 7f5a")
    n = frame[11]
    if len(frame) < n + 13:
        raise QuovelError("packet length field exceeds buffer length")
    observed = frame[12 + n]
    computed = crc8(frame[: 12 + n])
    if observed != computed:
        raise CrcMismatch(f"packet CRC mismatch: observed 0x{observed:02x}, computed 0x{computed:02x}")
    plain = decrypt_payload(frame[12 : 12 + n], key)
    if len(plain) < 2:
        raise QuovelError("not enough response data for plain command header")
    return Response(plain[0], plain[1], plain[2:])


# ---- frame assembler --------------------------------------------------------------


class FrameAssembler:
    def __init__(self) -> None:
        self._buffer = bytearray()

    def push(self, data: bytes) -> None:
        if not isinstance(data, bytes):
            raise TypeError("argument 'data': expected bytes")
        self._buffer += data

    def next_frame(self) -> bytes | None:
        buffer = self._buffer
        start = buffer.find(b"\x7f\x5a")
        if start < 0:
            # A trailing 0x7F may be the first half of a start still on its way.
            start = len(buffer) - 1 if buffer.endswith(b"\x7f") else len(buffer)
        del buffer[:start]
        if len(buffer) < 12:
            return None
        n = buffer[11]
        if len(buffer) < n + 15:
            return None
        frame = bytes(buffer[: n + 13])
        del buffer[: n + 15]
        return frame


# ---- keys and credentials ----------------------------------------------------------

WHITESPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)
_NOT_A_KEY = "AES key must be 32 hex characters or 16 bytes"
_BAD_UNLOCK_KEY = (
    "invalid unlock key: expected a whole number from 1 to 4294967295 "
    "(0 is what an empty field becomes, and is never a valid key)"
)


_SEPARATORS = re.compile(f"[:{WHITESPACE}]")


def aes_key_bytes(value) -> bytes:
    if isinstance(value, str):
        digits = _SEPARATORS.sub("", value)
        if len(digits.encode()) % 2:
            raise QuovelError(f"hex decode error: odd number of digits ({len(digits.encode())})")
        try:
            key = bytes.fromhex(digits)
        except ValueError as error:
            raise QuovelError(f"hex decode error: {error}") from None
    else:
        try:
            key = bytes(value) if isinstance(value, (bytes, bytearray)) else bytes(list(value))
        except (TypeError, ValueError):
            raise QuovelError(_NOT_A_KEY) from None
    if len(key) != 16:
        raise QuovelError(f"AES key must be exactly 16 bytes; got {len(key)} bytes")
    return key


def normalize_aes_key(value) -> str:
    return aes_key_bytes(value).hex()


def _parse_decimal(text: str, limit: int) -> int | None:
    digits = text[1:] if text.startswith("+") else text
    if not digits or not (digits.isascii() and digits.isdigit()):
        return None
    value = int(digits)
    return value if value <= limit else None


def normalize_unlock_key(value) -> int:
    key = None
    if isinstance(value, bool):
        key = None
    elif isinstance(value, int):
        key = value if 0 <= value <= 0xFFFFFFFF else None
    elif isinstance(value, str):
        key = _parse_decimal(value.strip(WHITESPACE), 0xFFFFFFFF)
    if not key:
        raise QuovelError(_BAD_UNLOCK_KEY)
    return key


def _credential_byte(piece: str) -> int:
    digits = piece[1:] if piece.startswith("+") else piece
    value = 0
    for c in digits:
        if not "0" <= c <= "9":
            raise QuovelError(f"invalid credential byte {piece}: invalid digit found in string")
        value = value * 10 + ord(c) - 48
        if value > 255:
            raise QuovelError(f"invalid credential byte {piece}: number too large to fit in target type")
    if not digits:
        raise QuovelError(f"invalid credential byte {piece}: invalid digit found in string")
    return value


def decode_credential(value: str) -> int:
    if not isinstance(value, str):
        raise TypeError("argument 'value': expected str")
    text = value.strip(WHITESPACE).rstrip(".")
    try:
        raw = base64.b64decode(text, validate=True)
    except (binascii.Error, ValueError) as error:
        raise QuovelError(f"base64 decode error: {error}") from None
    if base64.b64encode(raw).decode() != text:
        raise QuovelError("base64 decode error: not canonical")
    try:
        listed = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise QuovelError(f"UTF-8 decode error: {error}") from None
    values = [_credential_byte(p) for p in listed.strip(WHITESPACE).split(",") if p]
    if not values:
        raise QuovelError("credential value does not fit in u32")
    last = len(values) - 1
    seed = CRC8_REPLACEMENT if last == 33 else CRC8_TABLE[last % 256]
    mask = values[last] ^ seed
    number = bytes(v ^ mask for v in values[:last])
    try:
        result = _parse_decimal(number.decode("utf-8"), 0xFFFFFFFF)
    except UnicodeDecodeError:
        result = None
    if result is None:
        raise QuovelError("credential value does not fit in u32")
    return result


# ---- operations -----------------------------------------------------------------------

STATUS_COMMAND = 0x14
CHECK_USER_TIME_COMMAND = 0x55
LOCK_COMMAND = 0x58
UNLOCK_COMMAND = 0x47
STATUS_QUERY = b"ZOLMERI"
CHECK_USER_TIME_PAYLOAD = bytes([0, 1, 31, 14, 0, 99, 11, 30, 14, 0]) + bytes(7)

_HINTS = {
    LOCK_COMMAND: "the handshake succeeded, so the AES key and protocol version are right; "
    "this points at the unlock key",
    UNLOCK_COMMAND: "the handshake succeeded, so the AES key and protocol version are right; "
    "this points at the unlock key",
    CHECK_USER_TIME_COMMAND: "the handshake was refused, which points at the AES key or the protocol version",
}


def _version_argument(version) -> LockVersion:
    if version is None:
        return LockVersion()
    if not isinstance(version, LockVersion):
        raise TypeError("argument 'version': expected LockVersion")
    return version


def _accept_reply(frame: bytes, key: bytes, command: int) -> Response:
    if not isinstance(frame, bytes):
        raise TypeError("argument 'frame': expected bytes")
    reply = decode_response(frame, key)
    if reply.command != command:
        raise UnexpectedCommand(f"unexpected response command: expected 0x{command:02x}, got 0x{reply.command:02x}")
    if reply.status != 0x01:
        hint = _HINTS.get(command, "the lock refused the command")
        raise QuovelError(f"command 0x{command:02x} failed with response byte 0x{reply.status:02x} \u2014 {hint}")
    return reply


class StatusOp:
    def __init__(self, aes_key, version=None) -> None:
        self._version = _version_argument(version)
        self._key = aes_key_bytes(aes_key)
        self._awaiting_reply = False

    def start(self):
        packet = build_packet(self._version, STATUS_COMMAND, STATUS_QUERY, self._key)
        self._awaiting_reply = True
        return ("write", packet)

    def handle_frame(self, frame):
        if not self._awaiting_reply:
            raise QuovelError("received a frame when none was expected")
        reply = _accept_reply(frame, self._key, STATUS_COMMAND)
        if len(reply.data) < 2:
            raise QuovelError("not enough response data for status byte")
        state = reply.data[1]
        self._awaiting_reply = False
        return ("done", {0: "LOCKED", 1: "UNLOCKED"}.get(state, f"UNKNOWN:{state}"))


class _ActuationOp:
    COMMAND = 0

    def __init__(self, aes_key, unlock_key, version=None) -> None:
        self._version = _version_argument(version)
        self._key = aes_key_bytes(aes_key)
        self._unlock_key = normalize_unlock_key(unlock_key)
        self._phase = "idle"

    def start(self):
        packet = build_packet(self._version, CHECK_USER_TIME_COMMAND, CHECK_USER_TIME_PAYLOAD, self._key)
        self._phase = "handshake"
        return ("write", packet)

    def handle_frame(self, frame):
        if self._phase == "handshake":
            reply = _accept_reply(frame, self._key, CHECK_USER_TIME_COMMAND)
            if len(reply.data) < 4:
                raise QuovelError("not enough response data for check-user-time ps")
            ps = int.from_bytes(reply.data[:4], "big")
            now = min(max(int(time.time()), 0), 0xFFFFFFFF)
            payload = ((ps + self._unlock_key) % 2**32).to_bytes(4, "big") + now.to_bytes(4, "big")
            packet = build_packet(self._version, self.COMMAND, payload, self._key)
            self._phase = "actuation"
            return ("write", packet)
        if self._phase == "actuation":
            _accept_reply(frame, self._key, self.COMMAND)
            self._phase = "finished"
            return ("done", None)
        raise QuovelError("received a frame when none was expected")


class LockOp(_ActuationOp):
    COMMAND = LOCK_COMMAND


class UnlockOp(_ActuationOp):
    COMMAND = UNLOCK_COMMAND


# ---- advertisements ---------------------------------------------------------------------


@dataclass(frozen=True, slots=True)
class Advertisement:
    kind: str = "unrecognized"
    address: str | None = None
    battery: int | None = None
    is_unlocked: bool | None = None
    has_events: bool | None = None
    is_setting_mode: bool | None = None
    lock_version: LockVersion | None = None


def parse_payload(payload: bytes) -> Advertisement:
    if len(payload) < 15:
        return Advertisement()
    if payload[:2] in (b"\x12\x19", b"\xff\xff"):
        return Advertisement(kind="dfu")
    if payload[:2] == b"\x05\x03":
        protocol_type, protocol_version, scene, state_offset = 5, 3, payload[2], 3
    else:
        protocol_type, protocol_version, scene, state_offset = payload[4], payload[5], payload[7], 8
    address = ":".join(f"{byte:02X}" for byte in reversed(payload[-6:]))
    version = LockVersion(protocol_type, protocol_version, scene, 1, 1)
    if protocol_type < 5 or (protocol_type == 5 and protocol_version == 1):
        return Advertisement(kind="stateless", address=address, lock_version=version)
    flags = payload[state_offset]
    battery = payload[state_offset + 1]
    return Advertisement(
        kind="stateful",
        address=address,
        battery=battery if battery <= 100 else None,
        is_unlocked=bool(flags & 0x01),
        has_events=bool(flags & 0x02),
        is_setting_mode=bool(flags & 0x04),
        lock_version=version,
    )


def _company_id(value) -> int:
    if not isinstance(value, int) or not 0 <= value <= 0xFFFF:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def parse_advertisement(manufacturer_id: int, data: bytes) -> Advertisement:
    if not isinstance(data, bytes):
        raise TypeError("argument 'data': expected bytes")
    return parse_payload(_company_id(manufacturer_id).to_bytes(2, "little") + data)


_SCORES = {"unrecognized": 0, "dfu": 1, "stateless": 2, "stateful": 4}


def _ascii_lower(text: str) -> str:
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def select_advertisement(manufacturer_data: dict, expected_address: str | None = None) -> Advertisement:
    if expected_address is not None and not isinstance(expected_address, str):
        raise TypeError("argument 'expected_address': expected str")
    if not isinstance(manufacturer_data, dict):
        raise TypeError("expected dict")
    entries = {}
    for company_id, value in manufacturer_data.items():
        if isinstance(value, str):
            raise TypeError("Can't extract `str` to `Vec`")
        entries[_company_id(company_id)] = bytes(value)
    expected = _ascii_lower(expected_address) if expected_address is not None else None
    best = None
    for company_id, data in entries.items():
        ad = parse_payload(company_id.to_bytes(2, "little") + data)
        score = _SCORES[ad.kind]
        if expected is not None and ad.address is not None and _ascii_lower(ad.address) == expected:
            score += 1
        if best is None or score > best[1] or (score == best[1] and company_id < best[0]):
            best = (company_id, score, ad)
    return best[2] if best is not None else Advertisement()


# ---- lock tracker ------------------------------------------------------------------------


class LockTracker:
    """State: None (unobserved), ("settled", unlocked) or ("in_flight", action, last_unlocked)."""

    def __init__(self) -> None:
        self.last_heard_ms: int | None = None
        self.lock_version: LockVersion | None = None
        self.battery: int | None = None
        self.available = False
        self._state: tuple | None = None

    @property
    def reported_state(self) -> str | None:
        if self._state is None:
            return None
        if self._state[0] == "settled":
            return "UNLOCKED" if self._state[1] else "LOCKED"
        return "LOCKING" if self._state[1] == "lock" else "UNLOCKING"

    def _observe(self):
        return self.reported_state, self.available, self.battery

    def _changes(self, before) -> set[str]:
        changed = set()
        if self.reported_state != before[0]:
            changed.add("state")
        if self.available != before[1]:
            changed.add("available")
        if self.battery != before[2]:
            changed.add("battery")
        return changed

    def on_advertisement(self, now_ms: int, advertisement: Advertisement) -> set[str]:
        if not isinstance(advertisement, Advertisement):
            raise TypeError("argument 'advertisement': expected Advertisement")
        before = self._observe()
        if advertisement.kind == "stateful":
            self._state = ("settled", advertisement.is_unlocked)
            if advertisement.battery is not None:
                self.battery = advertisement.battery
            self.lock_version = advertisement.lock_version
        elif advertisement.kind == "stateless":
            self.lock_version = advertisement.lock_version
        self.last_heard_ms = now_ms
        self.available = True
        return self._changes(before)

    @staticmethod
    def _action(action) -> str:
        if action not in ("lock", "unlock"):
            raise QuovelError(f"unknown actuation {action!r}: expected 'lock' or 'unlock'")
        return action

    def _last_position(self):
        if self._state is None:
            return None
        return self._state[1] if self._state[0] == "settled" else self._state[2]

    def on_command_started(self, action: str) -> set[str]:
        action = self._action(action)
        before = self._observe()
        self._state = ("in_flight", action, self._last_position())
        return self._changes(before)

    def on_command_acknowledged(self, now_ms: int, action: str) -> set[str]:
        action = self._action(action)
        before = self._observe()
        self._state = ("settled", action == "unlock")
        self.last_heard_ms = now_ms
        self.available = True
        return self._changes(before)

    def on_command_failed(self) -> set[str]:
        return set()

    def credit_blind_time(self, blind_ms: int) -> None:
        if self.last_heard_ms is not None:
            self.last_heard_ms = min(self.last_heard_ms + blind_ms, 2**64 - 1)

    def on_unavailable(self) -> set[str]:
        before = self._observe()
        self.available = False
        if self._state is not None and self._state[0] == "in_flight":
            last = self._state[2]
            self._state = None if last is None else ("settled", last)
        return self._changes(before)

    def poll_availability(self, now_ms: int, offline_after_ms: int) -> set[str]:
        if self.last_heard_ms is not None and max(now_ms - self.last_heard_ms, 0) < offline_after_ms:
            return set()
        return self.on_unavailable()
