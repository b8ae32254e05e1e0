"""The build machine: running commands on it, pip, how many jobs it takes,
and its own CPython interpreters."""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path

# The CPython versions the project supports, oldest first.
PYTHON_VERSIONS = ("3.12", "3.13", "3.14")


def jobs() -> int:
    # The build machine is shared; two jobs at most.
    return min(2, os.cpu_count() or 1)


def run(
    command: Sequence[str | Path],
    *,
    cwd: Path | None = None,
    env: Mapping[str, str] | None = None,
    log: Path | None = None,
    capture: bool = False,
    quiet: bool = False,
) -> str:
    """Runs a command, echoed first, and raises CalledProcessError when it fails.

    With `log`, its output goes to that file and its tail is shown on
    failure; with `capture`, its output (both streams) is returned; with `quiet`,
    its standard output is dropped.
    """
    text = [str(part) for part in command]
    print("+", shlex.join(text), flush=True)
    if log is not None:
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "w") as output:
            code = subprocess.run(text, cwd=cwd, env=env, stdout=output, stderr=subprocess.STDOUT).returncode
        if code != 0:
            print(log.read_text(errors="replace")[-6000:], file=sys.stderr, flush=True)
            raise subprocess.CalledProcessError(code, text)
        return ""
    if capture:
        result = subprocess.run(text, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            print(result.stdout[-6000:], file=sys.stderr, flush=True)
            raise subprocess.CalledProcessError(result.returncode, text, result.stdout)
        return result.stdout
    subprocess.run(text, cwd=cwd, env=env, stdout=subprocess.DEVNULL if quiet else None, check=True)
    return ""


def pip_command(python: str | Path, subcommand: str, *arguments: str | Path) -> list[str]:
    """A quiet pip command line of `python`."""
    return [str(python), "-m", "pip", subcommand, "--quiet", "--disable-pip-version-check", *map(str, arguments)]


def pip(subcommand: str, *arguments: str | Path, python: str | Path = sys.executable, cwd: Path | None = None) -> None:
    """Runs pip of `python` (the running interpreter by default)."""
    run(pip_command(python, subcommand, *arguments), cwd=cwd)


def python(version: str) -> Path:
    """The host's CPython of that version: on PATH, under pyenv, or Debian's."""
    candidates = [shutil.which(f"python{version}")]
    pyenv_root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates += sorted(str(p) for p in pyenv_root.glob(f"versions/{version}*/bin/python{version}"))
    candidates.append(f"/usr/bin/python{version}")
    for candidate in candidates:
        if not candidate or not Path(candidate).exists():
            continue
        # A pyenv shim for a version that is not selected exists but fails.
        probe = subprocess.run(
            [candidate, "-c", "import sys, venv; print(sys.executable)"], capture_output=True, text=True, check=False
        )
        if probe.returncode == 0:
            return Path(probe.stdout.strip())
    raise RuntimeError(f"no CPython {version} on this machine (install it, e.g. with pyenv)")


def pythons() -> dict[str, Path]:
    """The host's supported CPython interpreters by version, oldest first."""
    found = {}
    for version in PYTHON_VERSIONS:
        try:
            found[version] = python(version)
        except RuntimeError:
            continue
    return found
