"""Decoding one manufacturer-data entry, and choosing among a whole map."""

from __future__ import annotations

import re
from collections import OrderedDict

import pytest
from hypothesis import given
from hypothesis import strategies as st
from support.samples import Index

import quovel
from quovel import parse_advertisement, select_advertisement

ADDRESS = bytes.fromhex("AABBCCDDEEFF")  # as broadcast; read last byte first
ADDRESS_TEXT = "FF:EE:DD:CC:BB:AA"
OTHER = bytes.fromhex("F6E5D4C3B2A1")
OTHER_TEXT = "A1:B2:C3:D4:E5:F6"
OUT_OF_RANGE = "out of range integral type conversion attempted"
ADDRESS_FORM = re.compile(r"[0-9A-F]{2}(:[0-9A-F]{2}){5}")


def direct(
    scene: int = 2, flags: int = 0, battery: int = 50, address: bytes = ADDRESS, filler: bytes = bytes(4)
) -> bytes:
    """`data` for identifier 0x0305, whose two bytes are type 5 and version 3."""
    return bytes([scene, flags, battery]) + filler + address


def offset(
    ptype: int,
    pver: int,
    scene: int = 2,
    flags: int = 0,
    battery: int = 50,
    address: bytes = ADDRESS,
    filler: bytes = b"",
) -> bytes:
    """`data` for any other identifier: type, version and state sit further in."""
    return bytes([0xE0, 0xE1, ptype, pver, 0xE4, scene, flags, battery]) + filler + address


def facts(ad: quovel.Advertisement) -> tuple:
    version = ad.lock_version
    return (
        ad.kind,
        ad.address,
        ad.battery,
        ad.is_unlocked,
        ad.has_events,
        ad.is_setting_mode,
        None
        if version is None
        else (version.protocol_type, version.protocol_version, version.scene, version.group_id, version.org_id),
    )


def nothing(kind: str) -> tuple:
    return (kind, None, None, None, None, None, None)


def stateless(address: str, ptype: int, pver: int, scene: int) -> tuple:
    return ("stateless", address, None, None, None, None, (ptype, pver, scene, 1, 1))


def stateful(address: str, battery: int | None, flags: tuple[bool, bool, bool], version: tuple) -> tuple:
    return ("stateful", address, battery, *flags, (*version, 1, 1))


NO_FLAGS = (False, False, False)

