"""The module's whole surface: names, classes, signatures, docstrings and the
argument conventions that every callable shares."""

from __future__ import annotations

import base64

import pytest
from support.samples import (
    ACCEPTED,
    HANDSHAKE,
    KEY,
    OTHER_KEY,
    STATUS,
    encode_credential,
    frame,
    status_reply,
    with_crc,
)

import quovel

NAMES = [
    "QuovelError",
    "CrcMismatch",
    "UnexpectedCommand",
    "LockVersion",
    "Advertisement",
    "FrameAssembler",
    "StatusOp",
    "LockOp",
    "UnlockOp",
    "LockTracker",
    "decode_credential",
    "normalize_unlock_key",
    "parse_advertisement",
    "select_advertisement",
    "normalize_aes_key",
    "SERVICE_UUID",
    "WRITE_CHARACTERISTIC",
    "NOTIFY_CHARACTERISTIC",
    "WRITE_CHUNK",
    "CRC_RETRIES",
    "MAX_STRAY_FRAMES",
    "CRC_RETRY_DELAY",
    "WRITE_CHUNK_DELAY",
    "connect_backoff",
    "ERROR_KINDS",
]

CLASS_NAMES = ["LockVersion", "Advertisement", "FrameAssembler", "StatusOp", "LockOp", "UnlockOp", "LockTracker"]

OUT_OF_RANGE = "out of range integral type conversion attempted"
AES_KEY = "00112233445566778899aabbccddeeff"
STATEFUL_DATA = bytes.fromhex("02015500000000AABBCCDDEEFF")


def test_all_holds_the_names_in_binding_order() -> None:
    assert type(quovel.__all__) is list
    assert quovel.__all__ == NAMES
    public = sorted(name for name in dir(quovel) if not name.startswith("_"))
    assert public == sorted(NAMES)


def test_module_docstring_is_empty() -> None:
    assert quovel.__doc__ == ""


@pytest.mark.parametrize(
    ("name", "base"),
    [("QuovelError", Exception), ("CrcMismatch", quovel.QuovelError), ("UnexpectedCommand", quovel.QuovelError)],
)
def test_exception_class(name: str, base: type) -> None:
    cls = getattr(quovel, name)
    assert f"{cls.__module__}.{cls.__qualname__}" == f"quovel.{name}"
    assert cls.__bases__ == (base,)
    assert cls.__doc__ is None
    assert not [attr for attr in vars(cls) if not attr.startswith("__")]


@pytest.mark.parametrize("cls", [quovel.CrcMismatch, quovel.UnexpectedCommand])
def test_specific_errors_are_caught_as_quovel_error(cls: type) -> None:
    with pytest.raises(quovel.QuovelError):
        raise cls("x")


def test_quovel_error_is_caught_as_exception() -> None:
    try:
        quovel.normalize_unlock_key(0)
    except Exception as error:
        assert type(error) is quovel.QuovelError
        assert len(error.args) == 1 and str(error) == error.args[0]
    else:
        pytest.fail("no error raised")


def _status_reply_to(reply: bytes) -> object:
    operation = quovel.StatusOp(KEY)
    operation.start()
    return operation.handle_frame(reply)


def _b64(text: bytes) -> str:
    return base64.b64encode(text).decode()


