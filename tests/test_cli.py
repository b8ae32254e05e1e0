"""The command line, called in process with a simulated radio."""

from __future__ import annotations

import io

import pytest
from bleak_sim import AES_KEY, UNLOCK_KEY

from quovel_bleak import cli
from quovel_sim import SimulatedLock
from quovel_sim.bleak_backend import SimulatedRadio
from quovel_sim.virtual_time import run

KEYS = {cli.AES_KEY_VARIABLE: AES_KEY.hex(), cli.UNLOCK_KEY_VARIABLE: str(UNLOCK_KEY)}


def command(argv, environ=KEYS, answers=()):
    radio = SimulatedRadio()
    lock = SimulatedLock(aes_key=AES_KEY, unlock_key=UNLOCK_KEY, battery=42)
    radio.add(lock)
    asked = list(answers)

    async def discover(timeout):
        return {lock.address: (radio.ble_device(lock.address), radio.advertisement_data(lock.address, stale=True))}

    out, err = io.StringIO(), io.StringIO()
    status = cli.main(
        argv,
        environ=environ,
        prompt=lambda question: asked.pop(0),
        discover=discover,
        backend=radio.backend,
        run=run,
        out=out,
        err=err,
    )
    return status, out.getvalue(), err.getvalue(), lock


def test_scan_lists_the_selected_advertisement():
    status, out, _, lock = command(["scan"])
    assert status == 0
    assert out == f"{lock.address}  kind=stateful  state=locked  battery=42%  version=5.3\n"


@pytest.mark.parametrize(
    ("argv", "environ", "answers", "printed", "locked"),
    [
        (["status", "c4:3a:51:0b:7e:19"], KEYS, (), "LOCKED\n", True),
        (["unlock", "C4:3A:51:0B:7E:19"], KEYS, (), "tracker: UNLOCKING\ntracker: UNLOCKED\n", False),
        (["unlock", "C4:3A:51:0B:7E:19"], {}, (AES_KEY.hex(), str(UNLOCK_KEY)), "tracker: UNLOCKED\n", False),
    ],
    ids=["status", "unlock-from-environment", "unlock-from-prompt"],
)
def test_one_operation(argv, environ, answers, printed, locked):
    status, out, err, lock = command(argv, environ, answers)
    assert (status, err) == (0, "")
    assert out.endswith(printed) and lock.locked is locked


@pytest.mark.parametrize(
    ("argv", "environ", "status", "message"),
    [
        (["lock", "C4:3A:51:0B:7E:19"], {**KEYS, cli.UNLOCK_KEY_VARIABLE: "0"}, 2, "error: invalid unlock key"),
        (
            ["status", "C4:3A:51:0B:7E:19"],
            {cli.AES_KEY_VARIABLE: "00"},
            2,
            "error: AES key must be exactly 16 bytes; got 1 bytes",
        ),
        (["unlock", "C4:3A:51:0B:7E:19"], {**KEYS, cli.UNLOCK_KEY_VARIABLE: "1"}, 1, "error: ActuationRefused: "),
        (["status", "11:22:33:44:55:66"], KEYS, 1, "error: 11:22:33:44:55:66 was not heard"),
    ],
)
def test_failures_exit_with_a_status_and_quovels_message(argv, environ, status, message):
    got, _, err, lock = command(argv, environ)
    assert got == status and err.startswith(message)
    assert lock.locked


def test_keys_are_not_accepted_on_the_command_line():
    status, _, _, _ = command(["unlock", "C4:3A:51:0B:7E:19", AES_KEY.hex()])
    assert status == 2