PARSE_CASES = {
    "direct example": (
        0x0305,
        bytes.fromhex("02015500000000AABBCCDDEEFF"),
        stateful(ADDRESS_TEXT, 85, (True, False, False), (5, 3, 2)),
    ),
    "one byte short": (0x0305, bytes.fromhex("02015500000000AABBCCDDEE"), nothing("unrecognized")),
    "empty": (0x0305, b"", nothing("unrecognized")),
    "empty, id 0": (0, b"", nothing("unrecognized")),
    "dfu 1912": (0x1912, bytes(13), nothing("dfu")),
    "dfu ffff": (0xFFFF, offset(5, 3), nothing("dfu")),
    "short dfu": (0x1912, bytes(12), nothing("unrecognized")),
    "19ff is not dfu": (0x19FF, offset(3, 7, scene=9), stateless(ADDRESS_TEXT, 3, 7, 9)),
    "ff19 is not dfu": (0xFF19, offset(3, 7, scene=9), stateless(ADDRESS_TEXT, 3, 7, 9)),
    "offset type 3": (
        0x1234,
        bytes([0xA0, 0xA1, 3, 7, 0xA4, 9, 0x01, 0x50, 0x11, 0x22, 0x33, 0x44, 0x55]),
        stateless("55:44:33:22:11:50", 3, 7, 9),
    ),
    "offset type 0": (0x1234, offset(0, 0, scene=0), stateless(ADDRESS_TEXT, 0, 0, 0)),
    "offset type 4": (0x1234, offset(4, 9), stateless(ADDRESS_TEXT, 4, 9, 2)),
    "type 5 version 1": (0x1234, offset(5, 1, flags=1), stateless(ADDRESS_TEXT, 5, 1, 2)),
    "type 5 version 0": (0x1234, offset(5, 0), stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 0, 2))),
    "type 5 version 4": (0x1234, offset(5, 4), stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 4, 2))),
    "type 6 version 1": (0x1234, offset(6, 1), stateful(ADDRESS_TEXT, 50, NO_FLAGS, (6, 1, 2))),
    "type 255": (0x1234, offset(255, 255, 255), stateful(ADDRESS_TEXT, 50, NO_FLAGS, (255, 255, 255))),
    "minimum length, battery is an address byte": (
        0x0001,
        bytes([0, 0, 5, 3, 0, 2, 0x01, 0x50, 0x11, 0x22, 0x33, 0x44, 0x55]),
        stateful("55:44:33:22:11:50", 80, (True, False, False), (5, 3, 2)),
    ),
    "battery 100": (0x0305, direct(battery=100), stateful(ADDRESS_TEXT, 100, NO_FLAGS, (5, 3, 2))),
    "battery 101": (
        0x0305,
        direct(battery=101, flags=1),
        stateful(ADDRESS_TEXT, None, (True, False, False), (5, 3, 2)),
    ),
    "battery 255": (
        0x1234,
        offset(5, 3, battery=255, flags=4),
        stateful(ADDRESS_TEXT, None, (False, False, True), (5, 3, 2)),
    ),
    "battery 0": (0x1234, offset(5, 3, battery=0), stateful(ADDRESS_TEXT, 0, NO_FLAGS, (5, 3, 2))),
    "flags 06": (0x0305, direct(flags=0x06), stateful(ADDRESS_TEXT, 50, (False, True, True), (5, 3, 2))),
    "flags f8": (0x0305, direct(flags=0xF8), stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 3, 2))),
    "flags ff": (0x1234, offset(7, 0, flags=0xFF), stateful(ADDRESS_TEXT, 50, (True, True, True), (7, 0, 2))),
    "31 bytes": (
        0x1234,
        offset(5, 3, scene=4, filler=bytes([0x7F] * 17)),
        stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 3, 4)),
    ),
    "direct scene 0": (
        0x0305,
        direct(scene=0, filler=b"\x01\x02\x03\x04\x05"),
        stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 3, 0)),
    ),
    "address zero-padded, upper case": (
        0x0305,
        direct(address=bytes.fromhex("0a0b0c0d0eab")),
        stateful("AB:0E:0D:0C:0B:0A", 50, NO_FLAGS, (5, 3, 2)),
    ),
    "64 KiB of zeros": (0x0305, bytes(65536), stateful("00:00:00:00:00:00", 0, NO_FLAGS, (5, 3, 0))),
    "64 KiB offset layout": (
        0xABCD,
        offset(5, 3, filler=bytes(65536)),
        stateful(ADDRESS_TEXT, 50, NO_FLAGS, (5, 3, 2)),
    ),
}


@pytest.mark.parametrize(("manufacturer_id", "data", "expected"), PARSE_CASES.values(), ids=list(PARSE_CASES))
def test_parse(manufacturer_id: int, data: bytes, expected: tuple) -> None:
    ad = parse_advertisement(manufacturer_id, data)
    assert type(ad) is quovel.Advertisement
    assert facts(ad) == expected
    assert facts(parse_advertisement(manufacturer_id=manufacturer_id, data=data)) == expected


@given(manufacturer_id=st.integers(0, 0xFFFF), data=st.binary(max_size=64))
def test_parse_is_total_and_consistent(manufacturer_id: int, data: bytes) -> None:
    kind, address, battery, *flags, version = facts(parse_advertisement(manufacturer_id, data))
    carries_address = kind in ("stateless", "stateful")
    assert kind in ("unrecognized", "dfu", "stateless", "stateful")
    assert (address is not None) == carries_address == (version is not None)
    if carries_address:
        assert ADDRESS_FORM.fullmatch(address)
    assert all((flag is not None) == (kind == "stateful") for flag in flags)
    assert battery is None or (kind == "stateful" and 0 <= battery <= 100)


