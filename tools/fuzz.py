"""Bounded libFuzzer runs of the core's harnesses, and their line coverage.

run(): builds the harnesses (clang 19, ASan + UBSan) and runs each for a
bounded time, two at a time, from the seed corpora in fuzz/corpus/ plus what
earlier runs found in build/fuzz/work/. Any crash, sanitizer report or broken
invariant fails it; the input that did it is kept in build/fuzz/artifacts/.
Replaying one after a fix: build/fuzz/keys_fuzzer build/fuzz/artifacts/keys-crash-<hash>

Both build CMake presets (fuzz, fuzz-coverage: clang 19, which unlike
Debian 12's clang 14 compiles libstdc++ 12's <expected>).

coverage(): the core's GoogleTest suite and the harnesses, built with clang's
source-based coverage; the suite runs once and each harness over its corpora
(and, if asked, some seconds of fresh fuzzing); llvm-cov's report of
core/src with its line and branch figures checked against floors, and HTML
in build/fuzz-coverage/html/index.html.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from tools import host

ROOT = Path(__file__).resolve().parent.parent
HARNESSES = ("packet", "frames", "operations", "advertisement", "keys", "tracker")
# Coverage of core/src (percent) under which the test command fails: a few
# points under what is measured, so that new code must come with its tests.
FLOORS = {"lines": 95.0, "branches": 88.0}


def _build(preset: str, cmake: str, ninja: str) -> Path:
    """Configures and builds a CMake preset; returns its binary folder."""
    subprocess.run(
        [cmake, "--preset", preset, f"-DCMAKE_MAKE_PROGRAM={ninja}"], cwd=ROOT, check=True, stdout=subprocess.DEVNULL
    )
    subprocess.run([cmake, "--build", "--preset", preset, "-j", str(host.jobs())], cwd=ROOT, check=True)
    return ROOT / "build" / preset


def _fuzz_one(build: Path, name: str, seconds: int) -> tuple[str, int, str]:
    work = build / "work" / name
    work.mkdir(parents=True, exist_ok=True)
    log = build / "logs" / f"{name}.log"
    with open(log, "w") as out:
        # New inputs go to the first folder only, so the seeds stay as committed.
        status = subprocess.run(
            [
                str(build / f"{name}_fuzzer"),
                f"-max_total_time={seconds}",
                "-timeout=10",
                "-rss_limit_mb=2048",
                "-print_final_stats=1",
                f"-artifact_prefix={build / 'artifacts'}/{name}-",
                str(work),
                str(ROOT / "fuzz" / "corpus" / name),
            ],
            stdout=out,
            stderr=subprocess.STDOUT,
            env=dict(os.environ, UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"),
            check=False,
        ).returncode
    return name, status, log.read_text(errors="replace")


def run(seconds: int, cmake: str, ninja: str, harnesses: tuple[str, ...] = HARNESSES) -> None:
    build = _build("fuzz", cmake, ninja)
    (build / "logs").mkdir(parents=True, exist_ok=True)
    (build / "artifacts").mkdir(parents=True, exist_ok=True)
    print(f"fuzzing {len(harnesses)} harnesses for {seconds} s each", flush=True)
    with ThreadPoolExecutor(max_workers=host.jobs()) as pool:
        results = list(pool.map(lambda name: _fuzz_one(build, name, seconds), harnesses))
    failed = 0
    for name, status, log in results:
        runs = re.findall(r"^stat::number_of_executed_units: *(\d+)", log, re.MULTILINE)
        coverage = re.findall(r"cov: \d+", log)
        executions = runs[-1] if runs else "?"
        if status == 0:
            print(f"{name:14} ok      {executions:>10} executions  {coverage[-1] if coverage else ''}")
        else:
            failed += 1
            print(f"{name:14} FAILED  {executions:>10} executions  (exit {status}, log {build / 'logs' / name}.log)")
            report = re.search(r"(invariant violated|ERROR: |runtime error).*", log, re.DOTALL)
            print("\n".join((report.group(0) if report else log).splitlines()[:60]))
    print(f"fuzz: {len(harnesses) - failed} passed, {failed} failed")
    if failed:
        raise RuntimeError(f"{failed} fuzz harnesses failed")


def coverage(seconds: int, cmake: str, ninja: str) -> dict[str, float]:
    """Line and branch coverage of core/src by the core's tests and the harnesses
    over their corpora (plus `seconds` of fresh fuzzing each); fails under the floors."""
    build = _build("fuzz-coverage", cmake, ninja)
    profiles = build / "profiles"
    shutil.rmtree(profiles, ignore_errors=True)
    shutil.rmtree(build / "scratch", ignore_errors=True)
    profiles.mkdir(parents=True)
    tests = build / "core" / "quovel_core_tests"
    subprocess.run(
        [str(tests), "--gtest_brief=1"],
        check=True,
        env=dict(os.environ, LLVM_PROFILE_FILE=str(profiles / "core-tests-%p.profraw")),
    )
    objects = [str(tests)]
    for name in HARNESSES:
        print(f"{name}: corpus" + (f" and {seconds} s of fuzzing" if seconds else ""), flush=True)
        scratch = build / "scratch" / name
        scratch.mkdir(parents=True)
        corpora = [scratch, ROOT / "fuzz" / "corpus" / name]
        if (ROOT / "build" / "fuzz" / "work" / name).is_dir():
            corpora.append(ROOT / "build" / "fuzz" / "work" / name)
        # -runs=0 replays the corpora and stops.
        budget = f"-max_total_time={seconds}" if seconds else "-runs=0"
        with open(build / f"{name}.log", "w") as out:
            subprocess.run(
                [str(build / f"{name}_fuzzer"), budget, "-timeout=10", *map(str, corpora)],
                stdout=out,
                stderr=subprocess.STDOUT,
                check=True,
                env=dict(os.environ, LLVM_PROFILE_FILE=str(profiles / f"{name}-%p.profraw")),
            )
        # llvm-cov takes the first binary bare and every other one after -object.
        objects += ["-object", str(build / f"{name}_fuzzer")]
    # Each harness defines LLVMFuzzerTestOneInput differently, which
    # llvm-profdata reports as mismatched data; the core's functions merge cleanly.
    subprocess.run(
        [
            "llvm-profdata-19",
            "merge",
            "-sparse",
            *map(str, profiles.glob("*.profraw")),
            "-o",
            str(build / "all.profdata"),
        ],
        check=True,
    )
    # Only the core's sources count: not its headers, tests, the harnesses or the system.
    options = [f"-instr-profile={build / 'all.profdata'}", "-ignore-filename-regex=(/fuzz/|/include/|/tests/|^/usr/)"]
    subprocess.run(
        ["llvm-cov-19", "show", "-format=html", f"-output-dir={build / 'html'}", *options, *objects],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    report = subprocess.run(["llvm-cov-19", "report", *options, *objects], check=True, capture_output=True, text=True)
    print(report.stdout.replace(f"{ROOT}/", ""))
    exported = subprocess.run(
        ["llvm-cov-19", "export", "-summary-only", *options, *objects], check=True, capture_output=True, text=True
    )
    totals = json.loads(exported.stdout)["data"][0]["totals"]
    measured = {kind: float(totals[kind]["percent"]) for kind in FLOORS}
    print("core coverage: " + ", ".join(f"{kind} {measured[kind]:.1f}% (floor {FLOORS[kind]}%)" for kind in FLOORS))
    below = [kind for kind in FLOORS if measured[kind] < FLOORS[kind]]
    if below:
        raise RuntimeError(f"core coverage below its floor: {', '.join(below)}")
    return measured
