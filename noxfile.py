"""Every job of the repository as a nox session; `nox -t test` is the whole test run.

    nox -l                                   the sessions
    nox -t test                              what scripts/test and CI run
    nox -s "platform_tests(run='musl-aarch64-3.13')"   one wheel on one interpreter
    nox -s bench -- --quick                  benchmarks, docs/performance.md
    nox -s demo -- --help                    the walkthrough against a simulated lock

Interpreters, root file systems, libcrypto and the zig toolchain are cached
in $QUOVEL_CACHE (default ~/.cache/quovel), keyed by what built them.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT))

from tools import debian, fuzz, host, platforms, targets, wheels

PYPROJECT_FILE = ROOT / "pyproject.toml"
PYPROJECT = nox.project.load_toml(PYPROJECT_FILE)
# The Python packages whose tests are in tests/, measured there; the bridge
# and the integration are tested (and measured) by sessions of their own.
SUITE_PACKAGES = ("quovel_bleak", "quovel_sim")
DIST = ROOT / "build" / "dist"
# The bridge's line and branch coverage in mqtt_tests fails under this (91
# measured): a few points under, so that new code comes with its tests.
MQTT_COVERAGE_FLOOR = 88
FUZZ_SECONDS = int(os.environ.get("QUOVEL_FUZZ_SECONDS", "5"))
PLATFORM_RUNS = [f"{name}-{version}" for name, version in targets.INTERPRETERS]
# The wheel that runs on this machine natively, when it has been built.
HOST_TARGET = next(t for t in targets.TARGETS if t.libc == "gnu" and not t.emulated)
JOBS = str(host.jobs())
# What a wheel is built from: a wheel older than any of these is stale.
WHEEL_SOURCES = (
    "core",
    "binding",
    "src",
    "cmake",
    "CMakeLists.txt",
    "pyproject.toml",
    # The metadata: the README is the long description.
    "README.md",
    "LICENSE",
    "LICENSES",
)

nox.options.default_venv_backend = "venv"
nox.options.envdir = str(ROOT / ".venv" / "nox-sessions")
nox.options.reuse_venv = "yes"
nox.options.error_on_missing_interpreters = True

HOST_PYTHONS = host.pythons()
# nox finds the interpreters by name on PATH.
os.environ["PATH"] = os.pathsep.join([*(str(p.parent) for p in HOST_PYTHONS.values()), os.environ["PATH"]])
# The oldest supported CPython the machine has builds and runs the host jobs.
HOST_PYTHON = next(iter(HOST_PYTHONS), None)
# The demo takes whichever supported CPython there is, the newest first.
DEMO_PYTHON = next(reversed(HOST_PYTHONS), None)


def call(session: nox.Session, action: Callable[[], object]) -> object:
    """Runs a tools/ function, turning its failure into the session's."""
    try:
        return action()
    except (subprocess.CalledProcessError, RuntimeError, FileNotFoundError) as error:
        session.error(str(error))


def system_packages(session: nox.Session, *jobs: str) -> None:
    """The Debian packages of these jobs (tools/debian.py), installed if missing."""
    call(session, lambda: debian.install(*jobs))


def pip(session: nox.Session, subcommand: str, *arguments: str) -> None:
    session.run(*host.pip_command("python", subcommand, *arguments))


def groups(session: nox.Session, *names: str) -> None:
    pip(session, "install", *(r for name in names for r in nox.project.dependency_groups(PYPROJECT, name)))


def tool(session: nox.Session, name: str) -> str:
    path = shutil.which(name, path=session.bin)
    if path is None:
        session.error(f"{name} is not installed in the session")
    return path


@nox.session(python=HOST_PYTHON, tags=["test"])
def tools_tests(session: nox.Session) -> None:
    """The build and test tooling's own tests (tools/tests)."""
    groups(session, "tools")
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", str(ROOT / "tools" / "tests"))


