"""The Python benchmark on the glibc and the musl x86_64 wheel, side by side.

Both run bench/run_benchmarks.py on CPython 3.13 in one session, one after
the other: the glibc wheel on the host's CPython, the musl wheel on CPython
built for musl. The two interpreters are built differently, so besides the
time of each quovel call the table shows the call floor of each (the
cheapest CPython call of the same shape): a ratio that moves with the floor
is the interpreter's; one that moves against it is the wheel's.
"""

from __future__ import annotations

import json
import subprocess
from pathlib import Path
from typing import Any

from tools import platforms, targets, wheels

ROOT = Path(__file__).resolve().parent.parent
RUNS = (("glibc-x86_64", "3.13"), ("musl-x86_64", "3.13"))


def _run_one(dist: Path, platform_name: str, version: str, quick: bool) -> dict[str, Any]:
    wheel = wheels.built(dist, targets.PLATFORMS[platform_name])
    work = ROOT / "build" / "bench-wheels" / platform_name
    python = platforms.install_wheel(platforms.interpreter(platform_name, version), wheel, work / "env")
    out = work / "python.json"
    subprocess.run(
        [str(python), str(ROOT / "bench" / "run_benchmarks.py"), *(["--quick"] if quick else []), "--json", str(out)],
        check=True,
    )
    result: dict[str, Any] = json.loads(out.read_text(encoding="utf-8"))
    return result


def compare(dist: Path, quick: bool = False) -> list[dict[str, Any]]:
    results = [_run_one(dist, *run, quick=quick) for run in RUNS]
    glibc, musl = ({row["name"]: row for row in result["hot_paths"]} for result in results)
    rows = []
    print(
        f"\n{'hot path':36s} {'glibc':>9s} {'musl':>9s} {'musl/glibc':>10s} {'floor m/g':>9s} "
        f"{'/floor glibc':>12s} {'/floor musl':>11s}"
    )
    for name, g in glibc.items():
        m = musl[name]
        row = {
            "name": name,
            "glibc_ns": g["quovel_ns"],
            "musl_ns": m["quovel_ns"],
            "ratio": m["quovel_ns"] / g["quovel_ns"],
            "floor_ratio": m["floor_ns"] / g["floor_ns"],
            "glibc_over_floor": g["over_floor"],
            "musl_over_floor": m["over_floor"],
        }
        rows.append(row)
        print(
            f"{name:36s} {row['glibc_ns']:7.0f}ns {row['musl_ns']:7.0f}ns {row['ratio']:9.2f}x "
            f"{row['floor_ratio']:8.2f}x {row['glibc_over_floor']:11.2f}x {row['musl_over_floor']:10.2f}x"
        )
    glibc_growth, musl_growth = ({row["name"]: row for row in result["growth"]} for result in results)
    print(f"\n{'growth with input size (largest input)':44s} {'glibc':>9s} {'musl':>9s} {'musl/glibc':>10s}")
    for name, g in glibc_growth.items():
        gl, ml = g["points"][-1]["ns"], musl_growth[name]["points"][-1]["ns"]
        print(f"{name:44s} {gl / 1000:7.1f}us {ml / 1000:7.1f}us {ml / gl:9.2f}x")
    out = ROOT / "build" / "bench-wheels" / "comparison.json"
    out.write_text(json.dumps(rows, indent=1), encoding="utf-8")
    return rows
