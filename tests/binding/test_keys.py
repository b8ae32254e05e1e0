"""Validation of the user's key material and decoding of encoded credentials."""

from __future__ import annotations

import base64

import pytest
from support.samples import Index

import quovel
from quovel_sim.wire import CRC8_TABLE

KEY_HEX = "00112233445566778899aabbccddeeff"
KEY_BYTES = bytes.fromhex(KEY_HEX)
NEITHER = "AES key must be 32 hex characters or 16 bytes"
BAD_UNLOCK_KEY = (
    "invalid unlock key: expected a whole number from 1 to 4294967295 "
    "(0 is what an empty field becomes, and is never a valid key)"
)
OUT_OF_RANGE = "credential value does not fit in u32"
# The value the packet CRC takes at table index 0x21; credentials of 34 bytes
# are masked with it.
CRC_QUIRK_VALUE = 0x07


@pytest.mark.parametrize(
    "value",
    [
        KEY_HEX.upper(),
        ":".join(KEY_HEX[i : i + 2] for i in range(0, 32, 2)),
        " ".join(KEY_HEX[i : i + 2] for i in range(0, 32, 2)) + "\n",
        "\t" + KEY_HEX[:16] + "\u00a0\u3000" + KEY_HEX[16:] + "\r\n",
        KEY_BYTES,
        bytearray(KEY_BYTES),
        list(KEY_BYTES),
        tuple(KEY_BYTES),
    ],
)
def test_aes_key_spellings_normalize_alike(value):
    assert quovel.normalize_aes_key(value) == KEY_HEX


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (KEY_HEX[:30], "^AES key must be exactly 16 bytes; got 15 bytes$"),
        (KEY_HEX + "00", "^AES key must be exactly 16 bytes; got 17 bytes$"),
        (KEY_HEX[:31], "^hex decode error: "),  # odd length wins over length
        ("zz" + KEY_HEX[2:], "^hex decode error: "),
        ("é" + KEY_HEX[1:], "^hex decode error: "),
        ("", "^AES key must be exactly 16 bytes; got 0 bytes$"),
        (KEY_HEX.encode(), "^AES key must be exactly 16 bytes; got 32 bytes$"),  # bytes are not hex text
        (bytes(15), "^AES key must be exactly 16 bytes; got 15 bytes$"),
        ([0] * 15 + [256], f"^{NEITHER}$"),
        ([0] * 15 + [-1], f"^{NEITHER}$"),
        (0, f"^{NEITHER}$"),
        (None, f"^{NEITHER}$"),
        (1.5, f"^{NEITHER}$"),
    ],
)
def test_bad_aes_keys(value, message):
    with pytest.raises(quovel.QuovelError, match=message) as caught:
        quovel.normalize_aes_key(value)
    assert type(caught.value) is quovel.QuovelError


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (1, 1),
        (4294967295, 4294967295),
        (Index(7), 7),
        ("42", 42),
        ("  42\n", 42),
        ("\u3000 42\u00a0", 42),
        ("+42", 42),
        ("0042", 42),
        ("4294967295", 4294967295),
    ],
)
def test_unlock_keys_accepted(value, expected):
    result = quovel.normalize_unlock_key(value)
    assert result == expected and type(result) is int


@pytest.mark.parametrize(
    "value",
    [
        0,
        "0",
        "+0",
        "",
        "   ",
        -1,
        True,
        False,
        1.0,
        None,
        b"42",
        Index(0),
        4294967296,
        "4294967296",
        "99999999999999999999999",
        "-5",
        "++5",
        "4 2",
        "1_000",
        "0x10",
        "٣",  # Arabic-Indic three: Python's int() would take it
    ],
)
def test_unlock_keys_refused(value):
    with pytest.raises(quovel.QuovelError) as caught:
        quovel.normalize_unlock_key(value)
    assert caught.value.args == (BAD_UNLOCK_KEY,)


class TextWithIndex(str):
    """A str that also claims to be an integer, through ``index``."""

    def __new__(cls, text: str, index):
        self = super().__new__(cls, text)
        self.index = index
        return self

    def __index__(self) -> int:
        if isinstance(self.index, BaseException):
            raise self.index
        return self.index


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        # The integer decides only when it converts and is in range.
        (TextWithIndex("42", 7), 7),
        (TextWithIndex("42", ValueError("no")), 42),
        (TextWithIndex("42", 2**32), 42),
        (TextWithIndex("42", 2**64), 42),
        (TextWithIndex("42", -1), 42),
    ],
)
def test_unlock_key_text_with_failing_index_is_read_as_text(value, expected):
    assert quovel.normalize_unlock_key(value) == expected


