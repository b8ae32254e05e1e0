"""FrameAssembler: cutting notification chunks into frames by the length byte."""

from __future__ import annotations

import itertools

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quovel

PACKET = bytes.fromhex("7F5A0503020001000114AA00A60D0A")
FRAME = PACKET[:13]


def packet(payload: bytes, header: bytes = bytes(9), crc: int = 0xA6, trailer: bytes = b"\r\n") -> bytes:
    return b"\x7f\x5a" + header + bytes([len(payload)]) + payload + bytes([crc]) + trailer


SECOND = packet(b"\x0d\x0a\x7f\x5a", header=bytes(range(1, 10)), crc=0x33)  # CRLF and a start inside
SECOND_FRAME = SECOND[:-2]


def drain(assembler: quovel.FrameAssembler) -> list[bytes]:
    frames = []
    while (frame := assembler.next_frame()) is not None:
        assert type(frame) is bytes
        frames.append(frame)
    return frames


def frames_per_chunk(chunks: list[bytes]) -> list[list[bytes]]:
    assembler = quovel.FrameAssembler()
    result = []
    for chunk in chunks:
        assert assembler.push(chunk) is None
        result.append(drain(assembler))
    return result


# (chunks pushed one by one, frames drained after each chunk)
CASES = {
    "whole packet": ([PACKET], [[FRAME]]),
    "chunks of 1, 5 and 9": ([PACKET[:1], PACKET[1:6], PACKET[6:]], [[], [], [FRAME]]),
    "byte by byte": ([PACKET[i : i + 1] for i in range(15)], [[]] * 14 + [[FRAME]]),
    "two packets in one chunk": ([PACKET + SECOND], [[FRAME, SECOND_FRAME]]),
    "packet and a piece of the next": ([PACKET + SECOND[:5], SECOND[5:]], [[FRAME], [SECOND_FRAME]]),
    "garbage in front": ([b"\xaa\xbb" + PACKET], [[FRAME]]),
    "garbage between packets": ([PACKET + b"\x00\x7f" + SECOND], [[FRAME, SECOND_FRAME]]),
    "repeated 7F in front": ([b"\x7f\x7f" + PACKET], [[FRAME]]),
    "garbage ending in 7F keeps it": ([b"\x01\x02\x7f", PACKET[1:]], [[], [FRAME]]),
    "lone 7F": ([b"\x7f", PACKET[1:]], [[], [FRAME]]),
    "7F not at the end is dropped": ([b"\x7f\x01", PACKET[1:]], [[], []]),
    "garbage only": ([b"\x01\x02\x03", b"\x5a\x04"], [[], []]),
    "garbage then packet": ([b"\x01\x02\x03", PACKET], [[], [FRAME]]),
    "no CRLF trailer": ([PACKET[:-2] + b"\x00\x7f" + PACKET], [[FRAME, FRAME]]),
    "header without length byte": ([PACKET[:11], PACKET[11:12], PACKET[12:]], [[], [], [FRAME]]),
    "one byte short": ([PACKET[:-1], PACKET[-1:]], [[], [FRAME]]),
    "empty chunks": ([b"", PACKET[:6], b"", PACKET[6:], b""], [[], [], [], [FRAME], []]),
    "payload holding CRLF and a start": ([SECOND], [[SECOND_FRAME]]),
}


@pytest.mark.parametrize(("chunks", "expected"), CASES.values(), ids=list(CASES))
def test_chunkings(chunks: list[bytes], expected: list[list[bytes]]) -> None:
    assert frames_per_chunk(chunks) == expected


def test_new_assembler_has_no_frame() -> None:
    assert quovel.FrameAssembler().next_frame() is None


def test_false_start_holds_the_stream_until_its_length_arrives() -> None:
    false_start = b"\x7f\x5a" + bytes(9) + b"\xff"
    filler = bytes(range(256)) * 2
    stream = false_start + PACKET + filler[: 270 - 12 - 15]
    assert len(stream) == 270
    assembler = quovel.FrameAssembler()
    assembler.push(stream[:-1])
    assert assembler.next_frame() is None
    assembler.push(stream[-1:] + PACKET)
    assert drain(assembler) == [stream[:268], FRAME]


@pytest.mark.parametrize(
    "bad",
    [bytearray(PACKET[6:]), memoryview(PACKET[6:]), PACKET[6:].decode("latin-1"), list(PACKET[6:]), None, 5],
    ids=["bytearray", "memoryview", "str", "list", "None", "int"],
)
def test_push_refuses_non_bytes_and_keeps_the_buffer(bad: object) -> None:
    assembler = quovel.FrameAssembler()
    assembler.push(PACKET[:6])
    with pytest.raises(TypeError, match="'data'"):
        assembler.push(bad)
    assembler.push(PACKET[6:])
    assert drain(assembler) == [FRAME]


def test_push_accepts_a_bytes_subclass() -> None:
    class Notification(bytes):
        pass

    assembler = quovel.FrameAssembler()
    assembler.push(Notification(PACKET))
    assert drain(assembler) == [FRAME]


# A packet with any header, payload and CRC; garbage never holds a start.
packets = st.builds(
    packet, payload=st.binary(max_size=40), header=st.binary(min_size=9, max_size=9), crc=st.integers(0, 255)
)
garbage = st.binary(max_size=8).filter(lambda g: b"\x7f\x5a" not in g)


@given(stream=st.lists(st.tuples(garbage, packets), max_size=6), data=st.data())
def test_any_split_yields_exactly_the_frames(stream: list[tuple[bytes, bytes]], data: st.DataObject) -> None:
    joined = b"".join(junk + pkt for junk, pkt in stream)
    cuts = sorted(data.draw(st.lists(st.integers(0, len(joined)), max_size=12)))
    bounds = [0, *cuts, len(joined)]
    chunks = [joined[start:end] for start, end in itertools.pairwise(bounds)]
    frames = [frame for per_chunk in frames_per_chunk(chunks) for frame in per_chunk]
    assert frames == [pkt[:-2] for _, pkt in stream]
