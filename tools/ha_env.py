"""Home Assistant's test harness on the CPython it runs on, for the integration's tests.

Home Assistant 2026.10 needs CPython 3.14.2 or later: the environment uses
Debian sid's python3.14, the interpreter of the glibc-x86_64-3.14 platform
run. Home Assistant pulls a few hundred packages, some only as sdists, so pip
runs inside that interpreter (natively, through its launcher) rather than
from the host for its tags. The environment is cached, keyed by the pins of
the `ha` dependency group; each run gets a small environment of its own that
holds the module under test and names the cached one in a .pth file.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

from tools import cache, platforms
from tools.project import dependency_group

PLATFORM = "glibc-x86_64"
VERSION = "3.14"
GROUP = "ha"
# The pip that runs inside the interpreter; put there from the host once.
PIP = "pip==25.3"


def _site(folder: Path) -> Path:
    return folder / "lib" / f"python{VERSION}" / "site-packages"


def environment() -> Path:
    """The cached environment's python, built on first use (it waits on the cache lock)."""
    chosen = platforms.interpreter(PLATFORM, VERSION)
    requirements = dependency_group(GROUP)

    def build(folder: Path) -> None:
        python = platforms.launcher_env(chosen, folder)
        platforms.run(
            [
                sys.executable,
                "-m",
                "pip",
                "install",
                "--quiet",
                "--disable-pip-version-check",
                "--root-user-action=ignore",
                "--no-compile",
                "--target",
                _site(folder),
                PIP,
            ]
        )
        platforms.run(
            [
                python,
                "-m",
                "pip",
                "install",
                "--quiet",
                "--disable-pip-version-check",
                "--root-user-action=ignore",
                "--no-compile",
                *requirements,
            ]
        )
        # Byte-compiled once: Home Assistant imports a great deal at every start.
        platforms.run([python, "-m", "compileall", "-q", "-j0", _site(folder)], stdout=subprocess.DEVNULL)

    recipe = [PLATFORM, VERSION, str(chosen.binary), PIP, *requirements, platforms.ENV_LAYOUT]
    return cache.artefact(f"env-ha-{PLATFORM}-{VERSION}", recipe, build) / "bin" / "python"


def with_wheel(wheel: Path, work: Path) -> Path:
    """A fresh environment in `work` holding `wheel` (no dependencies) over the cached one."""
    cached = environment()
    chosen = platforms.interpreter(PLATFORM, VERSION)
    shutil.rmtree(work, ignore_errors=True)
    python = platforms.launcher_env(chosen, work)
    platforms.run(
        [
            cached,
            "-m",
            "pip",
            "install",
            "--quiet",
            "--disable-pip-version-check",
            "--root-user-action=ignore",
            "--no-deps",
            "--no-compile",
            "--target",
            _site(work),
            wheel,
        ]
    )
    (_site(work) / "quovel-ha-dependencies.pth").write_text(f"{_site(cached.parent.parent)}\n", encoding="utf-8")
    return python


def constraints() -> Path:
    """Home Assistant's own package constraints, as its installer applies them."""
    return _site(environment().parent.parent) / "homeassistant" / "package_constraints.txt"


if __name__ == "__main__":
    print(environment())
