"""The instruction budget's reading of callgrind profiles and its verdicts."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest

from tools import instruction_budget, platforms

# Name compression as callgrind writes it: a name is given with its id once,
# later references carry the id alone.
PROFILE = """\
events: Ir
fn=(1) caller
cfn=(2) malloc
calls=3 0x10
5 40
cfn=(3) PyObject_Malloc
calls=7 0x20
5 90
fn=(4) other
cfn=(2)
calls=2 0x10
6 30
cfn=(5) malloc_consolidate
calls=9 0x30
6 10
totals: 1234
"""


def test_counts_follow_compressed_names(tmp_path: Path) -> None:
    profile = tmp_path / "callgrind.out.1"
    profile.write_text(PROFILE, encoding="utf-8")
    # Only the heap allocator's own calls: 3 + 2, not the pools' or its helpers'.
    assert instruction_budget._counts(profile) == (1234, 5)


def test_probe_names_every_gated_path() -> None:
    paths = instruction_budget._paths()
    assert instruction_budget.LOOP in paths
    assert set(instruction_budget.NO_ALLOCATION) <= set(paths)


@pytest.mark.parametrize(
    ("now", "allocations", "failed"),
    [(1010.0, 0.0, False), (1110.0, 0.0, False), (1112.0, 0.0, True), (900.0, 1.0, True)],
)
def test_growth_over_ten_percent_or_an_allocation_fails(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, now: float, allocations: float, failed: bool
) -> None:
    baseline = tmp_path / "baseline.json"
    names = instruction_budget._paths()
    baseline.write_text(json.dumps({p: dict.fromkeys(names, 1010.0) for p, _ in instruction_budget.RUNS}))
    monkeypatch.setattr(instruction_budget, "BASELINE", baseline)
    monkeypatch.setattr(instruction_budget, "ROOT", tmp_path)
    monkeypatch.setattr(instruction_budget, "_unpacked", lambda dist, target, into: into)
    monkeypatch.setattr(platforms, "interpreter", lambda name, version: type("I", (), {"binary": Path("python")}))
    measured = {name: {"instructions": now, "allocations": allocations} for name in names}
    monkeypatch.setattr(instruction_budget, "measure", lambda python, site, iterations: measured)
    monkeypatch.setattr(shutil, "which", lambda name: "/usr/bin/valgrind")
    (tmp_path / "build" / "instructions").mkdir(parents=True)
    failures = instruction_budget.check(tmp_path)
    gated = [f for f in failures if "parse_advertisement:" in f]
    assert bool(gated) == failed
