"""The bridge in process against a real mosquitto and simulated locks."""

from __future__ import annotations

import asyncio
import contextlib
import datetime
import ipaddress
import json
import ssl
import subprocess
from collections.abc import AsyncIterator
from pathlib import Path
from typing import Any

import pytest
from conftest import HomeAssistant, Mosquitto, retained, write_config
from simworld import World
from support.keys import ADDRESS as A
from support.keys import AES_KEY_HEX as AES_KEY
from support.keys import UNLOCK_KEY

from quovel_mqtt import Bridge, load
from quovel_mqtt import bridge as bridge_module
from quovel_mqtt.topics import discovery_payload
from quovel_sim import Faults, virtual_time
from quovel_sim.lock import LOCK, UNLOCK
from quovel_sim.scanner import scanner_faults, scanner_starts

OTHER_KEY = "000102030405060708090a0b0c0d0e0f"


@contextlib.asynccontextmanager
async def running(config_file: Path, world: World, **options: Any) -> AsyncIterator[Bridge]:
    bridge = Bridge(load(config_file), world.bluetooth(0.1), poll_interval=0.1, **options)
    stop = asyncio.Event()
    task = asyncio.create_task(bridge.run(stop))
    try:
        yield bridge
    finally:
        stop.set()
        await asyncio.wait_for(task, 10)


# Home Assistant's device discovery schema, as its MQTT documentation gives it:
# shared options at the root, `dev` and `o` required, components under `cmps`,
# each with its platform `p` and a `unique_id`; the option names of the lock
# and sensor platforms.
_ROOT = {"dev", "o", "cmps", "availability", "availability_mode", "qos", "state_topic", "command_topic", "encoding"}
_DEVICE = {"ids", "name", "connections", "mf", "mdl", "sw", "hw", "sn", "sa", "via_device", "cu"}
_ORIGIN = {"name", "sw", "url"}
_AVAILABILITY = {"topic", "payload_available", "payload_not_available", "value_template"}
_COMMON = {"p", "unique_id", "name", "state_topic", "entity_category", "icon", "enabled_by_default", "qos"}
_PLATFORMS = {
    "lock": _COMMON
    | {"command_topic", "optimistic", "retain", "value_template", "command_template", "code_format"}
    | {f"payload_{p}" for p in ("lock", "unlock", "open", "reset")}
    | {f"state_{s}" for s in ("locked", "unlocked", "locking", "unlocking", "jammed", "open", "opening")},
    "sensor": _COMMON
    | {"device_class", "state_class", "unit_of_measurement", "value_template", "suggested_display_precision"},
}


def check_device_discovery(payload: dict[str, Any], subscribed: str) -> None:
    assert set(payload) <= _ROOT, set(payload) - _ROOT
    device, origin, components = payload["dev"], payload["o"], payload["cmps"]
    assert set(device) <= _DEVICE and (device.get("ids") or device.get("connections"))
    assert set(origin) <= _ORIGIN and isinstance(origin["name"], str)
    assert payload.get("availability_mode", "latest") in {"all", "any", "latest"}
    for entry in payload.get("availability", []):
        assert set(entry) <= _AVAILABILITY and _plain_topic(entry["topic"])
    unique_ids = set()
    for key, component in components.items():
        assert key.replace("_", "").isalnum()
        platform = component["p"]
        assert set(component) <= _PLATFORMS[platform], set(component) - _PLATFORMS[platform]
        unique_ids.add(component["unique_id"])
        assert _plain_topic(component["state_topic"])
        if platform == "lock":
            command = component["command_topic"]
            assert _plain_topic(command) and _matches(subscribed, command)
    assert len(unique_ids) == len(components)


def _plain_topic(topic: str) -> bool:
    return bool(topic) and not set(topic) & {"+", "#"}


def _matches(pattern: str, topic: str) -> bool:
    parts, names = pattern.split("/"), topic.split("/")
    return len(parts) == len(names) and all(p in ("+", n) for p, n in zip(parts, names))


