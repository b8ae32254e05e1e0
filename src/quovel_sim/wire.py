"""The lock's own packet codec: framing, CRC-8 and the payload cipher.

Written independently of the ``quovel`` extension so that the simulated lock
checks the client instead of agreeing with it by construction.
"""

from __future__ import annotations

from dataclasses import dataclass

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

START = b"\x7f\x5a"
MARKER = 0xAA
HEADER_LENGTH = 12
END = b"\r\n"
BLOCK = 16

# The lock's CRC step takes a fixed value at one table index instead of the
# table entry; packets in both directions carry that variant.
_CRC_QUIRK_INDEX = 0x21
_CRC_QUIRK_VALUE = 0x07


def _maxim_table() -> tuple[int, ...]:
    table = []
    for index in range(256):
        crc = index
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
        table.append(crc)
    return tuple(table)


CRC8_TABLE = _maxim_table()


def crc8(data: bytes) -> int:
    """CRC-8/MAXIM as the lock computes it (one table step replaced)."""
    crc = 0
    for byte in data:
        index = crc ^ byte
        crc = _CRC_QUIRK_VALUE if index == _CRC_QUIRK_INDEX else CRC8_TABLE[index]
    return crc


@dataclass(frozen=True)
class ProtocolHeader:
    """The version fields that open every packet (the "V3" values by default)."""

    protocol_type: int = 5
    protocol_version: int = 3
    scene: int = 2
    group_id: int = 1
    org_id: int = 1

    def to_bytes(self) -> bytes:
        return (
            bytes((self.protocol_type, self.protocol_version, self.scene))
            + self.group_id.to_bytes(2, "big")
            + self.org_id.to_bytes(2, "big")
        )


def _cipher(key: bytes) -> Cipher[modes.CBC]:
    # The lock uses its key as the initialisation vector too.
    return Cipher(algorithms.AES(key), modes.CBC(key))


def encrypt(key: bytes, plaintext: bytes) -> bytes:
    """AES-128-CBC with PKCS#7 padding; an empty plaintext stays empty."""
    if not plaintext:
        return b""
    padder = padding.PKCS7(128).padder()
    padded = padder.update(plaintext) + padder.finalize()
    encryptor = _cipher(key).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def decrypt(key: bytes, ciphertext: bytes) -> bytes | None:
    """The plaintext, or ``None`` when the length or the padding is wrong."""
    if not ciphertext:
        return b""
    if len(ciphertext) % BLOCK:
        return None
    decryptor = _cipher(key).decryptor()
    padded = decryptor.update(ciphertext) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    try:
        return unpadder.update(padded) + unpadder.finalize()
    except ValueError:
        return None


def build_packet(header: ProtocolHeader, command: int, plaintext: bytes, key: bytes) -> bytes:
    """A complete packet, from the start bytes to the closing CR LF."""
    ciphertext = encrypt(key, plaintext)
    if len(ciphertext) > 255:
        raise ValueError("encrypted payload is longer than 255 bytes")
    body = START + header.to_bytes() + bytes((command, MARKER, len(ciphertext))) + ciphertext
    return body + bytes((crc8(body),)) + END


@dataclass(frozen=True)
class Packet:
    """One received packet, split into its fields (payload still encrypted)."""

    header: ProtocolHeader
    command: int
    marker: int
    ciphertext: bytes
    crc_ok: bool


def parse_packet(packet: bytes) -> Packet | None:
    """Fields of a packet, or ``None`` when it is too short or does not start right."""
    if len(packet) <= HEADER_LENGTH or not packet.startswith(START):
        return None
    length = packet[11]
    if len(packet) < HEADER_LENGTH + length + 1:
        return None
    header = ProtocolHeader(
        packet[2], packet[3], packet[4], int.from_bytes(packet[5:7], "big"), int.from_bytes(packet[7:9], "big")
    )
    crc_at = HEADER_LENGTH + length
    return Packet(
        header=header,
        command=packet[9],
        marker=packet[10],
        ciphertext=bytes(packet[HEADER_LENGTH:crc_at]),
        crc_ok=packet[crc_at] == crc8(packet[:crc_at]),
    )


class Reassembler:
    """Joins written chunks into whole packets, cut by the length byte."""

    def __init__(self) -> None:
        self._buffer = bytearray()

    def feed(self, chunk: bytes) -> list[bytes]:
        """Append a chunk; return every packet it completes, CR LF included."""
        self._buffer += chunk
        packets: list[bytes] = []
        while True:
            start = self._buffer.find(START)
            if start < 0:
                # Keep a trailing first start byte: its partner may be next.
                keep = 1 if self._buffer.endswith(START[:1]) else 0
                del self._buffer[: len(self._buffer) - keep]
                return packets
            del self._buffer[:start]
            if len(self._buffer) < HEADER_LENGTH:
                return packets
            total = HEADER_LENGTH + self._buffer[11] + 1 + len(END)
            if len(self._buffer) < total:
                return packets
            packets.append(bytes(self._buffer[:total]))
            del self._buffer[:total]