_REPLY = status_reply()
_REPLY_UNDER_OTHER_KEY = frame(STATUS, ACCEPTED, bytes((100, 0)), key=OTHER_KEY)
QE, CRC, UC = quovel.QuovelError, quovel.CrcMismatch, quovel.UnexpectedCommand
# kind -> (call, class, message) for errors raised by each path into the module.
RAISED_KINDS = {
    "hex_decode": (lambda: quovel.normalize_aes_key("zz" * 16), QE, "hex decode error: "),
    "base64_decode": (lambda: quovel.decode_credential("QR=="), QE, "base64 decode error: "),
    "utf8_decode": (lambda: quovel.decode_credential(_b64(b"\xff,\xfe")), QE, "UTF-8 decode error: "),
    "aes_key_length": (lambda: quovel.StatusOp(bytes(15)), QE, "AES key must be exactly 16 bytes; got 15 bytes"),
    "invalid_unlock_key": (lambda: quovel.LockOp(KEY, 0), QE, "invalid unlock key: "),
    "aes_decryption_failed": (lambda: _status_reply_to(_REPLY_UNDER_OTHER_KEY), QE, "AES decryption failed"),
    "packet_too_short": (lambda: _status_reply_to(b"\x7f"), QE, "packet is too short"),
    "bad_packet_start": (lambda: _status_reply_to(bytes(len(_REPLY))), QE, "packet does not start with 7f5a"),
    "packet_length_exceeds_buffer": (
        lambda: _status_reply_to(_REPLY[:-2]),
        QE,
        "packet length field exceeds buffer length",
    ),
    "crc_mismatch": (lambda: _status_reply_to(with_crc(_REPLY, _REPLY[-1] ^ 1)), CRC, "packet CRC mismatch: "),
    "unexpected_command": (
        lambda: _status_reply_to(frame(HANDSHAKE, ACCEPTED, bytes(4))),
        UC,
        "unexpected response command: expected 0x14, got 0x55",
    ),
    "command_refused": (lambda: _status_reply_to(frame(STATUS, 0)), QE, "command 0x14 failed with response byte 0x00"),
    "not_enough_response_data": (
        lambda: _status_reply_to(frame(STATUS, ACCEPTED)),
        QE,
        "not enough response data for status byte",
    ),
    "credential_out_of_range": (
        lambda: quovel.decode_credential(encode_credential(b"4294967296")),
        QE,
        "credential value does not fit in u32",
    ),
    "protocol": (lambda: quovel.StatusOp(KEY).handle_frame(_REPLY), QE, "received a frame when none was expected"),
    "invalid_aes_key": (lambda: quovel.normalize_aes_key(1.5), QE, "AES key must be 32 hex characters or 16 bytes"),
    "unknown_actuation": (
        lambda: quovel.LockTracker().on_command_started("open"),
        QE,
        "unknown actuation \"open\": expected 'lock' or 'unlock'",
    ),
}


@pytest.mark.parametrize(
    ("kind", "call", "cls", "message"), [(k, *v) for k, v in RAISED_KINDS.items()], ids=list(RAISED_KINDS)
)
def test_raised_errors_carry_their_kind_beside_an_unchanged_message(kind, call, cls, message) -> None:
    with pytest.raises(quovel.QuovelError) as raised:
        call()
    error = raised.value
    assert type(error) is cls
    assert error.kind == kind
    assert error.args == (str(error),)
    assert str(error).startswith(message)


def test_error_kinds_name_every_kind_once() -> None:
    assert type(quovel.ERROR_KINDS) is frozenset
    assert set(RAISED_KINDS) == quovel.ERROR_KINDS
    assert all(type(kind) is str for kind in quovel.ERROR_KINDS)


@pytest.mark.parametrize(
    ("name", "kind", "value"),
    [
        ("SERVICE_UUID", str, "00001910-0000-1000-8000-00805f9b34fb"),
        ("WRITE_CHARACTERISTIC", str, "0000fff2-0000-1000-8000-00805f9b34fb"),
        ("NOTIFY_CHARACTERISTIC", str, "0000fff4-0000-1000-8000-00805f9b34fb"),
        ("WRITE_CHUNK", int, 20),
        ("CRC_RETRIES", int, 2),
        ("MAX_STRAY_FRAMES", int, 4),
        ("CRC_RETRY_DELAY", float, 0.2),
        ("WRITE_CHUNK_DELAY", float, 0.02),
    ],
)
def test_constant(name: str, kind: type, value: object) -> None:
    constant = getattr(quovel, name)
    assert type(constant) is kind
    assert constant == value


# ---------------------------------------------------------------- classes