def test_discovery_state_and_availability(broker: Mosquitto, tmp_path: Path) -> None:
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY, battery=77)
    config = write_config(
        tmp_path / "bridge.toml", broker.port, [{"name": "Front door", "address": A, "aes_key": AES_KEY}]
    )

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha, running(config, world) as bridge:
            lock = bridge.locks[0].topics
            payload = json.loads((await ha.wait_for(lock.discovery)).payload)
            check_device_discovery(payload, bridge.topics.commands)
            assert payload == discovery_payload(bridge.topics, bridge.locks[0].config)
            assert {c["p"] for c in payload["cmps"].values()} == {"lock", "sensor"}
            await ha.wait_for(lock.state, "LOCKED")
            await ha.wait_for(lock.battery, "77")
            await ha.wait_for(lock.availability, "online")
            await ha.wait_for(bridge.topics.bridge_availability, "online")
            kept = await retained(broker.port)
            assert json.loads(kept[lock.discovery]) == payload
            assert [kept[t] for t in (lock.state, lock.battery, lock.availability)] == ["LOCKED", "77", "online"]
            # Home Assistant restarted: it asks for discovery again by coming online.
            sent = await ha.send("homeassistant/status", "online")
            await ha.wait_for(lock.discovery, after=sent)

    asyncio.run(scenario())


