"""Instructions and heap allocations per hot path, counted with callgrind.

Each wheel is unpacked beside its interpreter and bench/instruction_probe.py
runs under callgrind once, which cuts the profile where the probe marks it:
each path runs N times and then 2N times, and the difference of the two
phases is N calls of the path alone (the marks, startup and first-use
costs fall outside it); the bare loop's count is then taken off. Counts do
not depend on the machine's load, so the budget is checked against a
committed baseline (bench/instruction_baseline.json): a path that grows by
more than 10% fails, as does an allocation per call on a path that must
make none.

    python -m tools.instruction_budget DIST [--update] [--iterations N]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

from tools import platforms, targets, wheels

ROOT = Path(__file__).resolve().parent.parent
PROBE = ROOT / "bench" / "instruction_probe.py"
BASELINE = ROOT / "bench" / "instruction_baseline.json"
RUNS = (("glibc-x86_64", "3.13"), ("musl-x86_64", "3.13"))
ITERATIONS = 300
GROWTH_LIMIT = 1.10
# The paths that allocate nothing on the heap per call (the bytes, str and
# set objects they return come from the interpreter's own small-object pools).
NO_ALLOCATION = (
    "parse_advertisement",
    "select_advertisement (3 entries)",
    "LockTracker.on_advertisement",
    "LockTracker.on_command_started",
    "LockTracker.on_status",
    "FrameAssembler round",
    "StatusOp round",
    "UnlockOp.start()",
    "UnlockOp handshake round",
    "normalize_aes_key",
    "normalize_unlock_key",
)
ALLOCATORS = {"malloc", "calloc", "realloc", "aligned_alloc", "posix_memalign", "memalign"}
LOOP = "loop (nothing)"


def _paths() -> list[str]:
    spec = importlib.util.spec_from_file_location("instruction_probe", PROBE)
    assert spec is not None and spec.loader is not None
    probe = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(probe)
    return list(probe.PATHS)


def _counts(profile: Path) -> tuple[int, int]:
    """Total instructions and calls of a heap allocator in one callgrind dump."""
    names: dict[str, str] = {}
    total = allocations = 0
    callee = ""
    for line in profile.read_text(encoding="utf-8", errors="replace").splitlines():
        if line.startswith(("fn=", "cfn=")):
            match = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
            if match:
                if match.group(2) is not None:
                    names[match.group(1)] = match.group(2)
                callee = names.get(match.group(1), "") if line.startswith("cfn=") else ""
        elif line.startswith("calls=") and callee in ALLOCATORS:
            allocations += int(line[6:].split()[0])
        elif line.startswith("totals:"):
            total = int(line.split()[1])
    return total, allocations


def measure(python: Path, site: Path, iterations: int = ITERATIONS) -> dict[str, dict[str, float]]:
    """Per call of each path: instructions (the bare loop's taken off) and heap allocations."""
    paths = _paths()
    environment = {**os.environ, "PYTHONPATH": str(site), "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"}
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "callgrind.out"
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--dump-before=PyOS_FSPath",
                f"--callgrind-out-file={out}",
                str(python),
                "-S",
                str(PROBE),
                str(iterations),
            ],
            check=True,
            env=environment,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
        )
        # Startup calls the mark too (imports take paths through it): the
        # probe's own phases are the last dumps before the one at exit.
        dumps = sorted(Path(scratch).glob("callgrind.out.*"), key=lambda p: int(p.suffix[1:]))
        phases = [_counts(dump) for dump in dumps[-2 * len(paths) :]]
    if len(phases) != 2 * len(paths):
        raise RuntimeError(f"callgrind cut {len(dumps)} phases, fewer than the probe's {2 * len(paths)}")
    raw = {}
    for index, name in enumerate(paths):
        (once, once_allocations), (twice, twice_allocations) = phases[2 * index], phases[2 * index + 1]
        raw[name] = ((twice - once) / iterations, (twice_allocations - once_allocations) / iterations)
    loop, loop_allocations = raw[LOOP]
    return {
        name: {
            "instructions": round(instructions - (0 if name == LOOP else loop), 1),
            "allocations": round(allocations - (0 if name == LOOP else loop_allocations), 3),
        }
        for name, (instructions, allocations) in raw.items()
    }


def _unpacked(dist: Path, target: targets.Target, into: Path) -> Path:
    wheel_file = wheels.built(dist, target)
    shutil.rmtree(into, ignore_errors=True)
    with zipfile.ZipFile(wheel_file) as archive:
        archive.extractall(into)
    return into


def check(dist: Path, update: bool = False, iterations: int = ITERATIONS) -> list[str]:
    """Measures both x86_64 wheels, prints them beside the baseline; the failures."""
    if shutil.which("valgrind") is None:
        raise RuntimeError("valgrind is not installed")
    baseline = json.loads(BASELINE.read_text(encoding="utf-8")) if BASELINE.exists() else {}
    measured: dict[str, dict[str, dict[str, float]]] = {}
    for platform_name, version in RUNS:
        site = _unpacked(dist, targets.PLATFORMS[platform_name], ROOT / "build" / "instructions" / platform_name)
        python = platforms.interpreter(platform_name, version).binary
        measured[platform_name] = measure(python, site, iterations)
    failures = []
    names = list(next(iter(measured.values())))
    header = f"{'instructions per call':36s}" + "".join(f" {p:>13s} {'baseline':>9s} {'allocs':>6s}" for p in measured)
    print(header)
    for name in names:
        line = f"{name:36s}"
        for platform_name, paths in measured.items():
            now = paths[name]
            before = baseline.get(platform_name, {}).get(name)
            mark = ""
            if before is not None and name != LOOP and now["instructions"] > before * GROWTH_LIMIT:
                mark = " !"
                failures.append(
                    f"{platform_name} {name}: {now['instructions']:.0f} instructions per call, "
                    f"over 110% of the baseline {before:.0f}"
                )
            if name in NO_ALLOCATION and now["allocations"] >= 0.5:
                mark += " A"
                failures.append(f"{platform_name} {name}: {now['allocations']:.2f} heap allocations per call")
            shown = f"{before:9.0f}" if before is not None else f"{'-':>9s}"
            line += f" {now['instructions']:13.0f} {shown} {now['allocations']:6.2f}{mark}"
        print(line)
    if update:
        BASELINE.write_text(
            json.dumps({p: {n: v["instructions"] for n, v in paths.items()} for p, paths in measured.items()}, indent=1)
            + "\n",
            encoding="utf-8",
        )
        print(f"baseline written to {BASELINE.relative_to(ROOT)}")
    out = ROOT / "build" / "instructions" / "measured.json"
    out.write_text(json.dumps(measured, indent=1), encoding="utf-8")
    return failures


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("dist", type=Path)
    parser.add_argument("--update", action="store_true", help="write the measured counts as the new baseline")
    parser.add_argument("--iterations", type=int, default=ITERATIONS)
    args = parser.parse_args(argv)
    failures = check(args.dist.resolve(), args.update, args.iterations)
    for failure in failures:
        print("FAILED", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