CLASS_TEXTS = {
    "LockVersion": (
        "(protocol_type=5, protocol_version=3, scene=2, group_id=1, org_id=1)",
        "`LockVersion` describes the protocol header used when framing commands.",
    ),
    "Advertisement": (
        None,
        "Parsed `Quovel` advertisement fields, used by HA passive Bluetooth\n"
        "coordinators for state/battery without connecting.\n\n"
        "Every state getter returns `None` when the payload could not carry that\n"
        "fact, rather than a plausible-looking default. Read [`Self::kind`] to tell\n"
        '"this lock reports itself locked" from "this payload cannot report a bolt\n'
        'position at all".',
    ),
    "FrameAssembler": ("()", "Reassembles complete protocol frames from BLE notification chunks."),
    "StatusOp": (
        "(aes_key, version=None)",
        'Query the lock state. Steps: `("write", bytes)` then `("done", str)` where\n'
        'the string is `"LOCKED"`, `"UNLOCKED"`, or `"UNKNOWN:<n>"`.',
    ),
    "LockOp": (
        "(aes_key, unlock_key, version=None)",
        "Lock the lock.\n\n"
        'Steps: `("write", bytes)` for the check-user-time handshake, `("write",\n'
        'bytes)` for the actuation itself, then `("done", None)`.',
    ),
    "UnlockOp": (
        "(aes_key, unlock_key, version=None)",
        "Unlock the lock.\n\n"
        'Steps: `("write", bytes)` for the check-user-time handshake, `("write",\n'
        'bytes)` for the actuation itself, then `("done", None)`.',
    ),
}