# --- C++ --------------------------------------------------------------------------


@nox.session(python=HOST_PYTHON, tags=["test"])
def core_tests(session: nox.Session) -> None:
    """The core's C++ suite under AddressSanitizer and UndefinedBehaviorSanitizer."""
    system_packages(session, "core")
    groups(session, "build")
    session.run("cmake", "--preset", "sanitized", stdout=subprocess.DEVNULL)
    session.run("cmake", "--build", "--preset", "sanitized", "-j", JOBS)
    session.run("ctest", "--preset", "sanitized")


@nox.session(python=HOST_PYTHON, tags=["test"])
def fuzz_run(session: nox.Session) -> None:
    """A bounded run of every fuzz harness (libFuzzer, ASan + UBSan): QUOVEL_FUZZ_SECONDS each."""
    system_packages(session, "core", "fuzz")
    groups(session, "build")
    seconds = int(session.posargs[0]) if session.posargs else FUZZ_SECONDS
    harnesses = tuple(session.posargs[1:]) or fuzz.HARNESSES
    call(session, lambda: fuzz.run(seconds, tool(session, "cmake"), tool(session, "ninja"), harnesses))


@nox.session(python=HOST_PYTHON, tags=["test"])
def fuzz_coverage(session: nox.Session) -> None:
    """Line and branch coverage of core/src by the C++ tests and the fuzz corpora, with a floor
    (posargs: seconds of fresh fuzzing per harness)."""
    system_packages(session, "core", "fuzz", "coverage")
    groups(session, "build")
    seconds = int(session.posargs[0]) if session.posargs else 0
    call(session, lambda: fuzz.coverage(seconds, tool(session, "cmake"), tool(session, "ninja")))


@nox.session(python=HOST_PYTHON, tags=["test"])
def lint(session: nox.Session) -> None:
    """ruff (lint and format), clang-format and clang-tidy; `-- --fix` rewrites what they can."""
    system_packages(session, "core", "fuzz", "bench")
    groups(session, "lint")
    session.run("python", "-m", "tools.lint", "--cmake", tool(session, "cmake"), *session.posargs)


# --- the distribution -------------------------------------------------------------


@nox.session(python=False, tags=["test", "wheels"])
def sdist(session: nox.Session) -> None:
    """The source distribution, into build/dist/."""
    call(session, lambda: wheels.build_sdist(DIST))


@nox.session(python=False, tags=["test", "wheels"])
@nox.parametrize("target", targets.TAGS)
def wheel(session: nox.Session, target: str) -> None:
    """One cp312-abi3 wheel, built from the sdist, repaired and checked, into build/dist/."""
    for stale in DIST.glob(f"quovel-*{target}*.whl"):
        stale.unlink()
    call(session, lambda: wheels.build_wheel(targets.get(target), DIST))


@nox.session(python=False, tags=["test"])
@nox.parametrize("target", [t.tag for t in targets.TARGETS if t.emulated])
def core_tests_cross(session: nox.Session, target: str) -> None:
    """The core's C++ suite built for another architecture and run there under qemu."""
    call(session, lambda: wheels.core_tests(targets.get(target)))


# --- the wheels on their platforms ------------------------------------------------


def _platform_run(name: str, log: Path) -> tuple[str, platforms.Result | None, float]:
    """One (wheel, interpreter) run with its output in `log`; None when it failed."""
    platform_name, _, version = name.rpartition("-")
    started = time.monotonic()
    with open(log, "w") as out:
        try:
            wheel_file = wheels.built(DIST, targets.PLATFORMS[platform_name])
        except RuntimeError as error:
            print(error, file=out)
            return name, None, 0.0
        command = [sys.executable, "-m", "tools.platforms", str(wheel_file), platform_name, version]
        if not targets.PLATFORMS[platform_name].emulated:
            command.append("--types")
        status = subprocess.run(command, cwd=ROOT, stdout=out, stderr=subprocess.STDOUT, check=False).returncode
    result = platforms.Result.load(ROOT / "build" / "platforms" / f"{name}" / "result.json")
    return name, result if status == 0 else None, time.monotonic() - started


