"""LockMonitor: one lock's tracker, availability, listeners and commands,
against a simulated lock in virtual time; and the key files and addresses
every caller shares."""

from __future__ import annotations

import asyncio
import logging
import os

import pytest
from support.bleak_sim import AES_KEY, UNLOCK_KEY

import quovel_bleak as qb
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import SimulatedRadio
from quovel_sim.lock import LOCK, UNLOCK
from quovel_sim.virtual_time import run


class Home:
    """A simulated lock on a radio, and a monitor of it that has heard it at 0 s."""

    def __init__(self, **lock_options: object) -> None:
        self.radio = SimulatedRadio()
        self.lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, **lock_options)  # type: ignore[arg-type]
        self.peripheral = self.radio.add(self.lock)
        self.changes: list[frozenset[str]] = []
        self.monitor = qb.LockMonitor(
            self.lock.address.replace(":", "").lower(),
            qb.Secret(AES_KEY.hex()),
            UNLOCK_KEY,
            name="Front door",
            backend=self.radio.backend,
        )
        self.monitor.add_listener(self.changes.append)

    def hear(self, now: float = 0.0) -> frozenset[str]:
        device = self.radio.ble_device(self.lock.address)
        return self.monitor.on_advertisement(self.lock.manufacturer_data(), now, device)


@pytest.fixture
def home() -> Home:
    home = Home()
    home.hear()
    return home


def test_advertisements_feed_a_typed_state_and_the_listeners(home, caplog):
    assert home.changes == [frozenset({"state", "available", "battery"})]
    monitor = home.monitor
    assert (monitor.address, monitor.state, monitor.available, monitor.battery) == (
        "C4:3A:51:0B:7E:19",
        qb.LockState.LOCKED,
        True,
        85,
    )
    assert monitor.last_heard == 0.0 and monitor.last_advertisement.kind == "stateful"
    # A raising listener is logged and keeps neither the others nor the state from moving on.
    caplog.set_level(logging.ERROR, "quovel_bleak")
    remove = monitor.add_listener(lambda changes: 1 / 0)
    home.lock.locked = False
    assert home.hear(1.0) == {"state"}
    assert monitor.state is qb.LockState.UNLOCKED and home.changes[-1] == {"state"}
    assert "a listener raised on ['state']" in caplog.text
    remove()
    remove()


def test_availability_is_logged_once_each_way(home, caplog):
    caplog.set_level(logging.INFO, "quovel_bleak")
    monitor = home.monitor
    assert monitor.poll_availability(qb.OFFLINE_AFTER - 1) == frozenset()
    assert monitor.poll_availability(qb.OFFLINE_AFTER + 1) == {"available"}
    assert monitor.on_unavailable() == frozenset() and not monitor.available
    assert home.hear(400.0) == {"available"}
    assert monitor.on_unavailable() == {"available"}
    assert [r.getMessage() for r in caplog.records] == [
        "Front door (C4:3A:51:0B:7E:19) is unavailable",
        "Front door (C4:3A:51:0B:7E:19) is available again",
        "Front door (C4:3A:51:0B:7E:19) is unavailable",
    ]


def test_commands_move_the_lock_and_diagnostics_name_no_key(home):
    async def commands() -> str:
        await home.monitor.unlock()
        result = await home.monitor.refresh()
        await home.monitor.close()
        return result

    assert run(commands()) == "UNLOCKED"
    assert home.monitor.state is qb.LockState.UNLOCKED and not home.lock.locked
    diagnostics = repr(home.monitor.diagnostics()) + repr(home.monitor)
    assert "'state': 'UNLOCKED'" in diagnostics and "'hold_link': 7.0" in diagnostics
    for secret in (AES_KEY.hex(), str(UNLOCK_KEY), f"{UNLOCK_KEY:08x}"):
        assert secret not in diagnostics.lower()


