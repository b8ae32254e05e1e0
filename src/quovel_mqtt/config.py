"""The bridge's configuration: one TOML file, and secrets kept out of it.

Every fault is a :class:`ConfigError` naming the file, the field and what is
wrong, on one line. Key material is read from a secrets file or an
environment variable; written into the main file itself it is accepted only
while that file is readable by its owner alone. No message repeats a secret.
"""

from __future__ import annotations

import os
import re
import socket
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import quovel
from quovel_bleak.keyfiles import Secret, SecretFileError, check_owner_only, read_secret_file

DEFAULT_PREFIX = "quovel"
DEFAULT_DISCOVERY_PREFIX = "homeassistant"
_TOPIC_WORD = re.compile(r"^[^#+\x00]+$")
_ADDRESS = re.compile(r"^[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5}$")
# A bridge id is one topic level and part of a client identifier: letters, digits, - and _.
_BRIDGE_ID = re.compile(r"^[A-Za-z0-9_-]{1,64}$")


def default_bridge_id(hostname: str | None = None) -> str:
    """The host's name as a bridge id: its first label, every other character a -."""
    name = (hostname if hostname is not None else socket.gethostname()).split(".")[0]
    word = re.sub(r"[^A-Za-z0-9_-]+", "-", name).strip("-")[:64]
    return word or "bridge"


class ConfigError(Exception):
    """A configuration fault: ``str()`` is the one line to show."""

    def __init__(self, file: Path | str, field: str, problem: str) -> None:
        super().__init__(f"{file}: {field}: {problem}")
        self.file = str(file)
        self.field = field
        self.problem = problem


@dataclass(frozen=True)
class TlsConfig:
    ca_file: Path | None = None
    """None: the system's certificate authorities."""
    cert_file: Path | None = None
    key_file: Path | None = None
    insecure: bool = False
    """Skip the host name check (a broker addressed by IP with a name-only certificate)."""


@dataclass(frozen=True)
class BrokerConfig:
    host: str = "localhost"
    port: int = 1883
    username: str | None = None
    password: Secret | None = field(default=None, repr=False)
    client_id: str = "quovel-mqtt"
    """Default in a loaded configuration: ``quovel-mqtt-<bridge id>``, unique per bridge on one broker."""
    keepalive: int = 30
    tls: TlsConfig | None = None


@dataclass(frozen=True)
class LockConfig:
    name: str
    address: str
    """Upper case, colon separated."""
    aes_key: Secret = field(repr=False)
    unlock_key: int | None = field(default=None, repr=False)
    """None: status only; LOCK and UNLOCK are refused."""

    @property
    def object_id(self) -> str:
        return self.address.replace(":", "").lower()


@dataclass(frozen=True)
class Config:
    file: Path
    broker: BrokerConfig
    locks: tuple[LockConfig, ...]
    topic_prefix: str = DEFAULT_PREFIX
    bridge_id: str = field(default_factory=default_bridge_id)
    """This bridge among the others on the broker; default: the host's name."""
    discovery: bool = True
    discovery_prefix: str = DEFAULT_DISCOVERY_PREFIX
    status_topic: str = f"{DEFAULT_DISCOVERY_PREFIX}/status"
    adapter: str | None = None
    offline_after: float | None = None
    """None: the driver's offline limit, as the Home Assistant integration uses."""
    hold_link: float | None = None
    """None: the driver's default."""
    connection_slots: int | None = None
    """Links the adapter may hold at once, shared by every lock; None: no limit of the bridge's own."""
    simulation: str | None = None
    """Tests only: "module:callable" giving the Bluetooth backends to use."""


