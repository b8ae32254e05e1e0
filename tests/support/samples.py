"""Inputs as a lock and a user produce them: reply frames, advertisements and
credential texts, for tests that call the module directly.

Frames are built with the simulated lock's own codec, which is written
independently of the extension, and come without their closing CR LF, as a
``FrameAssembler`` hands them out.
"""

from __future__ import annotations

import base64

import quovel
from quovel_sim.wire import CRC8_TABLE, ProtocolHeader, build_packet, crc8

KEY = bytes(range(16))
OTHER_KEY = bytes(range(16, 32))
UNLOCK_KEY = 123456
PS = 0x01020304

STATUS = 0x14
HANDSHAKE = 0x55
LOCK = 0x58
UNLOCK = 0x47
ACCEPTED = 0x01

OP_FACTORIES = {
    "status": lambda: quovel.StatusOp(KEY),
    "lock": lambda: quovel.LockOp(KEY, UNLOCK_KEY),
    "unlock": lambda: quovel.UnlockOp(KEY, UNLOCK_KEY),
}
ACTUATION_COMMAND = {"lock": LOCK, "unlock": UNLOCK}


class Index:
    """An integer given through the index protocol, as the binding accepts."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def packet(command: int, status: int, data: bytes = b"", *, key: bytes = KEY) -> bytes:
    """A whole reply packet, CR LF included, carrying (command, status, data)."""
    return build_packet(ProtocolHeader(), command, bytes((command, status)) + data, key)


def frame(command: int, status: int, data: bytes = b"", *, key: bytes = KEY) -> bytes:
    return packet(command, status, data, key=key)[:-2]


def raw_frame(ciphertext: bytes, *, command: int = STATUS) -> bytes:
    """A frame carrying `ciphertext` as it is, with a correct CRC."""
    body = b"\x7f\x5a" + ProtocolHeader().to_bytes() + bytes((command, 0xAA, len(ciphertext))) + ciphertext
    return body + bytes((crc8(body),))


def with_crc(frame_bytes: bytes, crc: int) -> bytes:
    return frame_bytes[:-1] + bytes((crc,))


def status_reply(state: int = 0) -> bytes:
    return frame(STATUS, ACCEPTED, bytes((100, state)))


def handshake_reply(ps: int = PS) -> bytes:
    return frame(HANDSHAKE, ACCEPTED, ps.to_bytes(4, "big"))


def actuation_reply(command: int) -> bytes:
    return frame(command, ACCEPTED)


def good_replies(kind: str) -> list[bytes]:
    """The replies that carry an operation of `kind` from start() to done."""
    if kind == "status":
        return [status_reply()]
    return [handshake_reply(), actuation_reply(ACTUATION_COMMAND[kind])]


def stateful_data(*, unlocked: bool = False, battery: int = 80, flags: int = 0) -> bytes:
    """Data of a direct-layout entry (company identifier 0x0305)."""
    return bytes((2, flags | int(unlocked), battery)) + bytes(4) + bytes.fromhex("FFEEDDCCBBAA")


def stateful(*, unlocked: bool = False, battery: int = 80) -> quovel.Advertisement:
    return quovel.parse_advertisement(0x0305, stateful_data(unlocked=unlocked, battery=battery))


def stateless() -> quovel.Advertisement:
    return quovel.parse_advertisement(0x1234, bytes((0, 0, 3, 7, 0, 9)) + bytes(7))


def dfu() -> quovel.Advertisement:
    return quovel.parse_advertisement(0x1912, bytes(13))


def unrecognized() -> quovel.Advertisement:
    return quovel.parse_advertisement(0x0305, b"\x01")


# The credential mask's seed for the last list position n: the CRC step's
# replacement value at n == 33, the table entry otherwise.
def credential_seed(n: int) -> int:
    return 0x07 if n == 0x21 else CRC8_TABLE[n % 256]


def encode_credential(text: bytes, key: int = 0x5C) -> str:
    """The credential whose decoded list unmasks to `text` (the number's digits)."""
    n = len(text)
    values = [byte ^ key for byte in text] + [key ^ credential_seed(n)]
    return base64.b64encode(",".join(map(str, values)).encode()).decode()