def _prepare_platforms(session: nox.Session, names: list[str]) -> None:
    """Interpreters and environments, two at a time: much of a build is serial
    (configure scripts, debootstrap, downloads)."""
    system_packages(session, "cross", "platforms")

    def prepare(name: str) -> None:
        platform_name, _, version = name.rpartition("-")
        platforms.test_environment(platform_name, version)

    with ThreadPoolExecutor(max_workers=host.jobs()) as pool:
        call(session, lambda: list(pool.map(prepare, names)))


@nox.session(python=False, tags=["test"])
def platform_interpreters(session: nox.Session) -> None:
    """The interpreter and test environment of every platform run, built or taken from the cache.

    Needs no wheel, so the test command runs it while the wheels build."""
    _prepare_platforms(session, session.posargs or PLATFORM_RUNS)


@nox.session(python=False, tags=["test"])
def platforms_all(session: nox.Session) -> None:
    """The whole Python suite against each wheel on every interpreter of its platform, two at a time."""
    names = session.posargs or PLATFORM_RUNS
    logs = ROOT / "build" / "platforms" / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    _prepare_platforms(session, names)
    # Emulated runs take longest: start them first so the two slots stay busy.
    ordered = sorted(names, key=lambda n: not targets.PLATFORMS[n.rpartition("-")[0]].emulated)
    started = time.monotonic()
    with ThreadPoolExecutor(max_workers=host.jobs()) as pool:
        outcomes = list(pool.map(lambda n: _platform_run(n, logs / f"{n}.log"), ordered))
    failures = 0
    totals = [0, 0, 0]
    for name, result, seconds in outcomes:
        if result is None:
            failures += 1
            session.warn(f"FAILED {name} ({seconds:.0f} s); last lines of {logs / name}.log:")
            print("\n".join((logs / f"{name}.log").read_text(errors="replace").splitlines()[-40:]))
            continue
        totals[0] += result.passed
        totals[2] += sum(result.skipped.values())
        session.log(f"ok {name}: {result.line()}")
    totals[1] = failures
    session.log(f"{len(outcomes)} platform runs in {time.monotonic() - started:.0f} s")
    print(f"platforms: {len(outcomes) - failures} passed, {failures} failed")
    if failures:
        session.error(f"{failures} platform runs failed")


@nox.session(python=False, tags=["test"])
def instruction_budget(session: nox.Session) -> None:
    """Instructions and heap allocations per hot path of the x86_64 wheels (callgrind), against
    bench/instruction_baseline.json: more than 10% growth fails (posargs: --update rewrites it)."""
    if os.uname().machine != "x86_64":
        session.skip("the budget is kept for the x86_64 wheels")
    system_packages(session, "cross", "platforms", "instructions")
    from tools import instruction_budget as budget

    failures = call(session, lambda: budget.check(DIST, update="--update" in session.posargs))
    if failures:
        session.error("; ".join(failures))  # type: ignore[arg-type]


@nox.session(python=False)
@nox.parametrize("run", PLATFORM_RUNS)
def platform_tests(session: nox.Session, run: str) -> None:
    """The whole Python suite against one wheel on one interpreter (build/dist/ must hold the wheel)."""
    system_packages(session, "cross", "platforms")
    platform_name, _, version = run.rpartition("-")
    wheel_file = call(session, lambda: wheels.built(DIST, targets.PLATFORMS[platform_name]))
    assert isinstance(wheel_file, Path)
    call(session, lambda: platforms.test(wheel_file, platform_name, version))
    if not targets.PLATFORMS[platform_name].emulated:
        call(session, lambda: platforms.type_check(wheel_file, platform_name, version))


# --- the Home Assistant integration -----------------------------------------------