class _Reader:
    """Typed field access over one table, with errors that name the field."""

    def __init__(self, file: Path, table: dict[str, Any], where: str, known: set[str]) -> None:
        self.file = file
        self.table = table
        self.where = where
        unknown = sorted(set(table) - known)
        if unknown:
            raise ConfigError(file, self.name(unknown[0]), "unknown field")

    def name(self, key: str) -> str:
        return f"{self.where}.{key}" if self.where else key

    def error(self, key: str, problem: str) -> ConfigError:
        return ConfigError(self.file, self.name(key), problem)

    def get(self, key: str, kind: type | tuple[type, ...], default: Any = None) -> Any:
        if key not in self.table:
            return default
        value = self.table[key]
        # bool is an int in Python, never a port or a number of seconds here.
        if isinstance(value, bool) and kind is not bool and bool not in (kind if isinstance(kind, tuple) else (kind,)):
            raise self.error(key, f"must be {_kind_name(kind)}, not a boolean")
        if not isinstance(value, kind):
            raise self.error(key, f"must be {_kind_name(kind)}, not {_toml_type(value)}")
        return value

    def text(self, key: str, default: str | None = None) -> str | None:
        value: str | None = self.get(key, str, default)
        if value is not None and not value.strip():
            raise self.error(key, "must not be empty")
        return value

    def topic(self, key: str, default: str) -> str:
        value = self.text(key, default)
        assert value is not None
        if not _TOPIC_WORD.match(value) or value.startswith("/") or value.endswith("/"):
            raise self.error(key, "must be an MQTT topic without wildcards (+, #) or a leading or trailing /")
        return value

    def number(self, key: str, low: float, high: float, default: float | None = None) -> float | None:
        value = self.get(key, (int, float), default)
        if value is not None and not low <= value <= high:
            raise self.error(key, f"must be from {low:g} to {high:g}, not {value:g}")
        return None if value is None else float(value)

    def path(self, key: str) -> Path | None:
        value = self.text(key)
        if value is None:
            return None
        path = Path(value)
        return path if path.is_absolute() else self.file.parent / path

    def table_of(self, key: str, known: set[str]) -> _Reader | None:
        value = self.get(key, dict)
        return None if value is None else _Reader(self.file, value, self.name(key), known)


def _kind_name(kind: type | tuple[type, ...]) -> str:
    names = {str: "a string", int: "an integer", float: "a number", bool: "true or false", dict: "a table"}
    kinds = kind if isinstance(kind, tuple) else (kind,)
    if set(kinds) == {int, float}:
        return "a number"
    return " or ".join(names.get(k, k.__name__) for k in kinds)


def _toml_type(value: object) -> str:
    return {
        str: "a string",
        int: "an integer",
        float: "a number",
        bool: "a boolean",
        dict: "a table",
        list: "an array",
    }.get(type(value), type(value).__name__)


def _secret(reader: _Reader, base: str, *, required: bool, inline_allowed: bool) -> tuple[str, Secret] | None:
    """The secret given as ``base`` (inline), ``base_file`` or ``base_env``, with the field that gave it."""
    given = [key for key in (base, f"{base}_file", f"{base}_env") if key in reader.table]
    if len(given) > 1:
        raise reader.error(given[1], f"give only one of {base}, {base}_file and {base}_env")
    if not given:
        if required:
            raise reader.error(f"{base}_file", f"missing: give {base}_file or {base}_env")
        return None
    key = given[0]
    if key == base:
        value = reader.get(key, (str, int) if base == "unlock_key" else str)
        if not inline_allowed:
            raise reader.error(
                key,
                f"the file is readable by group or others: put the key in {base}_file or {base}_env, "
                "or chmod go-r the file",
            )
        return key, Secret(str(value).strip())
    if key.endswith("_env"):
        name = reader.text(key)
        assert name is not None
        value = os.environ.get(name)
        if value is None or not value.strip():
            raise reader.error(key, f"the environment variable {name} is not set")
        return key, Secret(value.strip())
    path = reader.path(key)
    assert path is not None
    try:
        return key, read_secret_file(path)
    except SecretFileError as error:
        raise reader.error(key, str(error)) from None


