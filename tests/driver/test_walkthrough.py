"""The walkthrough, run in process in virtual time, with each fault flag."""

from __future__ import annotations

import importlib.util
import pathlib

import pytest

pytest.importorskip("bleak_retry_connector", reason="the walkthrough needs the [bleak] extra")

_PATH = pathlib.Path(__file__).resolve().parents[2] / "examples" / "walkthrough.py"
_SPEC = importlib.util.spec_from_file_location("walkthrough", _PATH)
assert _SPEC is not None and _SPEC.loader is not None
walkthrough = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(walkthrough)


@pytest.mark.parametrize(
    ("flags", "status", "shown"),
    [
        ([], 0, "the lock's bolt: locked; tracker: LOCKED"),
        (
            ["--connect-failures", "2", "--drop-after", "5", "--disconnect-error", "timeout"],
            0,
            "reconnecting in 0.75 s",
        ),
        (["--split-every-byte", "--stray", "4", "--corrupt-crc", "2"], 0, "retry 2 of 2"),
        (["--wrong-key"], 1, "HandshakeRefused: AES decryption failed"),
        (["--refuse-handshake"], 1, "HandshakeRefused: command 0x55 failed"),
        (["--refuse-actuation"], 1, "ActuationRefused: command 0x47 failed"),
        (["--corrupt-crc", "3"], 1, "BadReply: packet CRC mismatch"),
        (["--stray", "5"], 1, "BadReply: unexpected response command"),
        (["--silence"], 1, "NoReply: no reply from the lock within 10.0 s"),
        (["--connect-failures", "12"], 1, "LockUnreachable: could not connect"),
    ],
)
def test_each_fault_shows_its_outcome(flags, status, shown, capsys):
    assert walkthrough.main(["--fast", *flags]) == status
    out = capsys.readouterr().out
    assert shown in out
    assert "2b7e1516" not in out and "305419896" not in out