def test_unlock_key_in_range_zero_index_is_refused_before_text():
    with pytest.raises(quovel.QuovelError) as caught:
        quovel.normalize_unlock_key(TextWithIndex("42", 0))
    assert caught.value.args == (BAD_UNLOCK_KEY,)


def test_unlock_key_index_interrupt_is_not_swallowed():
    with pytest.raises(KeyboardInterrupt):
        quovel.normalize_unlock_key(TextWithIndex("42", KeyboardInterrupt()))


def encode_credential(text: str, key_byte: int = 0x5C) -> str:
    """Encode ``text`` as the lock's app does: masked bytes, then the mask."""
    data = text.encode()
    last = len(data)
    seed = CRC_QUIRK_VALUE if last == 33 else CRC8_TABLE[last % 256]
    values = [b ^ key_byte for b in data] + [key_byte ^ seed]
    return b64(",".join(map(str, values)))


def b64(text: str) -> str:
    return base64.b64encode(text.encode()).decode()


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("123456", 123456),
        ("0", 0),
        ("+42", 42),
        ("4294967295", 4294967295),
        ("0" * 23 + "123456789", 123456789),  # 33 bytes: table entry 32
        ("0" * 23 + "4294967295", 4294967295),  # 34 bytes: the CRC quirk value
        ("0" * 25 + "123456789", 123456789),  # 35 bytes: table entry 34
        ("0" * 286 + "123", 123),  # 290 bytes: 289 mod 256 is 0x21, yet the table entry
    ],
)
def test_credentials_decode(text, expected):
    assert quovel.decode_credential(encode_credential(text)) == expected


def test_credential_framing_is_forgiving():
    encoded = encode_credential("987")
    assert quovel.decode_credential(f" \t{encoded}...\n") == 987
    with_empty_pieces = base64.b64decode(encoded).decode().replace(",", ",,") + ","
    assert quovel.decode_credential(b64(with_empty_pieces)) == 987


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("", OUT_OF_RANGE),
        (b64(" ,,\n"), OUT_OF_RANGE),  # pieces are empty only once trimmed at the ends
        (b64("7"), OUT_OF_RANGE),  # only the mask byte: no text
        (encode_credential("4294967296"), OUT_OF_RANGE),
        (encode_credential("12a"), OUT_OF_RANGE),
        (encode_credential("-1"), OUT_OF_RANGE),
        (encode_credential("1 2"), OUT_OF_RANGE),
        (b64("1, 7,3"), "invalid credential byte  7: invalid digit found in string"),
        (b64("1,300,3"), "invalid credential byte 300: number too large to fit in target type"),
        (b64("1,300x"), "invalid credential byte 300x: number too large to fit in target type"),
        (b64("1,30x"), "invalid credential byte 30x: invalid digit found in string"),
        (b64("+,1"), "invalid credential byte +: invalid digit found in string"),
        (b64("-1,1"), "invalid credential byte -1: invalid digit found in string"),
        (b64("1,++2"), "invalid credential byte ++2: invalid digit found in string"),
    ],
)
def test_bad_credentials(value, message):
    with pytest.raises(quovel.QuovelError) as caught:
        quovel.decode_credential(value)
    assert caught.value.args == (message,)
    assert type(caught.value) is quovel.QuovelError


@pytest.mark.parametrize(
    ("value", "prefix"),
    [
        (encode_credential("12345").rstrip("="), "base64 decode error: "),
        ("QUJD\nREVG", "base64 decode error: "),  # no whitespace inside
        ("QR==", "base64 decode error: "),  # non-zero trailing bits
        ("MSwy,", "base64 decode error: "),
        (base64.b64encode(b"\xff,\xfe").decode(), "UTF-8 decode error: "),
    ],
)
def test_credential_encoding_faults(value, prefix):
    with pytest.raises(quovel.QuovelError) as caught:
        quovel.decode_credential(value)
    assert str(caught.value).startswith(prefix)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        # A lone surrogate has no UTF-8 form: it is refused as a stray byte.
        ("\ud800", "base64 decode error: invalid symbol byte 0xed at offset 0"),
        ("QUJD\udfff", "base64 decode error: invalid symbol byte 0xed at offset 4"),
        ("?\ud800", "base64 decode error: invalid symbol '?' at offset 0"),
    ],
)
def test_credential_with_lone_surrogate_is_a_quovel_error(value, message):
    with pytest.raises(quovel.QuovelError) as caught:
        quovel.decode_credential(value)
    assert caught.value.args == (message,)
    assert type(caught.value) is quovel.QuovelError


def test_decode_credential_takes_text_only():
    with pytest.raises(TypeError, match="value"):
        quovel.decode_credential(encode_credential("1").encode())