@pytest.mark.parametrize(
    ("asked", "outcomes", "locked"),
    [
        # The first is past its turn when the rest arrive, but has written nothing yet.
        (["unlock", "lock", "unlock", "lock"], ["superseded"] * 3 + [None], True),
        (["lock", "unlock"], ["superseded", None], False),
        # Repeating the same wish supersedes nothing.
        (["unlock", "unlock"], [None, None], False),
    ],
)
def test_the_last_intent_wins(home, asked, outcomes, locked):
    async def burst() -> list[object]:
        return await asyncio.gather(*(getattr(home.monitor, action)() for action in asked), return_exceptions=True)

    results = run(burst())
    assert [getattr(r, "kind", r) for r in results] == outcomes
    assert home.lock.locked is locked and len(home.lock.actuations) == outcomes.count(None)
    # Five chunks per command carried out: no status query after one superseded.
    assert len(home.peripheral.writes) == 5 * outcomes.count(None)
    assert home.monitor.state is (qb.LockState.LOCKED if locked else qb.LockState.UNLOCKED)
    superseded = [r for r in results if isinstance(r, qb.Superseded)]
    newer = {"lock": "unlock", "unlock": "lock"}
    assert [str(r) for r in superseded] == [
        f"superseded by a newer {newer[a]} command before it was sent" for a, r in zip(asked, results) if r is not None
    ]


def test_a_command_already_written_is_carried_out(home):
    async def unlock_then_lock() -> None:
        first = asyncio.ensure_future(home.monitor.unlock())
        while not home.peripheral.writes:
            await asyncio.sleep(0.01)
        await home.monitor.lock()
        await first

    run(unlock_then_lock())
    assert [r.command for r in home.lock.actuations] == [UNLOCK, LOCK]
    assert home.monitor.state is qb.LockState.LOCKED


# --- key files and addresses ---------------------------------------------------


@pytest.mark.parametrize(
    ("mode", "content", "error"),
    [
        (0o600, f"  {AES_KEY.hex()}\n", None),
        (0o400, AES_KEY.hex(), None),
        (0o620, AES_KEY.hex(), None),  # writable by the group, but not readable
        (0o640, AES_KEY.hex(), r"can be read by others \(mode 0640\)"),
        (0o604, AES_KEY.hex(), r"can be read by others \(mode 0604\)"),
        (0o600, " \n", "is empty"),
        (0o600, b"\xff\xfe", "is not UTF-8 text"),
    ],
)
def test_secret_files_are_read_by_their_owner_only(tmp_path, mode, content, error):
    path = tmp_path / "aes.key"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    os.chmod(path, mode)
    if error is None:
        secret = qb.read_secret_file(path)
        qb.check_owner_only(path)
        assert secret == qb.Secret(AES_KEY.hex()) and secret.reveal() == AES_KEY.hex()
        assert repr(secret) == str(secret) == f"{secret}" == "<redacted>" and not hasattr(secret, "__dict__")
        return
    with pytest.raises(qb.SecretFileError, match=error) as raised:
        qb.read_secret_file(path)
    assert str(path) in str(raised.value) and AES_KEY.hex()[:8] not in str(raised.value)
    assert isinstance(raised.value, ValueError)


def test_a_missing_secret_file_is_named():
    with pytest.raises(qb.SecretFileError, match="^cannot read /nonexistent/key: No such file"):
        qb.read_secret_file("/nonexistent/key")
    with pytest.raises(qb.SecretFileError, match="^cannot read /nonexistent/key: No such file"):
        qb.check_owner_only("/nonexistent/key")


@pytest.mark.parametrize(
    ("text", "normal"),
    [
        ("C4:3A:51:0B:7E:19", "C4:3A:51:0B:7E:19"),
        ("c4:3a:51:0b:7e:19", "C4:3A:51:0B:7E:19"),
        ("C4-3A-51-0B-7E-19", "C4:3A:51:0B:7E:19"),
        ("c43a510b7e19", "C4:3A:51:0B:7E:19"),
        ("C4:3A-51:0B:7E:19", None),
        ("C4:3A:51:0B:7E", None),
        ("C4:3A:51:0B:7E:1G", None),
        (AES_KEY.hex(), None),
        ("", None),
    ],
)
def test_addresses_are_normalised_and_never_echoed(text, normal):
    if normal is not None:
        assert qb.normalize_address(text) == normal
        return
    with pytest.raises(ValueError, match="^not a Bluetooth address like C4:3A:51:0B:7E:19$"):
        qb.normalize_address(text)