@nox.session(python=HOST_PYTHON, tags=["test"])
def ha_tests(session: nox.Session) -> None:
    """The Home Assistant integration in Home Assistant's harness on CPython 3.14 (tests/integration/).

    With its coverage, mypy --strict on it and on the simulated proxy, and quovel[bleak] resolved under
    Home Assistant's package constraints. Uses the host's built wheel when it
    is current, else builds the module in place.
    """
    from tools import ha_env

    work = ROOT / "build" / "ha"
    python, wheel_file = _home_assistant(session, work)
    report = work / "coverage.json"
    with session.chdir(ROOT / "tests" / "integration"):
        session.run(
            python,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            f"--cov={ROOT / 'custom_components' / 'quovel'}",
            "--cov-report=term-missing:skip-covered",
            f"--cov-report=json:{report}",
            "--cov-fail-under=95",  # what Home Assistant asks of an integration
            *session.posargs,
            external=True,
            env={"COVERAGE_FILE": str(work / ".coverage")},
        )
    covered = json.loads(report.read_text(encoding="utf-8"))["totals"]["percent_covered"]
    session.log(f"integration coverage: {covered:.1f} %")
    with session.chdir(ROOT):
        session.run(
            python,
            "-m",
            "mypy",
            "--strict",
            "--explicit-package-bases",
            "--cache-dir",
            str(work / "mypy-cache"),
            "custom_components/quovel",
            "src/quovel_sim/homeassistant.py",
            external=True,
        )
    # What Home Assistant's installer does with the manifest's requirement.
    requirement = f"quovel[bleak] @ {wheel_file.as_uri()}"
    constraint = ["--constraint", str(ha_env.constraints())]
    session.run(
        *host.pip_command(python, "install", "--dry-run", "--ignore-installed", *constraint, requirement), external=True
    )
    session.log("quovel[bleak] resolves under Home Assistant's constraints")


def _home_assistant(session: nox.Session, work: Path) -> tuple[str, Path]:
    """Home Assistant's harness (tools/ha_env.py) in `work` with the module under test: the host's
    built wheel when it is current, else the module built in place."""
    system_packages(session, "core", "platforms")
    from tools import ha_env

    wheel_file = _fresh_wheel(HOST_TARGET)
    if wheel_file is None:
        groups(session, "build")
        build = ROOT / "build" / "ha-ext"
        _install_in_place(session, build)
        wheel_file = next((build / "wheelhouse").glob("quovel-*.whl"))
    session.log(f"testing {wheel_file.name}")
    return str(call(session, lambda: ha_env.with_wheel(wheel_file, work / "env"))), wheel_file


@nox.session(python=HOST_PYTHON, tags=["test"])
def fleet_bench(session: nox.Session) -> None:
    """Many locks commanded at once behind a few simulated proxies, in Home Assistant's harness on
    a virtual clock: prints when every command was done, with the locks' shared slot pool and,
    for comparison, without it (tests/integration/bench/fleet_bench.py); then the same through one
    adapter of a few slots, as the bridge drives locks (bench/fleet_adapter.py)."""
    python, _ = _home_assistant(session, ROOT / "build" / "ha-bench")
    for label, without in (("with the slot pool", "0"), ("without the slot pool, for comparison", "1")):
        session.log(f"fleet benchmark {label}")
        with session.chdir(ROOT / "tests" / "integration"):
            session.run(
                python,
                "-m",
                "pytest",
                "-q",
                "-s",
                "-p",
                "no:cacheprovider",
                "-p",
                "no:logging",
                "bench/fleet_bench.py",
                *session.posargs,
                external=True,
                env={"QUOVEL_BENCH_WITHOUT_POOL": without},
            )
    session.log("fleet benchmark through one adapter, as the MQTT bridge drives locks")
    session.run(python, str(ROOT / "bench" / "fleet_adapter.py"), external=True)


