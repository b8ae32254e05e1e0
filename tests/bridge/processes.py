"""Bridges as real ``python -m quovel_mqtt`` processes, each with a radio of its own.

``Bridges`` starts several on one broker. Each hears the locks it is given at
the signal it is given (None: configured for the lock, but out of its reach);
they share the locks themselves through simworld's shared folder, so the
locks' one journal says how often each bolt moved.
"""

from __future__ import annotations

import asyncio
import json
import os
import signal
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from conftest import HERE, HomeAssistant, write_config
from support.keys import AES_KEY_HEX as AES_KEY
from support.keys import UNLOCK_KEY


def start_bridge(
    config: Path, world: Path, log: Path, *, shared: Path | None = None, level: str = "debug"
) -> subprocess.Popen[bytes]:
    environment = dict(os.environ, QUOVEL_SIMWORLD=str(world))
    environment["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), environment.get("PYTHONPATH")]))
    if shared is not None:
        environment["QUOVEL_SIMSHARED"] = str(shared)
    with open(log, "ab") as out:
        return subprocess.Popen(
            [sys.executable, "-m", "quovel_mqtt", "--config", str(config), "--log-level", level],
            stdout=out,
            stderr=subprocess.STDOUT,
            env=environment,
        )


def object_id(address: str) -> str:
    return address.replace(":", "").lower()


async def served_by(ha: HomeAssistant, lock: str, bridge_id: str, *, after: float = 0.0, timeout: float) -> float:
    """When the lock's discovery first named ``bridge_id`` as the bridge it is reached through."""
    topic = f"homeassistant/device/quovel_{lock}/config"
    async with asyncio.timeout(timeout):
        while True:
            for seen in ha.seen:
                if seen.topic != topic or seen.at < after or not seen.payload:
                    continue
                if json.loads(seen.payload)["dev"]["via_device"] == f"quovel_bridge_{bridge_id}":
                    return seen.at
            await asyncio.sleep(0.02)


@dataclass
class Bridges:
    """``reach``: per bridge id, the locks it is configured for and the signal it hears each at."""

    directory: Path
    port: int
    reach: dict[str, dict[str, int | None]]
    bridge_options: str = "offline_after = 3\n"
    connect_delay: float = 0.3
    level: str = "debug"
    processes: dict[str, subprocess.Popen[bytes]] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.shared = self.directory / "air"
        self.shared.mkdir(exist_ok=True)

    def world(self, bridge_id: str) -> Path:
        return self.directory / f"{bridge_id}.world.json"

    def log(self, bridge_id: str) -> Path:
        return self.directory / f"{bridge_id}.log"

    def hear(self, bridge_id: str, address: str, rssi: int | None) -> None:
        """Moves a lock nearer, farther or out of one bridge's reach while it runs."""
        self.reach[bridge_id][address] = rssi
        self._write_world(bridge_id)

    def _write_world(self, bridge_id: str) -> None:
        entries: list[dict[str, Any]] = [
            {"address": a, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY, "connect_delay": self.connect_delay, "rssi": r}
            for a, r in self.reach[bridge_id].items()
        ]
        path = self.world(bridge_id)
        temporary = path.with_suffix(".tmp")
        temporary.write_text(json.dumps(entries))
        temporary.replace(path)

    def start(self, bridge_id: str) -> None:
        self._write_world(bridge_id)
        locks = [{"address": a, "aes_key": AES_KEY, "unlock_key": UNLOCK_KEY} for a in self.reach[bridge_id]]
        config = write_config(
            self.directory / f"{bridge_id}.toml",
            self.port,
            locks,
            mqtt="keepalive = 5\n",
            extra=f'[bridge]\nid = "{bridge_id}"\n{self.bridge_options}[simulation]\nbackend = "simworld:backends"\n',
        )
        self.processes[bridge_id] = start_bridge(
            config, self.world(bridge_id), self.log(bridge_id), shared=self.shared, level=self.level
        )

    def start_all(self) -> None:
        for bridge_id in self.reach:
            self.start(bridge_id)

    def kill(self, bridge_id: str, signum: int = signal.SIGKILL) -> None:
        process = self.processes.pop(bridge_id)
        process.send_signal(signum)
        process.wait(15)

    def stop_all(self) -> None:
        for bridge_id in list(self.processes):
            process = self.processes[bridge_id]
            if process.poll() is None:
                self.kill(bridge_id, signal.SIGTERM)
            else:
                self.processes.pop(bridge_id)

    def actuations(self) -> list[str]:
        journal = self.shared / "actuations"
        return journal.read_text().splitlines() if journal.exists() else []

    def logs(self) -> str:
        return "\n".join(self.log(b).read_text() for b in self.reach if self.log(b).exists())
