"""The command line, called in process with a simulated radio and a scanner
backend that hears what each test puts on the air, in virtual time."""

from __future__ import annotations

import asyncio
import io
import os
from typing import Any

import pytest
from bleak.backends.scanner import BaseBleakScanner
from bleak.exc import BleakError
from support.bleak_sim import AES_KEY, UNLOCK_KEY
from support.keys import ADDRESS

from quovel_bleak import cli
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import SimulatedRadio
from quovel_sim.virtual_time import run

KEYS = {cli.AES_KEY_VARIABLE: AES_KEY.hex(), cli.UNLOCK_KEY_VARIABLE: str(UNLOCK_KEY)}
OTHER = "11:22:33:44:55:66"


class Air:
    """What a scanner hears: each broadcast every second, the lock from ``lock_from`` s on."""

    def __init__(self, radio: SimulatedRadio, lock: SimulatedLock, lock_from: float = 2.0, fail: str | None = None):
        self.stopped_at: list[float] = []
        self.options: list[dict[str, Any]] = []
        air = self

        class Scanner(BaseBleakScanner):
            def __init__(self, callback: Any, uuids: Any, mode: Any = "active", **options: Any) -> None:
                super().__init__(callback, uuids)
                self.seen_devices = {}
                air.options.append(options)
                self._timers: list[asyncio.TimerHandle] = []

            async def start(self) -> None:
                if fail is not None:
                    raise BleakError(fail)
                loop = asyncio.get_running_loop()
                other = radio.ble_device(OTHER)
                for second in range(60):
                    self._timers.append(
                        loop.call_later(
                            second + 0.5, self.call_detection_callbacks, other, radio.advertisement_data(OTHER)
                        )
                    )
                    if second >= lock_from:
                        data = radio.advertisement_data(ADDRESS, stale=True)
                        self._timers.append(
                            loop.call_later(second, self.call_detection_callbacks, radio.ble_device(ADDRESS), data)
                        )

            async def stop(self) -> None:
                air.stopped_at.append(asyncio.get_running_loop().time())
                for timer in self._timers:
                    timer.cancel()

        self.backend = Scanner


def command(argv, environ=KEYS, answers=(), lock_from=2.0, fail=None):
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, battery=42)
    radio.add(lock)
    # A device that is no lock: manufacturer data that decodes, but no service UUID.
    radio.add(SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, address=OTHER), name="beacon")
    air = Air(radio, lock, lock_from, fail)
    asked = list(answers)
    out, err = io.StringIO(), io.StringIO()
    status = cli.main(
        argv,
        environ=environ,
        prompt=lambda question: asked.pop(0),
        scanner_backend=air.backend,
        backend=radio.backend,
        run=run,
        out=out,
        err=err,
    )
    return status, out.getvalue(), err.getvalue(), lock, air


@pytest.fixture(autouse=True)
def beacons_without_the_service(monkeypatch):
    original = SimulatedRadio.advertisement_data

    def advertisement_data(self, address, **options):
        data = original(self, address, **options)
        return data._replace(service_uuids=[]) if address == OTHER else data

    monkeypatch.setattr(SimulatedRadio, "advertisement_data", advertisement_data)


@pytest.mark.parametrize(
    ("argv", "printed", "stopped_at"),
    [
        (["scan"], f"{ADDRESS}  kind=stateful  state=locked  battery=42%  version=5.3\n", 10.0),
        (["--timeout", "30", "scan", ADDRESS.lower()], f"{ADDRESS}  kind=stateful  state=locked", 2.0),
        (["--timeout", "3", "scan", OTHER], "no lock heard\n", 3.0),
    ],
)
def test_scan_lists_the_locks_heard_and_stops_on_the_one_wanted(argv, printed, stopped_at):
    status, out, _, _, air = command(argv)
    assert status == 0 and out.startswith(printed)
    assert air.stopped_at == [stopped_at]


def test_the_adapter_is_handed_to_the_scanner():
    command(["--adapter", "hci1", "scan"])
    command(["scan"])
    *_, air = command(["--adapter", "hci1", "status", ADDRESS])
    assert air.options[0]["bluez"] == {"adapter": "hci1"}


