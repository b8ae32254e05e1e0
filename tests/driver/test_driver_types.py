"""The driver, the simulator and the walkthrough under mypy --strict, against
bleak's own annotations and the module's shipped stubs."""

from __future__ import annotations

import os
import pathlib
import pkgutil
import subprocess
import sys

import pytest
from support import EMULATED

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_driver_simulator_and_walkthrough_pass_strict_type_checks(tmp_path):
    if EMULATED:
        pytest.skip("the types are the same on every platform; checked on the native runs")
    pytest.importorskip("mypy")
    pytest.importorskip("bleak_retry_connector", reason="the driver needs the [bleak] extra")
    mypy = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull]
    # The simulator's Home Assistant proxy is checked against Home Assistant's types where it is installed.
    import quovel_sim

    simulator = [
        arg
        for module in pkgutil.iter_modules(quovel_sim.__path__)
        if module.name != "homeassistant"
        for arg in ("-m", f"quovel_sim.{module.name}")
    ]
    # mypy takes packages or files in one run, not both.
    for targets in (
        ["-p", "quovel_bleak", "-m", "quovel_sim", *simulator],
        [str(ROOT / "examples" / "walkthrough.py")],
    ):
        try:
            # From an empty folder, so that only the installed packages are checked.
            result = subprocess.run([*mypy, *targets], capture_output=True, text=True, check=False, cwd=tmp_path)
        except OSError as error:
            pytest.skip(f"child processes cannot start here ({error}); run mypy on a native interpreter")
        assert result.returncode == 0, result.stdout + result.stderr