@nox.session(python=False, tags=["test"])
def release_check(session: nox.Session) -> None:
    """What a version tag would publish, built as the tag would build it (on a tag, build/dist's files):
    installable through Home Assistant's installer for the manifest's requirement, in the changelog,
    of the manifest's version, and the wheel the tests tested (tools/release.py)."""
    system_packages(session, "cross", "platforms")
    from tools import release

    started = time.monotonic()
    problems = call(session, lambda: release.check(DIST, _fresh_wheel(HOST_TARGET)))
    session.log(f"release check in {time.monotonic() - started:.0f} s")
    if problems:
        session.error("the release would not be sound:\n  " + "\n  ".join(problems))  # type: ignore[arg-type]
    session.log("a tag would publish what was tested")


# --- the host build under sanitizers, benchmarks, demo ----------------------------


def _install_in_place(session: nox.Session, build: Path, *options: str) -> None:
    """Builds the extension into `build` (kept, so rebuilds are incremental) and installs it."""
    wheelhouse = build / "wheelhouse"
    shutil.rmtree(wheelhouse, ignore_errors=True)
    # A fresh configuration each time: changed options and found libraries
    # are never taken from a stale cache; unchanged objects are kept.
    (build / "cmake" / "CMakeCache.txt").unlink(missing_ok=True)
    pip(
        session,
        "wheel",
        "--no-deps",
        "--no-build-isolation",
        str(ROOT),
        "-w",
        str(wheelhouse),
        "-C",
        f"build-dir={build / 'cmake'}",
        *options,
    )
    pip(session, "install", "--force-reinstall", "--no-deps", *map(str, wheelhouse.glob("quovel-*.whl")))


@nox.session(python=HOST_PYTHON, tags=["test"])
def sanitized(session: nox.Session) -> None:
    """The whole Python suite once against an ASan + UBSan build of the module.

    The interpreter's own objects, which it never frees at exit, are
    suppressed (tools/lsan-python.supp); reference leaks are the leak tests'
    job. Allocation stacks are three frames deep: to chase a heap error,
    rerun with a deeper malloc_context_size in ASAN_OPTIONS.
    """
    system_packages(session, "core")
    groups(session, "test", "build", "coverage")
    build = ROOT / "build" / "asan-ext"
    _install_in_place(session, build, "-C", "cmake.build-type=RelWithDebInfo", "-C", "cmake.define.QUOVEL_SANITIZE=ON")
    reports = build / "reports"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)

    def runtime(name: str) -> str:
        return subprocess.run(
            ["gcc", f"-print-file-name={name}"], capture_output=True, text=True, check=True
        ).stdout.strip()

    environment = {
        # The interpreter is not instrumented: the runtimes load first, and its
        # small-object allocator is bypassed so that ASan sees every object.
        "PYTHONMALLOC": "malloc",
        "LD_PRELOAD": f"{runtime('libasan.so')}:{runtime('libubsan.so')}",
        "ASAN_OPTIONS": f"detect_leaks=1:malloc_context_size=3:halt_on_error=1:exitcode=86:log_path={reports}/asan",
        "LSAN_OPTIONS": f"suppressions={ROOT / 'tools' / 'lsan-python.supp'}:print_suppressions=0:exitcode=87",
        "UBSAN_OPTIONS": f"print_stacktrace=1:halt_on_error=1:log_path={reports}/ubsan",
        "QUOVEL_SANITIZED": "1",
        # Out of the source tree: the database holds this machine's paths.
        "COVERAGE_FILE": str(build / ".coverage"),
    }
    # The whole suite measures the Python packages' coverage, with its floor
    # ([tool.coverage] in pyproject.toml); a chosen subset does not.
    coverage = [] if session.posargs else [*(f"--cov={p}" for p in SUITE_PACKAGES), f"--cov-config={PYPROJECT_FILE}"]
    with session.chdir(ROOT / "tests"):
        session.run(
            "python",
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            *coverage,
            *session.posargs,
            *platforms.SUITE,
            env=environment,
        )
    found = sorted(reports.iterdir())
    if found:
        for report in found:
            print(report.read_text(errors="replace"))
        session.error("sanitizer reports")
    session.log("no sanitizer reports")


