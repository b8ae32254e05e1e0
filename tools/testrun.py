"""The test command: every nox session tagged `test`, two at a time.

Run one after another, most sessions leave a core idle for long stretches:
downloads, configure scripts, debootstrap, single-threaded pytest and qemu
runs. So the sessions run side by side (`host.jobs()` at once, or
``QUOVEL_TEST_JOBS``), in the order of the noxfile, with two kinds of rule:

- `AFTER`: a session starts once every session it needs has ended (the
  wheels are built from the sdist; the platform runs test the wheels);
- `SHARED`: sessions that use one build folder or environment never overlap.

Each session writes its output to build/test-logs/<session>.log; the run
prints a line as each one ends (a failure with its log's last lines), then
one line per session and the count of passed and failed sessions. It exits
non-zero when any session failed.
"""

from __future__ import annotations

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from tools import host

ROOT = Path(__file__).resolve().parent.parent
NOX = ROOT / "scripts" / "nox"
LOGS = ROOT / "build" / "test-logs"
TAIL = 120

# Sessions (by their function's name) that wait for others to end.
AFTER: dict[str, frozenset[str]] = {
    "wheel": frozenset({"sdist"}),
    # The coverage run replays the corpora the fuzz run grew.
    "fuzz_coverage": frozenset({"fuzz_run"}),
    # These take the wheels of build/dist (the host's, or all of them).
    "platforms_all": frozenset({"wheel", "platform_interpreters"}),
    "instruction_budget": frozenset({"wheel", "platform_interpreters"}),
    "release_check": frozenset({"sdist", "wheel"}),
    "ha_tests": frozenset({"wheel"}),
    "fleet_bench": frozenset({"wheel"}),
    "mqtt_tests": frozenset({"wheel"}),
}
# What sessions share, by name: those that share one never run at once.
SHARED: dict[str, frozenset[str]] = {
    # lint configures build/fuzz, which fuzz_run builds.
    "build/fuzz": frozenset({"lint", "fuzz_run"}),
    # Home Assistant's environments, and build/ha-ext when the host's wheel is stale.
    "build/ha": frozenset({"ha_tests", "release_check", "fleet_bench"}),
}
# Started first when free: the longest chain (sdist, wheels, interpreters, platform runs).
FIRST = ("sdist", "wheel", "platform_interpreters", "platforms_all")


@dataclass
class Session:
    name: str
    function: str
    needs: set[str] = field(default_factory=set)
    resources: frozenset[str] = frozenset()
    status: str = "waiting"  # waiting, running, passed, failed
    seconds: float = 0.0

    @property
    def log(self) -> Path:
        return LOGS / (re.sub(r"[^A-Za-z0-9_.-]+", "_", self.name).strip("_") + ".log")


def plan(listed: Iterable[dict[str, str]]) -> list[Session]:
    """The sessions of `nox -l --json` with what each needs and shares."""
    # "session" is what `nox -s` takes (with its parameters), "name" its function.
    sessions = [Session(entry["session"], entry["name"]) for entry in listed]
    for session in sessions:
        wanted = AFTER.get(session.function, frozenset())
        session.needs = {other.name for other in sessions if other.function in wanted and other is not session}
        session.resources = frozenset(name for name, users in SHARED.items() if session.function in users)
    priority = {function: rank for rank, function in enumerate(FIRST)}
    # Stable: the noxfile's order within each rank.
    return sorted(sessions, key=lambda s: priority.get(s.function, len(FIRST)))


def runnable(sessions: list[Session]) -> Session | None:
    """The first waiting session whose needs have ended and whose resources are free."""
    ended = {s.name for s in sessions if s.status in ("passed", "failed")}
    busy = {resource for s in sessions if s.status == "running" for resource in s.resources}
    for session in sessions:
        if session.status == "waiting" and session.needs <= ended and not session.resources & busy:
            return session
    return None


def _listed() -> list[dict[str, str]]:
    output = subprocess.run(
        [str(NOX), "-l", "--json", "-t", "test"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout
    listed: list[dict[str, str]] = json.loads(output)
    return listed


def _tail(path: Path, lines: int) -> str:
    return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])


def run(jobs: int) -> int:
    sessions = plan(_listed())
    LOGS.mkdir(parents=True, exist_ok=True)
    print(f"== {len(sessions)} sessions, {jobs} at a time; logs in {LOGS.relative_to(ROOT)}/", flush=True)
    lock = threading.Condition()
    children: set[subprocess.Popen[bytes]] = set()
    started = time.monotonic()

    def work() -> None:
        while True:
            with lock:
                while (session := runnable(sessions)) is None:
                    if all(s.status != "waiting" for s in sessions):
                        return
                    lock.wait()
                session.status = "running"
                print(f"-- start {session.name}", flush=True)
            began = time.monotonic()
            with open(session.log, "wb") as out:
                child = subprocess.Popen(
                    [str(NOX), "-s", session.name],
                    cwd=ROOT,
                    stdout=out,
                    stderr=subprocess.STDOUT,
                    start_new_session=True,
                )
                with lock:
                    children.add(child)
                status = child.wait()
            with lock:
                children.discard(child)
                session.seconds = time.monotonic() - began
                session.status = "passed" if status == 0 else "failed"
                if status == 0:
                    print(f"-- passed {session.name} ({session.seconds:.0f} s)", flush=True)
                else:
                    print(f"-- FAILED {session.name} ({session.seconds:.0f} s); the end of {session.log}:")
                    print(_tail(session.log, TAIL), flush=True)
                lock.notify_all()

    workers = [threading.Thread(target=work, daemon=True) for _ in range(jobs)]
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            while worker.is_alive():
                worker.join(1.0)
    except KeyboardInterrupt:
        with lock:
            for child in children:
                os.killpg(child.pid, signal.SIGTERM)
        raise
    passed = [s for s in sessions if s.status == "passed"]
    failed = [s for s in sessions if s.status != "passed"]
    print(f"\n== sessions, {time.monotonic() - started:.0f} s in all:")
    for session in sorted(sessions, key=lambda s: -s.seconds):
        print(f"   {session.status:7} {session.seconds:6.0f} s  {session.name}")
    print(f"sessions: {len(passed)} passed, {len(failed)} failed", flush=True)
    return 1 if failed else 0


def main(argv: list[str]) -> int:
    jobs = int(os.environ.get("QUOVEL_TEST_JOBS", host.jobs()))
    if argv:
        # Anything else is nox's: the sessions one after another, as nox runs them.
        return subprocess.run([str(NOX), "-t", "test", *argv], cwd=ROOT, check=False).returncode
    return run(max(1, jobs))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
