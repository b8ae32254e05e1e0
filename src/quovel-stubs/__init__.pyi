"""Protocol logic for Bluetooth Low Energy smart locks.

The module performs no radio input or output and never waits: the caller owns
the connection, writes the bytes that the operations hand out and feeds the
lock's notifications back in.
"""

from collections.abc import Sequence
from typing import Final, Literal, Self, TypeAlias, TypeVar, final

__all__ = [
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

# A byte string where the module accepts more than `bytes`; a `str` is refused.
_ByteString: TypeAlias = bytes | bytearray | Sequence[int]
# An AES key: 32 hexadecimal digits, or 16 bytes.
_AesKey: TypeAlias = str | _ByteString
# An unlock key: 1 to 4294967295, as an `int` (not a `bool`) or as text.
_UnlockKey: TypeAlias = int | str
_ByteStringT = TypeVar("_ByteStringT", bound=_ByteString)

_Kind: TypeAlias = Literal["unrecognized", "dfu", "stateless", "stateful"]
_Action: TypeAlias = Literal["lock", "unlock"]
_ReportedState: TypeAlias = Literal["LOCKED", "UNLOCKED", "LOCKING", "UNLOCKING"]

_Write: TypeAlias = tuple[Literal["write"], bytes]
# "LOCKED", "UNLOCKED" or "UNKNOWN:<n>" with the lock's state byte in decimal.
_StatusDone: TypeAlias = tuple[Literal["done"], str]
_ActuationDone: TypeAlias = tuple[Literal["done"], None]

class QuovelError(Exception):
    """Raised for every protocol failure; the single argument is its message.

    An error raised by the module carries `kind`, one of `ERROR_KINDS`, for
    code that must tell failures apart (to translate them, or to know which
    key to suspect) without reading the message.
    """

    kind: str

class CrcMismatch(QuovelError):
    """A reply failed its checksum; the operation may be repeated."""

class UnexpectedCommand(QuovelError):
    """A reply answered another command than the one in flight."""

@final
class LockVersion:
    """`LockVersion` describes the protocol header used when framing commands."""
    def __new__(
        cls, protocol_type: int = 5, protocol_version: int = 3, scene: int = 2, group_id: int = 1, org_id: int = 1
    ) -> Self: ...
    @staticmethod
    def default_version() -> LockVersion:
        """The default V3 lock version used when an advertisement does not provide
        one.
        """
    @property
    def protocol_type(self) -> int:
        """Unsigned 8-bit."""
    @property
    def protocol_version(self) -> int:
        """Unsigned 8-bit."""
    @property
    def scene(self) -> int:
        """Unsigned 8-bit."""
    @property
    def group_id(self) -> int:
        """Unsigned 16-bit."""
    @property
    def org_id(self) -> int:
        """Unsigned 16-bit."""

@final
class Advertisement:
    """Parsed `Quovel` advertisement fields, used by HA passive Bluetooth
    coordinators for state/battery without connecting.

    Every state getter returns `None` when the payload could not carry that
    fact, rather than a plausible-looking default. Read [`Self::kind`] to tell
    "this lock reports itself locked" from "this payload cannot report a bolt
    position at all".
    """
    @property
    def kind(self) -> _Kind:
        """Which shape of payload this was: `"unrecognized"`, `"dfu"`,
        `"stateless"`, or `"stateful"`.
        """
    @property
    def address(self) -> str | None:
        """Six upper-case hexadecimal pairs joined by ":", or `None`."""
    @property
    def battery(self) -> int | None:
        """Battery level in percent (0 to 100), or `None`."""
    @property
    def is_unlocked(self) -> bool | None:
        """`True` if the lock currently reports itself unlocked, `None` if the
        advertisement does not carry the flag.
        """
    @property
    def has_events(self) -> bool | None:
        """Whether the lock has events waiting, or `None`."""
    @property
    def is_setting_mode(self) -> bool | None:
        """Whether the lock is in setting mode, or `None`."""
    @property
    def lock_version(self) -> LockVersion | None:
        """A new copy of the advertised protocol header on every read, or `None`."""

@final
class FrameAssembler:
    """Reassembles complete protocol frames from BLE notification chunks."""
    def __new__(cls) -> Self: ...
    def push(self, data: bytes) -> None:
        """Feed raw notification bytes."""
    def next_frame(self) -> bytes | None:
        """Return the next complete frame (CRLF stripped), or `None`."""

@final
class StatusOp:
    """Query the lock state. Steps: `("write", bytes)` then `("done", str)` where
    the string is `"LOCKED"`, `"UNLOCKED"`, or `"UNKNOWN:<n>"`.
    """
    def __new__(cls, aes_key: _AesKey, version: LockVersion | None = None) -> Self: ...
    def start(self) -> _Write:
        """Produce the first frame to write."""
    def handle_frame(self, frame: bytes) -> _Write | _StatusDone:
        """Feed one reassembled response frame (CRLF stripped)."""

@final
class LockOp:
    """Lock the lock.

    Steps: `("write", bytes)` for the check-user-time handshake, `("write",
    bytes)` for the actuation itself, then `("done", None)`.
    """
    def __new__(cls, aes_key: _AesKey, unlock_key: _UnlockKey, version: LockVersion | None = None) -> Self: ...
    def start(self) -> _Write:
        """Produce the first frame to write."""
    def handle_frame(self, frame: bytes) -> _Write | _ActuationDone:
        """Feed one reassembled response frame (CRLF stripped)."""

@final
class UnlockOp:
    """Unlock the lock.

    Steps: `("write", bytes)` for the check-user-time handshake, `("write",
    bytes)` for the actuation itself, then `("done", None)`.
    """
    def __new__(cls, aes_key: _AesKey, unlock_key: _UnlockKey, version: LockVersion | None = None) -> Self: ...
    def start(self) -> _Write:
        """Produce the first frame to write."""
    def handle_frame(self, frame: bytes) -> _Write | _ActuationDone:
        """Feed one reassembled response frame (CRLF stripped)."""

@final
class LockTracker:
    """What a lock is believed to be doing, tracked from evidence.

    Mirrors `quovel_core::tracker::LockTracker`, so that a Home Assistant
    integration reports state through exactly the same rules as the product's
    companion MQTT daemon instead of re-implementing them. Times are monotonic
    milliseconds supplied by the caller (`time.monotonic() * 1000`); nothing
    here reads a clock.

    Each mutating method returns a `set` of the names that changed, drawn from
    `{"state", "available", "battery"}`, so a caller can publish only what moved.
    """
    def __new__(cls) -> Self: ...
    def on_advertisement(self, now_ms: int, advertisement: Advertisement) -> set[str]:
        """Record an advertisement observed at `now_ms`."""
    def on_command_started(self, action: _Action) -> set[str]:
        """Record that a `"lock"` or `"unlock"` command has been sent."""
    def on_command_acknowledged(self, now_ms: int, action: _Action) -> set[str]:
        """Record that the lock acknowledged the command."""
    def on_command_failed(self) -> set[str]:
        """Record that a command failed, leaving the outcome unknown. The reported
        state deliberately stays in progress rather than reverting.
        """
    def on_status(self, now_ms: int, status: str | None) -> set[str]:
        """Record what a status query returned at `now_ms`: `"LOCKED"` or
        `"UNLOCKED"` settles the state, any other answer ends a command in flight
        at the last known position, and `None` (the query failed, nothing was
        heard) does the same without touching availability.
        """
    def credit_blind_time(self, blind_ms: int) -> None:
        """Give back time during which the radio was busy connecting and could not
        have heard an advertisement.
        """
    def poll_availability(self, now_ms: int, offline_after_ms: int) -> set[str]:
        """Expire availability if nothing has been heard for `offline_after_ms`."""
    def on_unavailable(self) -> set[str]:
        """Record that the lock can no longer be heard, clearing any pending
        command.
        """
    @property
    def reported_state(self) -> _ReportedState | None:
        """`"LOCKED"`, `"UNLOCKED"`, `"LOCKING"`, `"UNLOCKING"`, or `None` when
        nothing has been observed yet.
        """
    @property
    def is_locked(self) -> bool | None:
        """Last observed bolt position, ignoring any command in flight."""
    @property
    def pending(self) -> _Action | None:
        """`"lock"`, `"unlock"`, or `None` when no command is in flight."""
    @property
    def available(self) -> bool:
        """Whether the lock has been heard recently enough to count as present."""
    @property
    def battery(self) -> int | None:
        """Last advertised battery level in percent, or `None`."""
    @property
    def lock_version(self) -> LockVersion | None:
        """Protocol version learned from advertisements, to build commands with."""

def decode_credential(value: str) -> int:
    """Decode a base64 comma-list `Quovel` credential into its integer form."""

def normalize_unlock_key(value: _UnlockKey) -> int:
    """Validate an unlock key and return it as an `int`.

    Raises `QuovelError` if the value cannot be a key — most importantly `0`.
    """

def parse_advertisement(manufacturer_id: int, data: bytes) -> Advertisement:
    """Parse a `Quovel` manufacturer-data advertisement. `manufacturer_id` is the
    16-bit company identifier; `data` is the manufacturer-specific payload that
    follows it (as delivered by bleak).
    """

def select_advertisement(
    manufacturer_data: dict[int, _ByteStringT], expected_address: str | None = None
) -> Advertisement:
    """Choose the most informative entry from a whole manufacturer-data map.

    Prefer this over calling [`parse_advertisement`] per entry and picking one.
    A device can carry several entries and the Bluetooth stack accumulates them,
    so a stale entry sits indefinitely beside a live one; this applies the same
    selection rules as the companion daemon — prefer a payload carrying state,
    prefer one whose decoded address matches `expected_address`, break ties on
    the company identifier so the answer never depends on dict ordering.
    """

def normalize_aes_key(value: _AesKey) -> str:
    """Validate an AES key and return it in canonical form (32 lowercase hex chars).

    Exposed so the Home Assistant config flow validates with the same code the
    protocol uses, rather than a second implementation that can drift from it.

    Raises `QuovelError` if the value is not a 16-byte key.
    """

SERVICE_UUID: Final = "00001910-0000-1000-8000-00805f9b34fb"
"""The lock's GATT service."""
WRITE_CHARACTERISTIC: Final = "0000fff2-0000-1000-8000-00805f9b34fb"
"""The characteristic to which the bytes of a `("write", bytes)` step go."""
NOTIFY_CHARACTERISTIC: Final = "0000fff4-0000-1000-8000-00805f9b34fb"
"""The characteristic whose notifications go to `FrameAssembler.push`."""
WRITE_CHUNK: Final = 20
"""Bytes per write when splitting a step's bytes."""
CRC_RETRIES: Final = 2
"""How often to repeat an operation that failed with `CrcMismatch`."""
MAX_STRAY_FRAMES: Final = 4
"""Frames that may be discarded while waiting for the one an operation expects."""
CRC_RETRY_DELAY: Final = 0.2
"""Seconds to wait before each repeat after a `CrcMismatch`."""
WRITE_CHUNK_DELAY: Final = 0.02
"""Seconds between the writes of one step's chunks."""

def connect_backoff(attempt: int) -> float:
    """Seconds to wait before connect attempt `attempt` (1-based)."""

ERROR_KINDS: Final[frozenset[str]]
"""Every `kind` a `QuovelError` raised by the module may carry."""