def test_lock_version_is_a_new_object_on_every_read() -> None:
    ad = parse_advertisement(0x0305, direct())
    first, second = ad.lock_version, ad.lock_version
    assert type(first) is quovel.LockVersion
    assert first is not second
    assert repr(first) == repr(second)


def test_data_may_be_a_bytes_subclass() -> None:
    class Payload(bytes):
        pass

    assert facts(parse_advertisement(0x0305, Payload(direct()))) == facts(parse_advertisement(0x0305, direct()))


@pytest.mark.parametrize(
    "data",
    [bytearray(direct()), memoryview(direct()), list(direct()), direct().hex(), None],
    ids=["bytearray", "memoryview", "list", "str", "None"],
)
def test_data_must_be_bytes(data: object) -> None:
    with pytest.raises(TypeError, match="'data'"):
        parse_advertisement(0x0305, data)


@pytest.mark.parametrize(("manufacturer_id", "kind"), [(0, "stateful"), (0xFFFF, "dfu"), (Index(0x0305), "stateful")])
def test_manufacturer_id_range(manufacturer_id: object, kind: str) -> None:
    assert parse_advertisement(manufacturer_id, offset(5, 3)).kind == kind


@pytest.mark.parametrize("manufacturer_id", [65536, -1, Index(65536)])
def test_manufacturer_id_out_of_range(manufacturer_id: object) -> None:
    with pytest.raises(OverflowError) as raised:
        parse_advertisement(manufacturer_id, b"")
    assert str(raised.value) == OUT_OF_RANGE


# ---------------------------------------------------------------- selection

STATEFUL_A = direct(address=ADDRESS)
STATEFUL_B = offset(5, 3, flags=1, address=OTHER)
STATELESS_A = offset(3, 1, address=ADDRESS)
STATELESS_B = offset(3, 1, address=OTHER)
DFU = bytes(13)
SHORT = bytes(12)

# (entries, expected_address, identifier of the entry that wins)
SELECT_CASES = {
    "stateful beats matching stateless": ([(0x1234, STATEFUL_B), (0x0500, STATELESS_A)], ADDRESS_TEXT, 0x1234),
    "matching stateful beats lower id": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], OTHER_TEXT, 0x1234),
    "two stateful, lower id": ([(0x1234, STATEFUL_B), (0x0305, STATEFUL_A)], None, 0x0305),
    "two stateful, nothing matches": ([(0x1234, STATEFUL_B), (0x0305, STATEFUL_A)], "00:00:00:00:00:00", 0x0305),
    "dfu beats unrecognized": ([(0x0001, SHORT), (0x1912, DFU)], None, 0x1912),
    "stateless beats dfu": ([(0xFFFF, DFU), (0x9000, STATELESS_B)], None, 0x9000),
    "matching stateless beats lower id": ([(0x0100, STATELESS_B), (0x0200, STATELESS_A)], ADDRESS_TEXT, 0x0200),
    "two stateless, lower id": ([(0x0200, STATELESS_A), (0x0100, STATELESS_B)], None, 0x0100),
    "lower case matches": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], OTHER_TEXT.lower(), 0x1234),
    "mixed case matches": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], "a1:B2:c3:D4:e5:F6", 0x1234),
    "without colons": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], OTHER_TEXT.replace(":", ""), 0x0305),
    "with hyphens": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], OTHER_TEXT.replace(":", "-"), 0x0305),
    "surrounding blank": ([(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)], f" {OTHER_TEXT}", 0x0305),
    "one unrecognized entry": ([(0x0305, SHORT)], None, 0x0305),
}


@pytest.mark.parametrize("reverse", [False, True], ids=["as listed", "reversed"])
@pytest.mark.parametrize(("entries", "expected_address", "winner"), SELECT_CASES.values(), ids=list(SELECT_CASES))
def test_select(entries: list, expected_address: str | None, winner: int, reverse: bool) -> None:
    manufacturer_data = dict(reversed(entries) if reverse else entries)
    result = select_advertisement(manufacturer_data, expected_address)
    assert type(result) is quovel.Advertisement
    assert facts(result) == facts(parse_advertisement(winner, manufacturer_data[winner]))