def _aes_key(reader: _Reader, inline_allowed: bool) -> Secret:
    found = _secret(reader, "aes_key", required=True, inline_allowed=inline_allowed)
    assert found is not None
    key, secret = found
    try:
        return Secret(quovel.normalize_aes_key(secret.reveal()))
    except quovel.QuovelError as error:
        # The length message carries no key material; a hex decoding error quotes a digit.
        detail = str(error) if error.kind == "aes_key_length" else "not hexadecimal"
        raise reader.error(key, f"not an AES key (32 hexadecimal digits): {detail}") from None


def _unlock_key(reader: _Reader, inline_allowed: bool) -> int | None:
    unlock = _secret(reader, "unlock_key", required=False, inline_allowed=inline_allowed)
    credential = _secret(reader, "credential", required=False, inline_allowed=inline_allowed)
    if unlock is not None and credential is not None:
        raise reader.error(credential[0], f"give either an unlock key or a credential, not both ({unlock[0]} is given)")
    if credential is not None:
        key, secret = credential
        try:
            value: int | str = quovel.decode_credential(secret.reveal())
        except quovel.QuovelError:
            raise reader.error(key, "not a valid encoded credential") from None
    elif unlock is not None:
        key, secret = unlock
        value = secret.reveal()
    else:
        return None
    try:
        return quovel.normalize_unlock_key(value)
    except quovel.QuovelError as error:
        raise reader.error(key, str(error)) from None


_TOP = {"mqtt", "homeassistant", "bridge", "bluetooth", "lock", "simulation"}
_MQTT = {"host", "port", "username", "password", "password_file", "password_env", "client_id", "keepalive", "tls"}
_TLS = {"ca_file", "cert_file", "key_file", "insecure"}
_HA = {"discovery", "discovery_prefix", "status_topic"}
_BRIDGE = {"id", "topic_prefix", "adapter", "offline_after", "hold_link"}
_BLUETOOTH = {"connection_slots"}
_LOCK = {
    "name",
    "address",
    "aes_key",
    "aes_key_file",
    "aes_key_env",
    "unlock_key",
    "unlock_key_file",
    "unlock_key_env",
    "credential",
    "credential_file",
    "credential_env",
}


