"""Static checks that the test command enforces: ruff, mypy, clang-format, clang-tidy.

    python -m tools.lint [--fix]

mypy --strict reads the build and test tooling (tools/, noxfile.py). Each
tool comes from the `lint` dependency group (pinned), so the verdict is
the same on every machine. clang-tidy reads two compile databases made by
clang 19: the `tidy` preset (core, tests, binding, benchmark) and the `fuzz`
preset (the harnesses, which only build with the fuzzer instrumentation).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from tools import cache, host

ROOT = Path(__file__).resolve().parent.parent
PYTHON_PATHS = ["src", "examples", "tests", "custom_components", "tools", "bench", "noxfile.py"]
MYPY_PATHS = ["tools", "noxfile.py"]
CXX_FOLDERS = ("core/", "binding/", "fuzz/", "bench/")


def _tool(name: str) -> str:
    # The tools sit beside the interpreter that runs this, in the lint venv.
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name)
    if found is None:
        raise RuntimeError(f"{name} is not installed (the `lint` dependency group has it)")
    return found


def _cxx_files(suffixes: tuple[str, ...]) -> list[str]:
    listed = subprocess.run(
        ["git", "ls-files", "--", *(f"*{s}" for s in suffixes)], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout.split()
    return [f for f in listed if f.startswith(CXX_FOLDERS)]


def ruff(fix: bool) -> bool:
    ruff_bin = _tool("ruff")
    check = [ruff_bin, "check", *(["--fix"] if fix else []), *PYTHON_PATHS]
    fmt = [ruff_bin, "format", *([] if fix else ["--check", "--diff"]), *PYTHON_PATHS]
    # Both run, so one call reports every finding.
    codes = [subprocess.run(c, cwd=ROOT).returncode for c in (check, fmt)]
    return codes == [0, 0]


def mypy() -> bool:
    command = [_tool("mypy"), "--strict", "--cache-dir", str(ROOT / "build" / "mypy-cache"), *MYPY_PATHS]
    return subprocess.run(command, cwd=ROOT).returncode == 0


def clang_format(fix: bool) -> bool:
    mode = ["-i"] if fix else ["--dry-run", "--Werror"]
    files = _cxx_files((".cpp", ".hpp"))
    return subprocess.run([_tool("clang-format"), *mode, *files], cwd=ROOT).returncode == 0


def _configure(preset: str, cmake: str, extra: list[str]) -> Path:
    subprocess.run([cmake, "--preset", preset, *extra], cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    return ROOT / "build" / preset


def clang_tidy(cmake: str, python: str) -> bool:
    tidy = _tool("clang-tidy")
    databases = {
        "tidy": _configure("tidy", cmake, [f"-DPython_EXECUTABLE={python}"]),
        "fuzz": _configure("fuzz", cmake, []),
    }
    jobs: list[tuple[Path, str]] = []
    for file in _cxx_files((".cpp",)):
        database = databases["fuzz"] if file.startswith("fuzz/") else databases["tidy"]
        jobs.append((database, file))
    # A clean verdict is kept, keyed by everything of the project's that a file
    # may read: clang-tidy is most of a cold lint, and most runs change no C++.
    clean = cache.root() / "clang-tidy-clean"
    clean.mkdir(parents=True, exist_ok=True)
    shared = cache.key(
        [
            subprocess.run([tidy, "--version"], capture_output=True, text=True, check=True).stdout,
            ROOT / ".clang-tidy",
            *(ROOT / header for header in _cxx_files((".hpp", ".h"))),
        ]
    )
    commands = {
        name: {entry["file"]: json.dumps(entry, sort_keys=True) for entry in json.loads(text)}
        for name, database in databases.items()
        if (text := (database / "compile_commands.json").read_text())
    }

    def verdict_key(job: tuple[Path, str]) -> str:
        database, file = job
        # Without the checkout's own path: a fresh clone elsewhere finds the same verdicts.
        command = commands[database.name].get(str(ROOT / file), "").replace(str(ROOT), "<root>")
        return hashlib.sha256(f"{shared}\0{command}\0".encode() + (ROOT / file).read_bytes()).hexdigest()[:32]

    def run(job: tuple[Path, str]) -> tuple[str, int, str]:
        database, file = job
        marker = clean / verdict_key(job)
        if marker.exists():
            return file, 0, ""
        done = subprocess.run([tidy, "-p", str(database), "--quiet", file], cwd=ROOT, capture_output=True, text=True)
        if done.returncode == 0:
            marker.touch()
        return file, done.returncode, done.stdout + done.stderr

    failed = 0
    with ThreadPoolExecutor(max_workers=host.jobs()) as pool:
        for file, code, output in pool.map(run, jobs):
            if code != 0:
                failed += 1
                print(f"clang-tidy: {file}\n{output}", file=sys.stderr)
    print(f"clang-tidy: {len(jobs) - failed} files clean, {failed} with findings")
    return failed == 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fix", action="store_true", help="rewrite what ruff and clang-format can fix")
    parser.add_argument("--no-tidy", action="store_true", help="skip clang-tidy (the slow one)")
    parser.add_argument("--cmake", default=shutil.which("cmake") or "cmake")
    args = parser.parse_args(argv)
    results = {"ruff": ruff(args.fix), "mypy": mypy(), "clang-format": clang_format(args.fix)}
    if not args.no_tidy:
        results["clang-tidy"] = clang_tidy(args.cmake, sys.executable)
    for name, ok in results.items():
        print(f"{name}: {'clean' if ok else 'FINDINGS'}")
    return 0 if all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
