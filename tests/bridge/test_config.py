"""The configuration: what is accepted, and one line naming file, field and fault for what is not."""

from __future__ import annotations

from pathlib import Path

import pytest
from support.keys import ADDRESS as A
from support.keys import AES_KEY_HEX as AES_KEY
from support.keys import UNLOCK_KEY

from quovel_mqtt import ConfigError, load
from quovel_mqtt.cli import main
from quovel_mqtt.config import default_bridge_id

# The encoded credential of UNLOCK_KEY, as the lock's app shows it.
CREDENTIAL = "MTEwLDEwNywxMDksMTAwLDExMCwxMDAsMTA5LDEwMCwxMTAsMTAwLDM0"
LOCK = f'[[lock]]\naddress = "{A}"\n'


def write(tmp_path: Path, text: str, mode: int = 0o600) -> Path:
    path = tmp_path / "bridge.toml"
    path.write_text(text)
    path.chmod(mode)
    return path


def secret_file(tmp_path: Path, name: str, text: str, mode: int = 0o600) -> Path:
    path = tmp_path / name
    path.write_text(text)
    path.chmod(mode)
    return path


def test_a_full_configuration(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    secret_file(tmp_path, "password", "hunter2\n")
    secret_file(tmp_path, "front.aes", AES_KEY.upper() + "\n")
    monkeypatch.setenv("BACK_CREDENTIAL", CREDENTIAL)
    config = load(
        write(
            tmp_path,
            '[mqtt]\nhost = "broker.lan"\nusername = "quovel"\npassword_file = "password"\ntls = true\n'
            '[homeassistant]\ndiscovery_prefix = "ha"\n[bridge]\ntopic_prefix = "home/locks"\nadapter = "hci1"\n'
            f'[[lock]]\nname = "Front door"\naddress = "{A.lower()}"\naes_key_file = "front.aes"\nunlock_key = {UNLOCK_KEY}\n'
            f'[[lock]]\naddress = "C4:3A:51:0B:7E:20"\naes_key = "{AES_KEY}"\ncredential_env = "BACK_CREDENTIAL"\n',
        )
    )
    assert (config.broker.host, config.broker.port, config.broker.tls is not None) == ("broker.lan", 8883, True)
    assert config.broker.password is not None and config.broker.password.reveal() == "hunter2"
    assert (config.discovery_prefix, config.status_topic, config.topic_prefix) == ("ha", "ha/status", "home/locks")
    assert (config.bridge_id, config.broker.client_id) == (default_bridge_id(), f"quovel-mqtt-{default_bridge_id()}")
    front, back = config.locks
    assert (front.name, front.address, front.object_id) == ("Front door", A, "c43a510b7e19")
    assert front.aes_key.reveal() == AES_KEY and front.unlock_key == back.unlock_key == UNLOCK_KEY
    assert back.name == "C4:3A:51:0B:7E:20"
    for shown in (repr(config), str(config.locks)):
        assert AES_KEY not in shown.lower() and str(UNLOCK_KEY) not in shown and "hunter2" not in shown


@pytest.mark.parametrize(
    ("text", "field", "problem"),
    [
        ("[mqtt\n", "(syntax)", "Expected ']'"),
        ("[bridge]\n", "lock", "missing: add at least one [[lock]] table"),
        ("[mqtt]\nport = 70000\n" + LOCK, "mqtt.port", "must be from 1 to 65535, not 70000"),
        ('[mqtt]\nport = "1883"\n' + LOCK, "mqtt.port", "must be a number, not a string"),
        ("[mqtt]\nhots = 1\n" + LOCK, "mqtt.hots", "unknown field"),
        ('[mqtt]\npassword = "x"\n' + LOCK, "mqtt.password", "put the password in password_file or password_env"),
        (
            '[mqtt]\npassword_env = "NO_SUCH_VARIABLE_HERE"\n' + LOCK,
            "mqtt.password_env",
            "the environment variable NO_SUCH_VARIABLE_HERE is not set",
        ),
        ('[mqtt.tls]\nca_file = "missing.pem"\n' + LOCK, "mqtt.tls.ca_file", "does not exist"),
        ('[bridge]\ntopic_prefix = "a/+/b"\n' + LOCK, "bridge.topic_prefix", "must be an MQTT topic without wildcards"),
        ('[bridge]\nid = "hall/1"\n' + LOCK, "bridge.id", "must be 1 to 64 letters, digits, - or _"),
        ('[[lock]]\naddress = "C4-3A"\n', "lock[0].address", "not a Bluetooth address like C4:3A:51:0B:7E:19: 'C4-3A'"),
        (LOCK, "lock[0].aes_key_file", "missing: give aes_key_file or aes_key_env"),
        (
            LOCK + f'aes_key = "{AES_KEY[:-2]}zz"\n',
            "lock[0].aes_key",
            "not an AES key (32 hexadecimal digits): not hexadecimal",
        ),
        (
            LOCK + f'aes_key = "{AES_KEY}"\naes_key_env = "X"\n',
            "lock[0].aes_key_env",
            "give only one of aes_key, aes_key_file and aes_key_env",
        ),
        (
            LOCK + f'aes_key = "{AES_KEY}"\nunlock_key = 0\n',
            "lock[0].unlock_key",
            "invalid unlock key: expected a whole number",
        ),
        (LOCK + f'aes_key = "{AES_KEY}"\ncredential = "MTA4LDI="\n', "lock[0].credential", "invalid unlock key"),
        (LOCK + f'aes_key = "{AES_KEY}"\ncredential = "!!"\n', "lock[0].credential", "not a valid encoded credential"),
        (
            LOCK + f'aes_key = "{AES_KEY}"\nunlock_key = 1\ncredential = "{CREDENTIAL}"\n',
            "lock[0].credential",
            "give either an unlock key or a credential",
        ),
        (
            LOCK + f'aes_key = "{AES_KEY}"\n' + LOCK + f'aes_key = "{AES_KEY}"\n',
            "lock[1].address",
            "the same lock as lock[0]",
        ),
        (LOCK + 'aes_key_file = "nowhere"\n', "lock[0].aes_key_file", "No such file or directory"),
        (
            f'{LOCK}aes_key = "{AES_KEY}"\n[bluetooth]\nconnection_slots = 0\n',
            "bluetooth.connection_slots",
            "must be from 1 to 64, not 0",
        ),
        (
            f'{LOCK}aes_key = "{AES_KEY}"\n[simulation]\nbackend = "nothing"\n',
            "simulation.backend",
            "must name a callable as module:name",
        ),
    ],
)
def test_errors_name_file_field_and_fault(tmp_path: Path, text: str, field: str, problem: str) -> None:
    path = write(tmp_path, text)
    with pytest.raises(ConfigError) as caught:
        load(path)
    assert (caught.value.file, caught.value.field) == (str(path), field)
    assert problem in caught.value.problem
    assert (
        "\n" not in str(caught.value) and AES_KEY[:8] not in str(caught.value) and CREDENTIAL not in str(caught.value)
    )


@pytest.mark.parametrize(
    ("hostname", "bridge_id"), [("hall.lan", "hall"), ("Büro PC", "B-ro-PC"), ("---", "bridge"), ("x" * 70, "x" * 64)]
)
def test_bridge_id_from_the_host_name(hostname: str, bridge_id: str) -> None:
    assert default_bridge_id(hostname) == bridge_id


@pytest.mark.parametrize("mode", [0o640, 0o604, 0o440])
def test_keys_where_group_or_others_can_read_them(tmp_path: Path, mode: int) -> None:
    with pytest.raises(ConfigError, match=r"lock\[0\]\.aes_key: the file is readable by group or others"):
        load(write(tmp_path, LOCK + f'aes_key = "{AES_KEY}"\n', mode=mode))
    leaky = secret_file(tmp_path, "front.aes", AES_KEY, mode=mode)
    # A main file anyone may read is fine while it names the key file only.
    with pytest.raises(ConfigError) as caught:
        load(write(tmp_path, LOCK + f'aes_key_file = "{leaky}"\n', mode=0o644))
    assert caught.value.field == "lock[0].aes_key_file" and str(leaky) in caught.value.problem
    assert AES_KEY not in str(caught.value)
    leaky.chmod(0o400)
    assert load(write(tmp_path, LOCK + f'aes_key_file = "{leaky}"\n', mode=0o644)).locks[0].aes_key.reveal() == AES_KEY


def test_check_and_exit_status(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    good = write(tmp_path, LOCK + f'aes_key = "{AES_KEY}"\n')
    assert main(["--config", str(good), "--check"]) == 0
    assert capsys.readouterr().out == f"{good}: 1 locks, broker localhost:1883\n"
    assert main(["--config", str(tmp_path / "absent.toml"), "--check"]) == 2
    assert (
        capsys.readouterr().err
        == f"quovel-mqtt: {tmp_path / 'absent.toml'}: (file): cannot read: No such file or directory\n"
    )
    bad = write(tmp_path, LOCK + f'aes_key = "{AES_KEY}"\n[simulation]\nbackend = "no_such_module:backends"\n')
    assert main(["--config", str(bad), "--check"]) == 2
    assert "simulation.backend: cannot load it: No module named 'no_such_module'" in capsys.readouterr().err


def test_the_documented_example(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    example = Path(__file__).resolve().parents[2] / "contrib" / "quovel-mqtt" / "quovel-mqtt.toml"
    ca = secret_file(tmp_path, "ca.pem", "", mode=0o644)
    path = write(tmp_path, example.read_text().replace("/etc/ssl/certs/ca-certificates.crt", str(ca)))
    secret_file(tmp_path, "mqtt-password", "pass")
    secret_file(tmp_path, "front-door.aes", AES_KEY)
    secret_file(tmp_path, "front-door.unlock", str(UNLOCK_KEY))
    monkeypatch.setenv("GARAGE_AES_KEY", AES_KEY)
    monkeypatch.setenv("GARAGE_CREDENTIAL", CREDENTIAL)
    config = load(path)
    assert config.connection_slots == 3
    assert [(lock.name, lock.unlock_key) for lock in config.locks] == [
        ("Front door", UNLOCK_KEY),
        ("Garage", UNLOCK_KEY),
    ]
    assert (config.broker.port, config.broker.tls and config.broker.tls.ca_file) == (8883, ca)