def load(file: str | os.PathLike[str]) -> Config:
    """Reads and checks the whole configuration; raises :class:`ConfigError`."""
    path = Path(file)
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
        inline_allowed = _owner_only(path)
    except OSError as error:
        raise ConfigError(path, "(file)", f"cannot read: {error.strerror}") from None
    except UnicodeDecodeError:
        raise ConfigError(path, "(file)", "not UTF-8 text") from None
    except tomllib.TOMLDecodeError as error:
        raise ConfigError(path, "(syntax)", str(error)) from None
    top = _Reader(path, data, "", _TOP)

    bridge = top.table_of("bridge", _BRIDGE) or _Reader(path, {}, "bridge", _BRIDGE)
    bridge_id = bridge.text("id") or default_bridge_id()
    if not _BRIDGE_ID.match(bridge_id):
        raise bridge.error("id", "must be 1 to 64 letters, digits, - or _")

    mqtt = top.table_of("mqtt", _MQTT) or _Reader(path, {}, "mqtt", _MQTT)
    tls = None
    if (tls_table := mqtt.get("tls", (dict, bool))) is not None and tls_table is not False:
        if tls_table is True:
            tls = TlsConfig()
        else:
            reader = _Reader(path, tls_table, "mqtt.tls", _TLS)
            tls = TlsConfig(
                ca_file=_existing(reader, "ca_file"),
                cert_file=_existing(reader, "cert_file"),
                key_file=_existing(reader, "key_file"),
                insecure=reader.get("insecure", bool, False),
            )
            if (tls.cert_file is None) != (tls.key_file is None):
                raise reader.error(
                    "key_file" if tls.key_file is None else "cert_file", "give cert_file and key_file together"
                )
    password = None
    if "password" in mqtt.table:
        raise mqtt.error("password", "put the password in password_file or password_env")
    found = _secret(mqtt, "password", required=False, inline_allowed=False)
    if found is not None:
        password = found[1]
    username = mqtt.text("username")
    if password is not None and username is None:
        raise mqtt.error("username", "missing: a password needs a username")
    port = mqtt.number("port", 1, 65535, 8883 if tls else 1883)
    keepalive = mqtt.number("keepalive", 5, 3600, 30)
    broker = BrokerConfig(
        host=mqtt.text("host", "localhost") or "localhost",
        port=int(port or 1883),
        username=username,
        password=password,
        client_id=mqtt.text("client_id") or f"quovel-mqtt-{bridge_id}",
        keepalive=int(keepalive or 30),
        tls=tls,
    )

    ha = top.table_of("homeassistant", _HA) or _Reader(path, {}, "homeassistant", _HA)
    discovery_prefix = ha.topic("discovery_prefix", DEFAULT_DISCOVERY_PREFIX)
    status_topic = ha.topic("status_topic", f"{discovery_prefix}/status")
    discovery = ha.get("discovery", bool, True)
    topic_prefix = bridge.topic("topic_prefix", DEFAULT_PREFIX)
    adapter = bridge.text("adapter")
    offline_after = bridge.number("offline_after", 1, 86400)
    hold_link = bridge.number("hold_link", 0, 60)
    connection_slots = None
    if (bluetooth := top.table_of("bluetooth", _BLUETOOTH)) is not None:
        connection_slots = bluetooth.get("connection_slots", int)
        if connection_slots is not None and not 1 <= connection_slots <= 64:
            raise bluetooth.error("connection_slots", f"must be from 1 to 64, not {connection_slots}")
    simulation = None
    if (sim := top.table_of("simulation", {"backend"})) is not None:
        simulation = sim.text("backend")
        if simulation is None or ":" not in simulation:
            raise sim.error("backend", "must name a callable as module:name")

    raw_locks = top.get("lock", list)
    if not raw_locks:
        raise ConfigError(path, "lock", "missing: add at least one [[lock]] table")
    locks: list[LockConfig] = []
    seen: dict[str, int] = {}
    for index, raw in enumerate(raw_locks):
        if not isinstance(raw, dict):
            raise ConfigError(path, f"lock[{index}]", "must be a table ([[lock]])")
        reader = _Reader(path, raw, f"lock[{index}]", _LOCK)
        address = reader.text("address")
        if address is None:
            raise reader.error("address", "missing")
        if not _ADDRESS.match(address.strip()):
            raise reader.error("address", f"not a Bluetooth address like C4:3A:51:0B:7E:19: {address!r}")
        address = address.strip().upper()
        if address in seen:
            raise reader.error("address", f"the same lock as lock[{seen[address]}]")
        seen[address] = index
        locks.append(
            LockConfig(
                name=(reader.text("name") or address).strip(),
                address=address,
                aes_key=_aes_key(reader, inline_allowed),
                unlock_key=_unlock_key(reader, inline_allowed),
            )
        )

    return Config(
        file=path,
        broker=broker,
        locks=tuple(locks),
        topic_prefix=topic_prefix,
        bridge_id=bridge_id,
        discovery=discovery,
        discovery_prefix=discovery_prefix,
        status_topic=status_topic,
        adapter=adapter,
        offline_after=offline_after,
        hold_link=hold_link,
        connection_slots=connection_slots,
        simulation=simulation,
    )


def _owner_only(path: Path) -> bool:
    try:
        check_owner_only(path)
    except SecretFileError:
        return False
    return True


def _existing(reader: _Reader, key: str) -> Path | None:
    path = reader.path(key)
    if path is not None and not path.is_file():
        raise reader.error(key, f"{path} does not exist")
    return path