def _fresh_wheel(target: targets.Target) -> Path | None:
    """The built wheel for `target`, if nothing it is made of has changed since."""
    try:
        wheel_file = wheels.built(DIST, target)
    except RuntimeError:
        return None
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--", *WHEEL_SOURCES], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split("\0")
    newest = max((ROOT / name).stat().st_mtime for name in listed if name and (ROOT / name).exists())
    return wheel_file if wheel_file.stat().st_mtime > newest else None


def _install_host_module(session: nox.Session, build: Path) -> None:
    """The host's built wheel when it is current, else the module built in place in `build`."""
    wheel_file = _fresh_wheel(HOST_TARGET)
    if wheel_file is not None:
        # The test command has just built it: no second compile of the extension.
        pip(session, "install", "--force-reinstall", "--no-deps", str(wheel_file))
    else:
        system_packages(session, "core")
        groups(session, "build")
        _install_in_place(session, build)


@nox.session(python=HOST_PYTHON, tags=["test"])
def mqtt_tests(session: nox.Session) -> None:
    """The MQTT bridge's tests (tests/bridge) against a real mosquitto on a loopback port, with the
    bridge's coverage and its floor (the whole run only), and mypy --strict on the bridge."""
    system_packages(session, "mqtt")
    groups(session, "mqtt_test", "coverage", "mypy")
    _install_host_module(session, ROOT / "build" / "mqtt-ext")
    work = ROOT / "build" / "mqtt"
    # What the bridge process itself runs in test_process.py is not counted.
    coverage = (
        []
        if session.posargs
        else [
            "--cov=quovel_mqtt",
            f"--cov-config={PYPROJECT_FILE}",
            f"--cov-fail-under={MQTT_COVERAGE_FLOOR}",
            "--cov-report=term-missing:skip-covered",
        ]
    )
    with session.chdir(ROOT / "tests" / "bridge"):
        session.run(
            "python",
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            *coverage,
            *session.posargs,
            ".",
            env={"COVERAGE_FILE": str(work / ".coverage")},
        )
    # The installed package, from a folder of its own, as a user's checker sees it.
    checked = work / "types"
    checked.mkdir(parents=True, exist_ok=True)
    with session.chdir(checked):
        session.run("python", "-m", "mypy", "--strict", "--cache-dir", str(work / "mypy-cache"), "-p", "quovel_mqtt")


# The driver's (its command line's among them) and the simulator's tests, which need no hypothesis.
DRIVER_TESTS = ["driver", "sim"]


@nox.session(python=HOST_PYTHON, tags=["test"])
def driver_tests_ha_pins(session: nox.Session) -> None:
    """The driver's, simulator's and command line's tests on Home Assistant's pinned bleak stack (group ha-pins)."""
    system_packages(session, "core")
    groups(session, "ha-pins", "build")
    _install_in_place(session, ROOT / "build" / "ha-pins-ext")
    with session.chdir(ROOT / "tests"):
        session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *DRIVER_TESTS, *session.posargs)


@nox.session(python=HOST_PYTHON)
def leak_check(session: nox.Session) -> None:
    """The leak check with large batches, printing its figures (posargs: calls per batch)."""
    system_packages(session, "core")
    groups(session, "test", "build")
    _install_in_place(session, ROOT / "build" / "leak-check")
    iterations = session.posargs[0] if session.posargs else "5000"
    with session.chdir(ROOT / "tests"):
        session.run(
            "python",
            "-m",
            "pytest",
            "-q",
            "-s",
            "-p",
            "no:cacheprovider",
            "binding/test_leaks.py",
            env={"QUOVEL_LEAK_ITERATIONS": iterations},
        )


