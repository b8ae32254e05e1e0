"""LockVersion: construction rules, repr, the default and identity semantics."""

from __future__ import annotations

import pytest
from support.samples import Index

from quovel import LockVersion

FIELDS = ("protocol_type", "protocol_version", "scene", "group_id", "org_id")
WIDTH = {"protocol_type": 8, "protocol_version": 8, "scene": 8, "group_id": 16, "org_id": 16}
OUT_OF_RANGE = "out of range integral type conversion attempted"


def fields(version: LockVersion) -> tuple[int, ...]:
    return tuple(getattr(version, name) for name in FIELDS)


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((), {}, (5, 3, 2, 1, 1)),
        ((), {"scene": 0}, (5, 3, 0, 1, 1)),
        ((0, 0, 0, 0, 0), {}, (0, 0, 0, 0, 0)),
        ((1, 2, 3, 4, 5), {}, (1, 2, 3, 4, 5)),
        ((255, 255, 255, 65535, 65535), {}, (255, 255, 255, 65535, 65535)),
        ((7,), {"org_id": 9}, (7, 3, 2, 1, 9)),
        ((), {"org_id": 0, "protocol_type": 6}, (6, 3, 2, 1, 0)),
        ((Index(4), Index(1)), {"group_id": Index(300)}, (4, 1, 2, 300, 1)),
    ],
)
def test_construction(args: tuple, kwargs: dict, expected: tuple[int, ...]) -> None:
    version = LockVersion(*args, **kwargs)
    assert fields(version) == expected
    assert all(type(value) is int for value in fields(version))


@pytest.mark.parametrize("name", FIELDS)
@pytest.mark.parametrize("excess", [0, 1, 2**64])
def test_field_above_its_width_overflows(name: str, excess: int) -> None:
    with pytest.raises(OverflowError) as raised:
        LockVersion(**{name: 2 ** WIDTH[name] + excess})
    assert str(raised.value) == OUT_OF_RANGE


@pytest.mark.parametrize("name", FIELDS)
@pytest.mark.parametrize("value", [-1, Index(-1), -(2**70)])
def test_negative_field_overflows(name: str, value: object) -> None:
    with pytest.raises(OverflowError) as raised:
        LockVersion(**{name: value})
    assert str(raised.value) == OUT_OF_RANGE


@pytest.mark.parametrize("name", FIELDS)
@pytest.mark.parametrize("value", ["1", 1.0, None, b"\x01"])
def test_non_integer_field_names_the_field(name: str, value: object) -> None:
    with pytest.raises(TypeError) as raised:
        LockVersion(**{name: value})
    assert f"'{name}'" in str(raised.value)


def test_first_bad_field_is_reported() -> None:
    with pytest.raises(TypeError, match="'scene'"):
        LockVersion(1, 2, "3", "4")


@pytest.mark.parametrize(
    ("args", "kwargs"), [((), {"version": 3}), ((1, 2, 3, 4, 5, 6), {}), ((1,), {"protocol_type": 1})]
)
def test_bad_argument_lists(args: tuple, kwargs: dict) -> None:
    with pytest.raises(TypeError):
        LockVersion(*args, **kwargs)


@pytest.mark.parametrize(
    ("version", "text"),
    [
        (LockVersion(), "LockVersion(protocol_type=5, protocol_version=3, scene=2, group_id=1, org_id=1)"),
        (LockVersion(1, 2, 3, 4, 5), "LockVersion(protocol_type=1, protocol_version=2, scene=3, group_id=4, org_id=5)"),
        (
            LockVersion(255, 0, 255, 65535, 0),
            "LockVersion(protocol_type=255, protocol_version=0, scene=255, group_id=65535, org_id=0)",
        ),
    ],
)
def test_repr(version: LockVersion, text: str) -> None:
    assert repr(version) == text
    assert str(version) == text


def test_default_version() -> None:
    first = LockVersion.default_version()
    second = LockVersion.default_version()
    assert type(first) is LockVersion
    assert first is not second
    assert fields(first) == fields(LockVersion()) == (5, 3, 2, 1, 1)
    assert repr(first) == repr(LockVersion())
    assert fields(LockVersion(0, 0, 0, 0, 0).default_version()) == (5, 3, 2, 1, 1)
    assert LockVersion.default_version.__doc__ == (
        "The default V3 lock version used when an advertisement does not provide\none."
    )


def test_equality_and_hashing_are_by_identity() -> None:
    one, other = LockVersion(), LockVersion()
    assert one == one
    assert one != other
    assert not (one == other)
    assert hash(one) == hash(one) == object.__hash__(one)
    assert len({one, other, one}) == 2
    with pytest.raises(TypeError):
        one < other  # noqa: B015 - no ordering of its own


def test_fields_cannot_be_changed() -> None:
    version = LockVersion()
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(version, name, 1)
    assert fields(version) == (5, 3, 2, 1, 1)
