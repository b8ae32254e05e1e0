"""A real mosquitto on a loopback port, and an MQTT client that plays Home Assistant."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for the shared helpers in support/

import asyncio
import contextlib
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import aiomqtt
import pytest

HERE = Path(__file__).resolve().parent
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Mosquitto:
    """One broker process; ``kill()`` and ``start()`` again keep its port."""

    def __init__(self, directory: Path, extra: str = "") -> None:
        self.port = free_port()
        self.directory = directory
        self.config = directory / "mosquitto.conf"
        # As root, mosquitto would switch to its own user, who cannot read the test's files.
        user = pwd.getpwuid(os.geteuid()).pw_name
        self.config.write_text(
            f"listener {self.port} 127.0.0.1\npersistence false\nuser {user}\n{extra or 'allow_anonymous true'}\n"
        )
        self.process: subprocess.Popen[bytes] | None = None
        self.log = directory / "mosquitto.log"

    def start(self) -> None:
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"mosquitto exited: {self.log.read_text()}")
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", self.port)) == 0:
                    return
            time.sleep(0.05)
        raise RuntimeError("mosquitto did not listen in time")

    def kill(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait()
        self.process = None


@pytest.fixture
def broker(tmp_path: Path) -> Iterator[Mosquitto]:
    if not os.path.exists(MOSQUITTO):
        pytest.fail("mosquitto is not installed (the mqtt_tests session installs it)")
    server = Mosquitto(tmp_path)
    server.start()
    yield server
    server.kill()


@dataclass
class Seen:
    topic: str
    payload: str
    retain: bool
    at: float


@dataclass
class HomeAssistant:
    """Subscribes to everything and keeps what it hears, with arrival times."""

    port: int
    seen: list[Seen] = field(default_factory=list)
    client: aiomqtt.Client | None = None
    _changed: asyncio.Event = field(default_factory=asyncio.Event)
    _task: asyncio.Task[None] | None = None
    options: dict[str, Any] = field(default_factory=dict)

    async def __aenter__(self) -> HomeAssistant:
        self._task = asyncio.create_task(self._listen())
        await self.connected()
        return self

    async def __aexit__(self, *exc: object) -> None:
        assert self._task is not None
        self._task.cancel()
        await asyncio.gather(self._task, return_exceptions=True)

    async def connected(self) -> None:
        async with asyncio.timeout(15):
            while self.client is None:
                await asyncio.sleep(0.02)

    async def _listen(self) -> None:
        import aiomqtt

        # Reconnects like Home Assistant does when the broker restarts.
        while True:
            try:
                async with aiomqtt.Client("127.0.0.1", self.port, **self.options) as client:
                    await client.subscribe("#", qos=1)
                    self.client = client
                    async for message in client.messages:
                        payload = message.payload
                        text = payload.decode() if isinstance(payload, bytes | bytearray) else str(payload)
                        self.seen.append(Seen(message.topic.value, text, bool(message.retain), time.monotonic()))
                        self._changed.set()
            except aiomqtt.MqttError:
                self.client = None
                await asyncio.sleep(0.2)

    async def send(self, topic: str, payload: str, *, retain: bool = False) -> float:
        await self.connected()
        assert self.client is not None
        sent = time.monotonic()
        await self.client.publish(topic, payload, qos=1, retain=retain)
        return sent

    def last(self, topic: str) -> str | None:
        found = [s.payload for s in self.seen if s.topic == topic]
        return found[-1] if found else None

    def payloads(self, topic: str) -> list[str]:
        return [s.payload for s in self.seen if s.topic == topic]

    async def wait_for(
        self, topic: str, payload: str | None = None, *, after: float = 0.0, timeout: float = 15
    ) -> Seen:
        async with asyncio.timeout(timeout):
            while True:
                for seen in self.seen:
                    if seen.topic == topic and seen.at >= after and (payload is None or seen.payload == payload):
                        return seen
                self._changed.clear()
                await self._changed.wait()

    async def count(self, topic: str, count: int, *, timeout: float = 15) -> list[str]:
        """The payloads on `topic` once there are `count` of them."""
        async with asyncio.timeout(timeout):
            while len(found := self.payloads(topic)) < count:
                self._changed.clear()
                await self._changed.wait()
        return found

    async def result(self, topic: str, *, after: float, timeout: float = 15) -> dict[str, Any]:
        return dict(json.loads((await self.wait_for(topic, after=after, timeout=timeout)).payload))


def write_config(
    path: Path, port: int, locks: list[dict[str, Any]], *, mqtt: str = "", extra: str = "", mode: int = 0o600
) -> Path:
    """``mqtt`` goes into the [mqtt] table, ``extra`` (other tables) after it."""
    lines = [f'[mqtt]\nhost = "127.0.0.1"\nport = {port}\n{mqtt}', extra]
    for lock in locks:
        lines.append("[[lock]]\n" + "".join(f"{k} = {json.dumps(v)}\n" for k, v in lock.items()))
    path.write_text("\n".join(lines))
    path.chmod(mode)
    return path


async def retained(port: int, pattern: str = "#", **options: Any) -> dict[str, str]:
    """What a client subscribing now is handed as retained, by topic."""
    import aiomqtt

    found: dict[str, str] = {}
    async with aiomqtt.Client("127.0.0.1", port, **options) as client:
        await client.subscribe(pattern, qos=1)
        with contextlib.suppress(TimeoutError):
            async with asyncio.timeout(0.5):
                async for message in client.messages:
                    if message.retain:
                        payload = message.payload
                        found[message.topic.value] = payload.decode() if isinstance(payload, bytes) else str(payload)
    return found