@pytest.mark.parametrize(
    ("argv", "environ", "answers", "printed", "locked"),
    [
        (["status", "c4:3a:51:0b:7e:19"], KEYS, (), "LOCKED\n", True),
        (["status", "c43a510b7e19"], KEYS, (), "LOCKED\n", True),
        (["unlock", ADDRESS], KEYS, (), "tracker: UNLOCKING\ntracker: UNLOCKED\n", False),
        (["unlock", ADDRESS], {}, (AES_KEY.hex(), str(UNLOCK_KEY)), "tracker: UNLOCKED\n", False),
    ],
    ids=["status", "status-without-colons", "unlock-from-environment", "unlock-from-prompt"],
)
def test_one_operation_once_the_lock_is_heard(argv, environ, answers, printed, locked):
    status, out, err, lock, air = command(argv, environ, answers, lock_from=4)
    assert (status, err) == (0, "")
    assert out.endswith(printed) and lock.locked is locked
    assert air.stopped_at == [4.0]


@pytest.mark.parametrize(
    ("argv", "environ", "status", "message"),
    [
        (["lock", ADDRESS], {**KEYS, cli.UNLOCK_KEY_VARIABLE: "0"}, 2, "error: invalid unlock key"),
        (["status", ADDRESS], {cli.AES_KEY_VARIABLE: "00"}, 2, "error: AES key must be exactly 16 bytes; got 1 bytes"),
        (["unlock", ADDRESS], {**KEYS, cli.UNLOCK_KEY_VARIABLE: "1"}, 1, "error: ActuationRefused: "),
        (
            ["--timeout", "5", "status", "AA:BB:CC:DD:EE:FF"],
            KEYS,
            1,
            "error: AA:BB:CC:DD:EE:FF was not heard within 5.0 s",
        ),
    ],
)
def test_failures_exit_with_a_status_and_quovels_message(argv, environ, status, message):
    got, _, err, lock, _ = command(argv, environ)
    assert got == status and err.startswith(message)
    assert lock.locked


@pytest.mark.parametrize("argv", [["scan"], ["status", ADDRESS]])
def test_a_failing_scanner_is_an_error_line(argv):
    status, out, err, _, _ = command(argv, fail="No Bluetooth adapters found.")
    assert (status, out) == (1, "")
    assert err == "error: the Bluetooth scanner failed: No Bluetooth adapters found.\n"


@pytest.mark.parametrize(
    "argv",
    [
        ["unlock", ADDRESS, AES_KEY.hex()],
        ["unlock", ADDRESS, "--aes-key", AES_KEY.hex()],
        ["--timeout", AES_KEY.hex(), "status", ADDRESS],
        [AES_KEY.hex()],
        # Where the address belongs.
        ["status", AES_KEY.hex()],
        ["scan", AES_KEY.hex()],
        ["lock", AES_KEY.hex()[:12] + "x"],
    ],
)
def test_a_key_typed_as_an_argument_is_refused_and_never_echoed(argv, capsys):
    status, out, err, lock, air = command(argv)
    captured = capsys.readouterr()
    assert status == 2 and err.startswith("python -m quovel_bleak: error: ")
    assert AES_KEY.hex() not in out + err + captured.out + captured.err
    assert air.options == [] and lock.locked


def key_file(tmp_path, mode, text=None):
    path = tmp_path / "keys"
    path.write_text(text if text is not None else "".join(f"{name}={value}\n" for name, value in KEYS.items()))
    os.chmod(path, mode)
    return str(path)


def test_keys_from_a_file_readable_by_its_owner_only(tmp_path):
    status, _, err, lock, _ = command(["--key-file", key_file(tmp_path, 0o600), "unlock", ADDRESS], environ={})
    assert (status, err) == (0, "") and not lock.locked


@pytest.mark.parametrize(
    ("mode", "text", "message"),
    [
        (0o640, None, "can be read by others (mode 0640): allow its owner only (chmod 600)"),
        (0o604, None, "can be read by others (mode 0604)"),
        (0o600, "", "is empty"),
        (0o600, f"{AES_KEY.hex()}\n", "line 1: expected QUOVEL_AES_KEY=... or QUOVEL_UNLOCK_KEY=..."),
    ],
)
def test_a_key_file_others_can_read_or_of_another_shape_is_refused(tmp_path, mode, text, message):
    status, _, err, lock, air = command(["--key-file", key_file(tmp_path, mode, text), "unlock", ADDRESS], environ={})
    assert status == 2 and message in err and AES_KEY.hex() not in err
    assert air.options == [] and lock.locked


def test_a_missing_key_file_is_a_usage_error(tmp_path):
    status, _, err, _, _ = command(["--key-file", str(tmp_path / "none"), "status", ADDRESS])
    assert status == 2 and err == f"error: cannot read {tmp_path / 'none'}: No such file or directory\n"