def test_commands_outcomes_and_faults(broker: Mosquitto, tmp_path: Path) -> None:
    world = World()
    good = world.add(A, AES_KEY, UNLOCK_KEY)
    refusing = world.add("C4:3A:51:0B:7E:20", AES_KEY, UNLOCK_KEY, faults=Faults(refuse_actuation=True))
    world.add("C4:3A:51:0B:7E:21", OTHER_KEY, UNLOCK_KEY)
    scanner_faults(world.radio).out_of_range.add("C4:3A:51:0B:7E:22")
    world.add("C4:3A:51:0B:7E:22", AES_KEY, UNLOCK_KEY)
    world.add("C4:3A:51:0B:7E:23", AES_KEY, UNLOCK_KEY)
    locks = [{"address": f"C4:3A:51:0B:7E:{n}", "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY} for n in (19, 20, 21, 22)]
    locks.append({"address": "C4:3A:51:0B:7E:23", "aes_key": AES_KEY})
    config = write_config(tmp_path / "bridge.toml", broker.port, locks)
    # (lock, command, expected result fields)
    table: list[tuple[int, str, dict[str, Any]]] = [
        (0, "UNLOCK", {"result": "ok", "state": "UNLOCKED"}),
        (0, "refresh", {"result": "ok", "status": "UNLOCKED"}),
        # A failed command leaves no "UNLOCKING" behind: the state the lock gives, or had.
        (1, "UNLOCK", {"result": "failed", "kind": "actuation_refused", "suspect": "unlock_key", "state": "LOCKED"}),
        (2, "LOCK", {"result": "failed", "kind": "handshake_refused", "suspect": "aes_key", "state": "LOCKED"}),
        (3, "REFRESH", {"result": "failed", "kind": "unreachable", "suspect": None}),
        (4, "LOCK", {"result": "failed", "kind": "no_unlock_key"}),
    ]

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha:
            # A command left retained on the broker is stale: the bridge must not act on it.
            await ha.send("quovel/c43a510b7e19/set", "UNLOCK", retain=True)
            async with running(config, world) as bridge:
                await commands(ha, bridge)

    async def commands(ha: HomeAssistant, bridge: Bridge) -> None:
        for index in (0, 1, 2, 4):
            await ha.wait_for(bridge.locks[index].topics.state, "LOCKED")
        for index, command, expected in table:
            topics = bridge.locks[index].topics
            sent = await ha.send(topics.command, command)
            outcome = await ha.result(topics.result, after=sent)
            assert outcome.items() >= {"command": command.upper(), **expected}.items(), (command, outcome)
        states = ha.payloads(bridge.locks[0].topics.state)
        assert states[-2:] == ["UNLOCKING", "UNLOCKED"] and not good.locked
        assert refusing.locked
        assert [json.loads(p)["command"] for p in ha.payloads(bridge.locks[0].topics.result)] == ["UNLOCK", "REFRESH"]
        # Unknown commands are logged and ignored.
        topics = bridge.locks[0].topics
        sent = await ha.send(topics.command, "OPEN")
        await ha.send(topics.command, "")
        await asyncio.sleep(0.3)
        assert not any(s.topic == topics.result and s.at >= sent for s in ha.seen)
        assert len(good.actuations) == 1

    asyncio.run(scenario())


def test_a_burst_gets_one_result_per_command_and_ends_on_the_last_word(broker: Mosquitto, tmp_path: Path) -> None:
    world = World()
    lock = world.add(A, AES_KEY, UNLOCK_KEY, connect_delay=0.2)
    config = write_config(
        tmp_path / "bridge.toml", broker.port, [{"address": A, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY}]
    )
    burst = ["UNLOCK", "LOCK"] * 10

    async def scenario() -> list[dict[str, Any]]:
        async with HomeAssistant(broker.port) as ha, running(config, world) as bridge:
            topics = bridge.locks[0].topics
            await ha.wait_for(topics.state, "LOCKED")
            for command in burst:
                await ha.send(topics.command, command)
            await ha.count(topics.result, len(burst), timeout=30)
            await asyncio.sleep(0.5)  # and no more
            assert ha.last(topics.state) == "LOCKED"
            return [json.loads(p) for p in ha.payloads(topics.result)]

    results = asyncio.run(scenario())
    assert sorted(r["command"] for r in results) == sorted(burst)
    assert {r["kind"] for r in results if r["result"] != "ok"} <= {"superseded"}
    carried_out = [r["command"] for r in results if r["result"] == "ok"]
    # The lock's own journal: only what was answered "ok", in that order, and the last word was LOCK.
    assert [{LOCK: "LOCK", UNLOCK: "UNLOCK"}[a.command] for a in lock.actuations] == carried_out
    assert carried_out[-1] == "LOCK" and lock.locked


def test_commands_beyond_the_waiting_limit_are_answered_busy(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(bridge_module, "_WAITING_LIMIT", 2)
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY, connect_delay=0.2)
    config = write_config(tmp_path / "bridge.toml", 1, [{"address": A, "aes_key": AES_KEY}])

    async def scenario() -> list[dict[str, Any]]:
        bridge = Bridge(load(config), world.bluetooth())
        lock = bridge.locks[0]
        bridge._on_advertisement(world.radio.ble_device(A), world.radio.advertisement_data(A))
        tasks = [bridge.submit(lock, "REFRESH") for _ in range(3)]
        assert tasks[2] is None
        await asyncio.gather(*filter(None, tasks))
        await lock.monitor.close()
        return [json.loads(m.payload) for m in bridge._outbox if m.topic == lock.topics.result]

    results = asyncio.run(scenario())
    assert [r["result"] for r in results] == ["failed", "ok", "ok"] and results[0]["kind"] == "busy"


def test_locks_share_the_adapters_connection_slots(tmp_path: Path) -> None:
    world = World(connection_limit=2)
    addresses = [f"C4:3A:51:0B:7E:{n}" for n in range(30, 36)]
    for address in addresses:
        world.add(address, AES_KEY, UNLOCK_KEY, connect_delay=1.0, locked=False)
    config = write_config(
        tmp_path / "bridge.toml",
        1,
        [{"address": a, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY} for a in addresses],
        extra="[bluetooth]\nconnection_slots = 2\n",
    )

    async def scenario() -> list[dict[str, Any]]:
        bridge = Bridge(load(config), world.bluetooth(), clock=asyncio.get_running_loop().time)
        assert bridge.slots is not None
        for address in addresses:
            bridge._on_advertisement(world.radio.ble_device(address), world.radio.advertisement_data(address))
        tasks = [bridge.submit(lock, "LOCK") for lock in bridge.locks]
        outcomes = await asyncio.gather(*filter(None, tasks))
        for lock in bridge.locks:
            await lock.monitor.close()
        return outcomes

    # Without the shared pool, held links starve the others of the adapter's two slots.
    assert [o["result"] for o in virtual_time.run(scenario())] == ["ok"] * len(addresses)


def test_adapter_missing_at_start_and_lock_out_of_range(broker: Mosquitto, tmp_path: Path) -> None:
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY)
    faults = scanner_faults(world.radio)
    faults.start_errors += ["no-adapter", "not-ready"]
    config = write_config(
        tmp_path / "bridge.toml",
        broker.port,
        [{"address": A, "aes_key": AES_KEY}],
        extra="[bridge]\noffline_after = 1\n",
    )

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha, running(config, world, deaf_after=1.0) as bridge:
            topics = bridge.locks[0].topics
            await ha.wait_for(topics.availability, "online", timeout=20)
            assert scanner_starts(world.radio) == 3
            faults.out_of_range.add(A)
            gone = await ha.wait_for(topics.availability, "offline", after=ha.seen[-1].at)
            # The silent adapter is restarted, and hears the lock when it is back.
            faults.out_of_range.clear()
            await ha.wait_for(topics.availability, "online", after=gone.at)
            assert scanner_starts(world.radio) >= 4
            assert ha.last(topics.state) == "LOCKED"

    asyncio.run(scenario())


def test_broker_unreachable_at_start(tmp_path: Path) -> None:
    broker = Mosquitto(tmp_path)
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY)
    config = write_config(tmp_path / "bridge.toml", broker.port, [{"address": A, "aes_key": AES_KEY}])

    async def scenario() -> None:
        async with running(config, world) as bridge:
            await asyncio.sleep(1.2)
            assert not bridge.connected.is_set()
            broker.start()
            async with HomeAssistant(broker.port) as ha:
                await ha.wait_for(bridge.topics.bridge_availability, "online")
                await ha.wait_for(bridge.locks[0].topics.state, "LOCKED")

    try:
        asyncio.run(scenario())
    finally:
        broker.kill()