@nox.session(python=HOST_PYTHON)
def bench(session: nox.Session) -> None:
    """Both benchmark suites; regenerates docs/performance.md and its chart (posargs: --quick)."""
    system_packages(session, "core", "bench")
    groups(session, "bench", "test")
    quick = "--quick" in session.posargs
    _install_in_place(session, ROOT / "build" / "bench-ext")
    results = ROOT / "build" / "bench-results"
    results.mkdir(parents=True, exist_ok=True)
    session.run("cmake", "--preset", "bench", stdout=subprocess.DEVNULL)
    session.run("cmake", "--build", "--preset", "bench", "-j", JOBS)
    session.run(
        str(ROOT / "build" / "bench" / "quovel_core_bench"),
        f"--benchmark_repetitions={1 if quick else 5}",
        "--benchmark_min_time=0.2s",
        "--benchmark_display_aggregates_only=true",
        f"--benchmark_out={results / 'core.json'}",
        "--benchmark_out_format=json",
        external=True,
    )
    session.run(
        "python",
        str(ROOT / "bench" / "run_benchmarks.py"),
        *(["--quick"] if quick else []),
        "--json",
        str(results / "python.json"),
    )
    session.run("python", str(ROOT / "bench" / "driver_latency.py"), "--markdown", str(results / "driver.md"))
    session.run(
        "python",
        str(ROOT / "bench" / "report.py"),
        str(results / "python.json"),
        str(results / "core.json"),
        "--markdown",
        str(ROOT / "docs" / "performance.md"),
        "--chart",
        str(ROOT / "docs" / "performance.png"),
        "--driver",
        str(results / "driver.md"),
    )


@nox.session(python=HOST_PYTHON)
def bench_bridge_fleet(session: nox.Session) -> None:
    """The bridge with a fleet of locks behind one adapter of limited connection slots, one LOCK
    to each at once, in virtual time (bench/bridge_fleet.py): prints the table."""
    groups(session, "mqtt_test")
    # The extension as the bridge's tests build it: one compile serves both.
    _install_host_module(session, ROOT / "build" / "mqtt-ext")
    session.run("python", str(ROOT / "bench" / "bridge_fleet.py"), *session.posargs)


@nox.session(python=False)
def bench_wheels(session: nox.Session) -> None:
    """The Python benchmark on the glibc and musl x86_64 wheels (CPython 3.13), side by side."""
    system_packages(session, "cross", "platforms")
    from tools import bench_platforms

    call(session, lambda: bench_platforms.compare(DIST, quick="--quick" in session.posargs))


@nox.session(python=HOST_PYTHON)
def bench_bridge_failover(session: nox.Session) -> None:
    """Two bridge processes on one mosquitto sharing a lock (bench/bridge_failover.py): prints the
    takeover times and the commands lost or carried out twice, which must be none."""
    system_packages(session, "mqtt")
    groups(session, "mqtt_test")
    _install_host_module(session, ROOT / "build" / "mqtt-ext")
    session.run("python", str(ROOT / "bench" / "bridge_failover.py"), *session.posargs)


@nox.session(python=DEMO_PYTHON)
def demo(session: nox.Session) -> None:
    """Builds the module and walks through one unlock against the simulated lock (posargs go to it)."""
    if DEMO_PYTHON is None:
        session.error("the demo needs CPython 3.12 or later: install one (e.g. with pyenv)")
    system_packages(session, "core")
    groups(session, "build")
    # What `pip install "quovel[sim,bleak]"` brings, the walkthrough's whole stack.
    extras = PYPROJECT["project"]["optional-dependencies"]
    pip(session, "install", *extras["sim"], *extras["bleak"])
    _install_in_place(session, ROOT / "build" / "demo")
    session.run("python", str(ROOT / "examples" / "walkthrough.py"), *session.posargs)