TRACKER_FIRST = "What a lock is believed to be doing, tracked from evidence."
TRACKER_LAST = (
    "Each mutating method returns a `set` of the names that changed, drawn from\n"
    '`{"state", "available", "battery"}`, so a caller can publish only what moved.'
)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity(name: str) -> None:
    cls = getattr(quovel, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", sorted(CLASS_TEXTS))
def test_class_signature_and_docstring(name: str) -> None:
    signature, text = CLASS_TEXTS[name]
    cls = getattr(quovel, name)
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == text


def test_tracker_docstring() -> None:
    assert quovel.LockTracker.__text_signature__ == "()"
    first, middle, last = quovel.LockTracker.__doc__.split("\n\n")
    assert first == TRACKER_FIRST
    assert last == TRACKER_LAST
    words = " ".join(middle.split())
    for phrase in (
        "`quovel_core::tracker::LockTracker`",
        "Home Assistant",
        "companion MQTT daemon",
        "`time.monotonic() * 1000`",
        "clock",
    ):
        assert phrase in words


def test_advertisement_cannot_be_instantiated() -> None:
    with pytest.raises(TypeError):
        quovel.Advertisement()


# Every public attribute of every class: method -> (signature, text),
# property -> text (None where it has none). Order is table order.
METHODS = {
    "LockVersion": {
        "default_version": ("()", "The default V3 lock version used when an advertisement does not provide\none.")
    },
    "Advertisement": {},
    "FrameAssembler": {
        "push": ("($self, data)", "Feed raw notification bytes."),
        "next_frame": ("($self)", "Return the next complete frame (CRLF stripped), or `None`."),
    },
    "LockTracker": {
        "on_advertisement": ("($self, now_ms, advertisement)", "Record an advertisement observed at `now_ms`."),
        "on_command_started": ("($self, action)", 'Record that a `"lock"` or `"unlock"` command has been sent.'),
        "on_command_acknowledged": ("($self, now_ms, action)", "Record that the lock acknowledged the command."),
        "on_command_failed": (
            "($self)",
            "Record that a command failed, leaving the outcome unknown. The reported\n"
            "state deliberately stays in progress rather than reverting.",
        ),
        "on_status": (
            "($self, now_ms, status)",
            'Record what a status query returned at `now_ms`: `"LOCKED"` or\n'
            '`"UNLOCKED"` settles the state, any other answer ends a command in flight\n'
            "at the last known position, and `None` (the query failed, nothing was\n"
            "heard) does the same without touching availability.",
        ),
        "credit_blind_time": (
            "($self, blind_ms)",
            "Give back time during which the radio was busy connecting and could not\nhave heard an advertisement.",
        ),
        "poll_availability": (
            "($self, now_ms, offline_after_ms)",
            "Expire availability if nothing has been heard for `offline_after_ms`.",
        ),
        "on_unavailable": ("($self)", "Record that the lock can no longer be heard, clearing any pending\ncommand."),
    },
}
for _op in ("StatusOp", "LockOp", "UnlockOp"):
    METHODS[_op] = {
        "start": ("($self)", "Produce the first frame to write."),
        "handle_frame": ("($self, frame)", "Feed one reassembled response frame (CRLF stripped)."),
    }

PROPERTIES = {
    "LockVersion": {name: None for name in ("protocol_type", "protocol_version", "scene", "group_id", "org_id")},
    "Advertisement": {
        "kind": 'Which shape of payload this was: `"unrecognized"`, `"dfu"`,\n`"stateless"`, or `"stateful"`.',
        "address": None,
        "battery": None,
        "is_unlocked": (
            "`True` if the lock currently reports itself unlocked, `None` if the\n"
            "advertisement does not carry the flag."
        ),
        "has_events": None,
        "is_setting_mode": None,
        "lock_version": None,
    },
    "FrameAssembler": {},
    "StatusOp": {},
    "LockOp": {},
    "UnlockOp": {},
    "LockTracker": {
        "reported_state": (
            '`"LOCKED"`, `"UNLOCKED"`, `"LOCKING"`, `"UNLOCKING"`, or `None` when\nnothing has been observed yet.'
        ),
        "is_locked": "Last observed bolt position, ignoring any command in flight.",
        "pending": '`"lock"`, `"unlock"`, or `None` when no command is in flight.',
        "available": None,
        "battery": None,
        "lock_version": "Protocol version learned from advertisements, to build commands with.",
    },
}


def _instance(name: str) -> object:
    factories = {
        "LockVersion": quovel.LockVersion,
        "Advertisement": lambda: quovel.parse_advertisement(0x0305, STATEFUL_DATA),
        "FrameAssembler": quovel.FrameAssembler,
        "StatusOp": lambda: quovel.StatusOp(AES_KEY),
        "LockOp": lambda: quovel.LockOp(AES_KEY, 1),
        "UnlockOp": lambda: quovel.UnlockOp(AES_KEY, 1),
        "LockTracker": quovel.LockTracker,
    }
    return factories[name]()


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_exposes_exactly_its_methods_and_properties(name: str) -> None:
    cls = getattr(quovel, name)
    public = [attr for attr in vars(cls) if not attr.startswith("_")]
    assert public == list(METHODS[name]) + list(PROPERTIES[name])


@pytest.mark.parametrize(("name", "method"), [(name, method) for name in CLASS_NAMES for method in METHODS[name]])
def test_method_signature_and_docstring(name: str, method: str) -> None:
    signature, text = METHODS[name][method]
    function = getattr(getattr(quovel, name), method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == text


@pytest.mark.parametrize(("name", "prop"), [(name, prop) for name in CLASS_NAMES for prop in PROPERTIES[name]])
def test_property_is_read_only_with_its_docstring(name: str, prop: str) -> None:
    descriptor = vars(getattr(quovel, name))[prop]
    assert descriptor.__doc__ == PROPERTIES[name][prop]
    instance = _instance(name)
    before = getattr(instance, prop)
    with pytest.raises(AttributeError):
        setattr(instance, prop, before)
    with pytest.raises(AttributeError):
        delattr(instance, prop)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_take_no_new_attributes(name: str) -> None:
    with pytest.raises(AttributeError):
        _instance(name).extra = 1  # type: ignore[attr-defined]


def test_lock_version_defines_repr() -> None:
    assert "__repr__" in vars(quovel.LockVersion)


# ---------------------------------------------------------------- functions

SELECT_FIXED_LINES = [
    "Choose the most informative entry from a whole manufacturer-data map.",
    "",
    "Prefer this over calling [`parse_advertisement`] per entry and picking one.",
    "A device can carry several entries and the Bluetooth stack accumulates them,",
    "so a stale entry sits indefinitely beside a live one; this applies the same",
    None,  # given in words
    "prefer one whose decoded address matches `expected_address`, break ties on",
    "the company identifier so the answer never depends on dict ordering.",
]

FUNCTIONS = {
    "decode_credential": ("(value)", "Decode a base64 comma-list `Quovel` credential into its integer form."),
    "normalize_unlock_key": (
        "(value)",
        "Validate an unlock key and return it as an `int`.\n\n"
        "Raises `QuovelError` if the value cannot be a key \u2014 most importantly `0`.",
    ),
    "parse_advertisement": (
        "(manufacturer_id, data)",
        "Parse a `Quovel` manufacturer-data advertisement. `manufacturer_id` is the\n"
        "16-bit company identifier; `data` is the manufacturer-specific payload that\n"
        "follows it (as delivered by bleak).",
    ),
    "select_advertisement": ("(manufacturer_data, expected_address=None)", None),
    "normalize_aes_key": (
        "(value)",
        "Validate an AES key and return it in canonical form (32 lowercase hex chars).\n\n"
        "Exposed so the Home Assistant config flow validates with the same code the\n"
        "protocol uses, rather than a second implementation that can drift from it.\n\n"
        "Raises `QuovelError` if the value is not a 16-byte key.",
    ),
    "connect_backoff": ("(attempt)", "Seconds to wait before connect attempt `attempt` (1-based)."),
}


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_function_signature_and_docstring(name: str) -> None:
    signature, text = FUNCTIONS[name]
    function = getattr(quovel, name)
    assert function.__text_signature__ == signature
    if text is not None:
        assert function.__doc__ == text


def test_select_advertisement_docstring() -> None:
    lines = quovel.select_advertisement.__doc__.split("\n")
    assert len(lines) == len(SELECT_FIXED_LINES)
    for line, expected in zip(lines, SELECT_FIXED_LINES):
        if expected is not None:
            assert line == expected
    words = lines[SELECT_FIXED_LINES.index(None)]
    assert "companion daemon" in words
    assert words.endswith(" \u2014 prefer a payload carrying state,")


# ---------------------------------------------------------------- arguments


def _summary(value: object) -> object:
    """A comparable stand-in for a result: values compare by identity."""
    if isinstance(value, quovel.Advertisement):
        return ("Advertisement", value.kind, value.address, value.battery, value.is_unlocked)
    if isinstance(value, set):
        return sorted(value)
    if isinstance(value, quovel.LockVersion):
        return repr(value)
    if isinstance(value, tuple):
        return tuple(_summary(item) for item in value)
    if type(value).__module__ == "builtins" and type(value).__name__ in CLASS_NAMES:
        return type(value).__name__
    return value


def _outcome(call) -> object:
    try:
        return ("returned", _summary(call()))
    except Exception as error:
        return ("raised", type(error), str(error))


# (id, factory of the callable, parameter names, valid arguments). Factories
# build a fresh object per call, so a first call cannot change the second.
WITH_ARGUMENTS = [
    (
        "LockVersion",
        lambda: quovel.LockVersion,
        ("protocol_type", "protocol_version", "scene", "group_id", "org_id"),
        (1, 2, 3, 4, 5),
    ),
    ("StatusOp", lambda: quovel.StatusOp, ("aes_key", "version"), (AES_KEY, quovel.LockVersion())),
    ("LockOp", lambda: quovel.LockOp, ("aes_key", "unlock_key", "version"), (AES_KEY, 7, None)),
    ("UnlockOp", lambda: quovel.UnlockOp, ("aes_key", "unlock_key", "version"), (AES_KEY, 7, None)),
    ("push", lambda: quovel.FrameAssembler().push, ("data",), (b"\x7f\x5a",)),
    ("handle_frame", lambda: quovel.StatusOp(AES_KEY).handle_frame, ("frame",), (b"\x7f\x5a",)),
    (
        "on_advertisement",
        lambda: quovel.LockTracker().on_advertisement,
        ("now_ms", "advertisement"),
        (5, quovel.parse_advertisement(0x0305, STATEFUL_DATA)),
    ),
    ("on_command_started", lambda: quovel.LockTracker().on_command_started, ("action",), ("lock",)),
    (
        "on_command_acknowledged",
        lambda: quovel.LockTracker().on_command_acknowledged,
        ("now_ms", "action"),
        (5, "unlock"),
    ),
    ("on_status", lambda: quovel.LockTracker().on_status, ("now_ms", "status"), (5, "LOCKED")),
    ("credit_blind_time", lambda: quovel.LockTracker().credit_blind_time, ("blind_ms",), (5,)),
    ("poll_availability", lambda: quovel.LockTracker().poll_availability, ("now_ms", "offline_after_ms"), (5, 10)),
    ("decode_credential", lambda: quovel.decode_credential, ("value",), ("NTMsOTQ=",)),
    ("normalize_unlock_key", lambda: quovel.normalize_unlock_key, ("value",), ("0042",)),
    ("parse_advertisement", lambda: quovel.parse_advertisement, ("manufacturer_id", "data"), (0x0305, STATEFUL_DATA)),
    (
        "select_advertisement",
        lambda: quovel.select_advertisement,
        ("manufacturer_data", "expected_address"),
        ({0x0305: STATEFUL_DATA}, "ff:ee:dd:cc:bb:aa"),
    ),
    ("normalize_aes_key", lambda: quovel.normalize_aes_key, ("value",), (AES_KEY.upper(),)),
    ("connect_backoff", lambda: quovel.connect_backoff, ("attempt",), (2,)),
]

WITHOUT_ARGUMENTS = [
    ("FrameAssembler", lambda: quovel.FrameAssembler),
    ("LockTracker", lambda: quovel.LockTracker),
    ("default_version", lambda: quovel.LockVersion.default_version),
    ("next_frame", lambda: quovel.FrameAssembler().next_frame),
    ("start", lambda: quovel.StatusOp(AES_KEY).start),
    ("LockOp.start", lambda: quovel.LockOp(AES_KEY, 1).start),
    ("UnlockOp.start", lambda: quovel.UnlockOp(AES_KEY, 1).start),
    ("on_command_failed", lambda: quovel.LockTracker().on_command_failed),
    ("on_unavailable", lambda: quovel.LockTracker().on_unavailable),
]

with_arguments = pytest.mark.parametrize(
    ("factory", "names", "values"), [case[1:] for case in WITH_ARGUMENTS], ids=[case[0] for case in WITH_ARGUMENTS]
)
without_arguments = pytest.mark.parametrize(
    "factory", [case[1] for case in WITHOUT_ARGUMENTS], ids=[case[0] for case in WITHOUT_ARGUMENTS]
)


@with_arguments
def test_arguments_by_position_and_by_keyword_agree(factory, names, values) -> None:
    by_position = _outcome(lambda: factory()(*values))
    by_keyword = _outcome(lambda: factory()(**dict(zip(names, values))))
    mixed = _outcome(lambda: factory()(values[0], **dict(zip(names[1:], values[1:]))))
    assert by_position[0] == "returned" or names == ("frame",)
    assert by_keyword == by_position
    assert mixed == by_position


@with_arguments
def test_unknown_keyword_is_refused(factory, names, values) -> None:
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'bogus'"):
        factory()(*values, bogus=1)


@with_arguments
def test_repeated_argument_is_refused(factory, names, values) -> None:
    with pytest.raises(TypeError, match=f"got multiple values for argument '{names[0]}'"):
        factory()(*values, **{names[0]: values[0]})


@with_arguments
def test_too_many_positional_arguments_are_refused(factory, names, values) -> None:
    with pytest.raises(TypeError):
        factory()(*values, values[0])


@with_arguments
def test_missing_required_argument_is_refused(factory, names, values) -> None:
    if factory() is quovel.LockVersion:
        pytest.skip("every parameter has a default")
    with pytest.raises(TypeError):
        factory()()


@without_arguments
def test_callables_without_parameters_refuse_arguments(factory) -> None:
    factory()()
    with pytest.raises(TypeError):
        factory()(1)
    with pytest.raises(TypeError):
        factory()(x=1)


@pytest.mark.parametrize(
    "call",
    [
        lambda: quovel.LockVersion(256),
        lambda: quovel.LockVersion(scene=-1),
        lambda: quovel.LockVersion(org_id=65536),
        lambda: quovel.parse_advertisement(65536, b""),
        lambda: quovel.parse_advertisement(-1, b""),
        lambda: quovel.connect_backoff(2**32),
        lambda: quovel.connect_backoff(-1),
        lambda: quovel.connect_backoff(2**100),
    ],
    ids=["u8", "u8-negative", "u16", "u16-arg", "u16-negative", "u32", "u32-negative", "huge"],
)
def test_small_integer_overflow_text(call) -> None:
    with pytest.raises(OverflowError) as raised:
        call()
    assert str(raised.value) == OUT_OF_RANGE


def _interpreter_u64_message(value: int) -> str:
    """The interpreter's own wording for a value that is no unsigned 64-bit."""
    try:
        value.to_bytes(8, "little")
    except OverflowError as error:
        return str(error)
    raise AssertionError("fits")


TIME_CALLS = {
    "on_advertisement": lambda t, v: t.on_advertisement(v, quovel.parse_advertisement(0, b"")),
    "on_command_acknowledged": lambda t, v: t.on_command_acknowledged(v, "lock"),
    "credit_blind_time": lambda t, v: t.credit_blind_time(v),
    "poll_availability.now_ms": lambda t, v: t.poll_availability(v, 1),
    "poll_availability.offline_after_ms": lambda t, v: t.poll_availability(1, v),
}


@pytest.mark.parametrize("value", [2**64, -1, 2**80])
@pytest.mark.parametrize("call", TIME_CALLS.values(), ids=list(TIME_CALLS))
def test_time_overflow_uses_the_interpreter_wording(call, value: int) -> None:
    with pytest.raises(OverflowError) as raised:
        call(quovel.LockTracker(), value)
    assert str(raised.value) == _interpreter_u64_message(value)
    assert str(raised.value) != OUT_OF_RANGE


ADVERTISEMENT = quovel.parse_advertisement(0x0305, STATEFUL_DATA)

WRONG_TYPES = [
    ("attempt", lambda: quovel.connect_backoff("1")),
    ("attempt", lambda: quovel.connect_backoff(1.0)),
    ("now_ms", lambda: quovel.LockTracker().on_advertisement("1", ADVERTISEMENT)),
    ("now_ms", lambda: quovel.LockTracker().on_command_acknowledged(None, "lock")),
    ("now_ms", lambda: quovel.LockTracker().poll_availability(1.5, 1)),
    ("offline_after_ms", lambda: quovel.LockTracker().poll_availability(1, "1")),
    ("blind_ms", lambda: quovel.LockTracker().credit_blind_time(b"1")),
    ("advertisement", lambda: quovel.LockTracker().on_advertisement(1, quovel.LockVersion())),
    ("action", lambda: quovel.LockTracker().on_command_started(b"lock")),
    ("action", lambda: quovel.LockTracker().on_command_acknowledged(1, None)),
    ("expected_address", lambda: quovel.select_advertisement({}, b"AA:BB:CC:DD:EE:FF")),
    ("version", lambda: quovel.StatusOp(AES_KEY, version=(5, 3, 2, 1, 1))),
    ("version", lambda: quovel.LockOp(AES_KEY, 1, "V3")),
    ("version", lambda: quovel.UnlockOp(AES_KEY, 1, quovel.LockTracker())),
    ("data", lambda: quovel.FrameAssembler().push(bytearray(b"x"))),
    ("data", lambda: quovel.parse_advertisement(0x0305, memoryview(STATEFUL_DATA))),
    ("frame", lambda: quovel.StatusOp(AES_KEY).handle_frame(bytearray(15))),
    ("manufacturer_id", lambda: quovel.parse_advertisement("773", STATEFUL_DATA)),
    ("manufacturer_id", lambda: quovel.parse_advertisement(None, STATEFUL_DATA)),
    ("value", lambda: quovel.decode_credential(b"NTMsOTQ=")),
    ("protocol_type", lambda: quovel.LockVersion("5")),
]


@pytest.mark.parametrize(
    ("argument", "call"), WRONG_TYPES, ids=[f"{case[0]}-{i}" for i, case in enumerate(WRONG_TYPES)]
)
def test_wrong_type_names_the_argument(argument: str, call) -> None:
    with pytest.raises(TypeError) as raised:
        call()
    assert f"'{argument}'" in str(raised.value)


@pytest.mark.parametrize(
    ("argument", "call"),
    [
        ("manufacturer_id", lambda: quovel.parse_advertisement("1", bytearray())),
        ("now_ms", lambda: quovel.LockTracker().on_advertisement("1", None)),
        ("now_ms", lambda: quovel.LockTracker().on_command_acknowledged("1", 5)),
        ("now_ms", lambda: quovel.LockTracker().poll_availability(None, None)),
    ],
)
def test_arguments_are_converted_in_parameter_order(argument: str, call) -> None:
    with pytest.raises(TypeError) as raised:
        call()
    assert f"'{argument}'" in str(raised.value)