def _certificates(directory: Path) -> tuple[Path, Path, Path]:
    """A throwaway CA, and a certificate for 127.0.0.1 that it signed."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    now = datetime.datetime.now(datetime.UTC)

    def build(subject: str, key: Any, issuer: str, signer: Any, *, ca: bool) -> x509.Certificate:
        builder = (
            x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
            .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
            .public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=1))
            .not_valid_after(now + datetime.timedelta(hours=1))
            .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
        )
        if not ca:
            builder = builder.add_extension(
                x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]), critical=False
            )
        return builder.sign(signer, hashes.SHA256())

    ca_key, server_key = ec.generate_private_key(ec.SECP256R1()), ec.generate_private_key(ec.SECP256R1())
    ca = build("test CA", ca_key, "test CA", ca_key, ca=True)
    server = build("127.0.0.1", server_key, "test CA", ca_key, ca=False)
    paths = directory / "ca.pem", directory / "server.pem", directory / "server.key"
    paths[0].write_bytes(ca.public_bytes(serialization.Encoding.PEM))
    paths[1].write_bytes(server.public_bytes(serialization.Encoding.PEM))
    paths[2].write_bytes(
        server_key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
    )
    return paths


def test_tls_and_password(tmp_path: Path) -> None:
    ca, cert, key = _certificates(tmp_path)
    passwords = tmp_path / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(passwords), "bridge", "s3cret-pass"], check=True)
    passwords.chmod(0o644)
    broker = Mosquitto(
        tmp_path, f"allow_anonymous false\npassword_file {passwords}\ncafile {ca}\ncertfile {cert}\nkeyfile {key}\n"
    )
    broker.start()
    secret = tmp_path / "mqtt-password"
    secret.write_text("s3cret-pass\n")
    secret.chmod(0o600)
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY)
    config = write_config(
        tmp_path / "bridge.toml",
        broker.port,
        [{"address": A, "aes_key": AES_KEY}],
        mqtt=f'username = "bridge"\npassword_file = "{secret}"\n',
        extra=f'[mqtt.tls]\nca_file = "{ca}"\n',
    )
    context = ssl.create_default_context(cafile=str(ca))
    try:

        async def scenario() -> None:
            ha = HomeAssistant(
                broker.port, options={"username": "bridge", "password": "s3cret-pass", "tls_context": context}
            )
            async with ha, running(config, world) as bridge:
                await ha.wait_for(bridge.topics.bridge_availability, "online")
                await ha.wait_for(bridge.locks[0].topics.state, "LOCKED")

        asyncio.run(scenario())
    finally:
        broker.kill()
    assert "s3cret-pass" not in broker.log.read_text()


@pytest.mark.parametrize("password", ["wrong"])
def test_refused_login_is_retried_not_fatal(tmp_path: Path, password: str, caplog: pytest.LogCaptureFixture) -> None:
    passwords = tmp_path / "passwords"
    subprocess.run(["mosquitto_passwd", "-c", "-b", str(passwords), "bridge", "right"], check=True)
    passwords.chmod(0o644)
    broker = Mosquitto(tmp_path, f"allow_anonymous false\npassword_file {passwords}\n")
    broker.start()
    secret = tmp_path / "mqtt-password"
    secret.write_text(password)
    secret.chmod(0o600)
    config = write_config(
        tmp_path / "bridge.toml",
        broker.port,
        [{"address": A, "aes_key": AES_KEY}],
        mqtt=f'username = "bridge"\npassword_file = "{secret}"\n',
    )
    world = World()
    world.add(A, AES_KEY, UNLOCK_KEY)

    async def scenario() -> None:
        async with running(config, world) as bridge:
            await asyncio.sleep(1.5)
            assert not bridge.connected.is_set()

    try:
        asyncio.run(scenario())
    finally:
        broker.kill()
    assert any("reconnecting" in r.getMessage() for r in caplog.records)
    assert not any(password in r.getMessage() for r in caplog.records)
