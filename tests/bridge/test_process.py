"""``python -m quovel_mqtt`` as a real process: a broker restart, SIGTERM, and what it lets out."""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

from conftest import HomeAssistant, Mosquitto, retained, write_config
from processes import start_bridge
from support.keys import ADDRESS as A
from support.keys import AES_KEY_HEX as AES_KEY
from support.keys import UNLOCK_KEY

from quovel_mqtt.config import default_bridge_id

B = "C4:3A:51:0B:7E:2A"
# How long a simulated connection takes, so that a cold link and a held one differ as over the air.
CONNECT_DELAY = 0.3
AVAILABILITY = f"quovel/bridge/{default_bridge_id()}/availability"


def test_restart_sigterm_and_no_key_material(broker: Mosquitto, tmp_path: Path) -> None:
    world = tmp_path / "world.json"
    world.write_text(
        json.dumps(
            [
                {"address": A, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY, "connect_delay": CONNECT_DELAY},
                {"address": B, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY, "connect_delay": CONNECT_DELAY},
            ]
        )
    )
    secrets = tmp_path / "b-unlock-key"
    secrets.write_text(f"{UNLOCK_KEY}\n")
    secrets.chmod(0o600)
    config = write_config(
        tmp_path / "bridge.toml",
        broker.port,
        [
            {"name": "Front door", "address": A, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY},
            {"name": "Back door", "address": B, "aes_key_env": "BACK_DOOR_AES_KEY", "unlock_key_file": str(secrets)},
        ],
        extra='[simulation]\nbackend = "simworld:backends"\n',
    )
    os.environ["BACK_DOOR_AES_KEY"] = AES_KEY.upper()
    log = tmp_path / "bridge.log"
    process = start_bridge(config, world, log)
    actuations = world.with_suffix(".actuations")
    figures: dict[str, float] = {}

    async def scenario() -> None:
        async with HomeAssistant(broker.port) as ha:
            state = "quovel/c43a510b7e19/state"
            await ha.wait_for(state, "LOCKED")
            # Cold: the link is made for the command.
            sent = await ha.send("quovel/c43a510b7e19/set", "UNLOCK")
            figures["cold"] = (await ha.wait_for(state, "UNLOCKED", after=sent)).at - sent
            # Held: right after, the link may still be up.
            sent = await ha.send("quovel/c43a510b7e19/set", "LOCK")
            figures["held"] = (await ha.wait_for(state, "LOCKED", after=sent)).at - sent

            broker.kill()
            killed = time.monotonic()
            await asyncio.sleep(0.5)
            broker.start()
            # Nothing was kept by the broker: all that is there again came from the bridge.
            await ha.wait_for(AVAILABILITY, "online", after=killed)
            # The lock's own topics follow once the bridge has heard the others (there are none).
            await ha.wait_for("homeassistant/device/quovel_c43a510b7e2a/config", after=killed)
            figures["republished"] = time.monotonic() - killed
            await asyncio.sleep(0.3)
            kept = await retained(broker.port)
            assert kept["quovel/c43a510b7e19/state"] == "LOCKED" and kept["quovel/c43a510b7e2a/state"] == "LOCKED"
            assert kept["quovel/c43a510b7e19/availability"] == "online"
            assert {
                "homeassistant/device/quovel_c43a510b7e19/config",
                "homeassistant/device/quovel_c43a510b7e2a/config",
            } <= set(kept)
            sent = await ha.send("quovel/c43a510b7e2a/set", "UNLOCK")
            outcome = await ha.result("quovel/c43a510b7e2a/result", after=sent)
            assert outcome["result"] == "ok"
            await asyncio.sleep(0.5)
            assert len(ha.payloads("quovel/c43a510b7e2a/result")) == 1

            process.send_signal(signal.SIGTERM)
            await ha.wait_for(AVAILABILITY, "offline", after=sent)
            assert process.wait(10) == 0
            kept = await retained(broker.port)
            assert kept[AVAILABILITY] == "offline"
            everything = "\n".join(s.payload for s in ha.seen) + "\n".join(kept.values())
            assert_no_key_material(everything)

    try:
        asyncio.run(scenario())
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
    lines = actuations.read_text().splitlines()
    # One unlock and one lock of A, then the one unlock of B sent after the restart.
    assert lines == [f"{A} 0x47 accepted", f"{A} 0x58 accepted", f"{B} 0x47 accepted"]
    text = log.read_text()
    assert "DEBUG" in text and "published offline" in text
    assert_no_key_material(text)
    print(
        f"\ncommand to state: cold link {figures['cold'] * 1000:.0f} ms, held link {figures['held'] * 1000:.0f} ms "
        f"(simulated connection {CONNECT_DELAY * 1000:.0f} ms); "
        f"broker back and everything republished {figures['republished']:.1f} s after the kill"
    )


def assert_no_key_material(text: str) -> None:
    lowered = text.lower()
    spaced = " ".join(AES_KEY[i : i + 2] for i in range(0, 32, 2))
    for secret in (AES_KEY, spaced, str(UNLOCK_KEY), f"{UNLOCK_KEY:08x}"):
        assert secret not in lowered, secret


def test_config_error_exits_2_with_one_line(tmp_path: Path) -> None:
    config = tmp_path / "bridge.toml"
    config.write_text(f'[[lock]]\naddress = "{A}"\naes_key = "{AES_KEY[:30]}"\n')
    config.chmod(0o600)
    for extra in ([], ["--check"]):
        done = subprocess.run(
            [sys.executable, "-m", "quovel_mqtt", "--config", str(config), *extra], capture_output=True, text=True
        )
        assert done.returncode == 2
        assert done.stderr.splitlines() == [
            f"quovel-mqtt: {config}: lock[0].aes_key: not an AES key (32 hexadecimal digits): "
            "AES key must be exactly 16 bytes; got 15 bytes"
        ]
        assert AES_KEY[:30] not in done.stderr