@pytest.mark.parametrize("manufacturer_data", [{}, {0x0305: SHORT, 0x1234: b""}], ids=["empty", "all short"])
def test_select_without_information(manufacturer_data: dict) -> None:
    assert facts(select_advertisement(manufacturer_data)) == nothing("unrecognized")
    assert facts(select_advertisement(manufacturer_data, ADDRESS_TEXT)) == nothing("unrecognized")


def test_omitted_and_none_expected_address_agree() -> None:
    data = {0x0305: STATEFUL_A, 0x1234: STATEFUL_B}
    assert facts(select_advertisement(data)) == facts(select_advertisement(data, None))
    assert facts(select_advertisement(data)) == facts(select_advertisement(data, expected_address=None))


def _score(ad: quovel.Advertisement, expected: str | None) -> int:
    base = {"unrecognized": 0, "dfu": 1, "stateless": 2, "stateful": 4}[ad.kind]
    matches = expected is not None and ad.address is not None and ad.address.lower() == expected.lower()
    return base + matches


payloads = st.one_of(
    st.sampled_from([SHORT, DFU, b""]),
    st.builds(direct, flags=st.integers(0, 7), battery=st.integers(0, 255), address=st.sampled_from([ADDRESS, OTHER])),
    st.builds(
        offset,
        ptype=st.integers(0, 7),
        pver=st.integers(0, 4),
        flags=st.integers(0, 7),
        address=st.sampled_from([ADDRESS, OTHER]),
    ),
)


@given(
    entries=st.dictionaries(st.sampled_from([0x0000, 0x0305, 0x1234, 0x1912, 0xFFFF, 0x8000]), payloads, max_size=6),
    expected=st.sampled_from([None, ADDRESS_TEXT, OTHER_TEXT.lower(), "nothing"]),
    data=st.data(),
)
def test_selection_ignores_dict_order(entries: dict, expected: str | None, data: st.DataObject) -> None:
    order = data.draw(st.permutations(list(entries)))
    shuffled = {key: entries[key] for key in order}
    result = facts(select_advertisement(entries, expected))
    assert facts(select_advertisement(shuffled, expected)) == result
    if entries:
        decoded = {key: parse_advertisement(key, value) for key, value in entries.items()}
        best = min(decoded, key=lambda key: (-_score(decoded[key], expected), key))
        assert result == facts(decoded[best])


@pytest.mark.parametrize("convert", [bytes, bytearray, list, tuple], ids=["bytes", "bytearray", "list", "tuple"])
def test_value_forms_decode_alike(convert) -> None:
    result = select_advertisement({0x1234: convert(STATEFUL_B)})
    assert facts(result) == facts(parse_advertisement(0x1234, STATEFUL_B))


@pytest.mark.parametrize("position", ["first", "last"])
def test_str_value_fails_the_whole_call(position: str) -> None:
    entries = [(0x0305, STATEFUL_A), (0x1234, STATEFUL_B)]
    bad = (0x0500, STATEFUL_A.decode("latin-1"))
    manufacturer_data = dict([bad, *entries] if position == "first" else [*entries, bad])
    with pytest.raises(TypeError) as raised:
        select_advertisement(manufacturer_data)
    assert str(raised.value) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    ("manufacturer_data", "error"),
    [
        ({0x0305: STATEFUL_A, 65536: STATEFUL_B}, OverflowError),
        ({-1: STATEFUL_A, 0x0305: STATEFUL_A}, OverflowError),
        ({"5": STATEFUL_A}, TypeError),
        ({5.0: STATEFUL_A}, TypeError),
        ({0x0305: [1, 256] * 7}, OverflowError),
        ({0x0305: [1, -1] * 7}, OverflowError),
        ({0x0305: ["a"] * 13}, TypeError),
        ({0x0305: None}, TypeError),
        ({0x0305: 13}, TypeError),
        ([(0x0305, STATEFUL_A)], TypeError),
        (None, TypeError),
    ],
    ids=[
        "key 65536",
        "key -1",
        "str key",
        "float key",
        "item 256",
        "item -1",
        "str items",
        "None value",
        "int value",
        "list of pairs",
        "None",
    ],
)
def test_bad_map_fails_the_whole_call(manufacturer_data: object, error: type) -> None:
    with pytest.raises(error) as raised:
        select_advertisement(manufacturer_data, ADDRESS_TEXT)
    # The map's conversion errors carry no argument name.
    assert "argument" not in str(raised.value) and "manufacturer_data" not in str(raised.value)
    if error is OverflowError:
        assert str(raised.value) == OUT_OF_RANGE


def test_map_may_be_a_dict_subclass() -> None:
    data = OrderedDict([(0x1234, STATEFUL_B), (0x0305, STATEFUL_A)])
    assert facts(select_advertisement(data)) == facts(parse_advertisement(0x0305, STATEFUL_A))


@pytest.mark.parametrize("manufacturer_data", [{65536: STATEFUL_A}, {0x0305: "text"}, [], None])
@pytest.mark.parametrize("expected_address", [b"FF:EE:DD:CC:BB:AA", 5, ["x"]])
def test_expected_address_is_converted_first(manufacturer_data: object, expected_address: object) -> None:
    with pytest.raises(TypeError) as raised:
        select_advertisement(manufacturer_data, expected_address=expected_address)
    assert "'expected_address'" in str(raised.value)


class MutatingKey:
    """A key whose conversion alters the dict that holds it."""

    def __init__(self, target: dict, value: int, mutate) -> None:
        self.target, self.value, self.mutate = target, value, mutate

    def __index__(self) -> int:
        self.mutate(self)
        return self.value


class MutatingSequence:
    """A value whose reading alters the dict that holds it."""

    def __init__(self, target: dict) -> None:
        self.target = target

    def __len__(self) -> int:
        return 13

    def __getitem__(self, index: int) -> int:
        if not 0 <= index < 13:
            raise IndexError(index)
        self.target[0x4242] = b""
        return 0


def _grow(key: MutatingKey) -> None:
    key.target[0x7777] = b""


def _shrink(key: MutatingKey) -> None:
    key.target.pop(0x1234, None)


def _swap(key: MutatingKey) -> None:
    # Same size, but a key already seen is replaced by a new one.
    del key.target[key]
    key.target[0x7777] = b""


@pytest.mark.parametrize(
    ("mutate", "message"),
    [
        (_grow, "dictionary changed size during iteration"),
        (_shrink, "dictionary changed size during iteration"),
        (_swap, "dictionary keys changed during iteration"),
    ],
    ids=["grow", "shrink", "swap"],
)
def test_key_conversion_that_alters_the_map(mutate, message: str) -> None:
    data: dict = {}
    data[MutatingKey(data, 0x0305, mutate)] = STATEFUL_A
    data[0x1234] = STATEFUL_B
    with pytest.raises(RuntimeError) as raised:
        select_advertisement(data)
    assert str(raised.value) == message


@pytest.mark.parametrize("position", ["first", "last"])
def test_value_conversion_that_alters_the_map(position: str) -> None:
    data: dict = {}
    if position == "last":
        data[0x0305] = STATEFUL_A
    data[0x1234] = MutatingSequence(data)
    if position == "first":
        data[0x0305] = STATEFUL_A
    with pytest.raises(RuntimeError) as raised:
        select_advertisement(data)
    assert str(raised.value) == "dictionary changed size during iteration"


@pytest.mark.parametrize(
    ("first", "last"), [(STATEFUL_A, SHORT), (SHORT, STATEFUL_A)], ids=["stateful first", "stateful last"]
)
def test_keys_naming_one_identifier_keep_the_later_value(first: bytes, last: bytes) -> None:
    # Two distinct keys that convert to one identifier form one map entry.
    result = select_advertisement({Index(0x0305): first, 0x0305: last})
    assert facts(result) == facts(parse_advertisement(0x0305, last))


def test_repeated_identifier_in_a_large_map_keeps_the_later_value() -> None:
    # Past a few entries duplicates are found through a per-identifier index.
    filler = {0x2000 + i: SHORT for i in range(40)}
    result = select_advertisement({Index(0x0305): STATEFUL_A, **filler, 0x0305: SHORT})
    assert facts(result) == facts(parse_advertisement(0x0305, SHORT))
