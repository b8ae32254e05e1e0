"""CPython on every platform the wheels are for, and the whole suite run on each.

An interpreter is a real CPython binary of its platform: the host's own
(pyenv) for glibc x86_64 3.12 and 3.13, Debian's from a debootstrapped root
for 3.14 and for glibc aarch64, and one built here with zig's musl toolchain
for musl. Each is cached with tools/cache.py. aarch64 runs under qemu-user.

Each test run gets a launcher environment: a folder with pyvenv.cfg and
bin/python, an executable the host kernel can start directly (a symlink
where the binary runs natively, a small script that starts the loader or
qemu otherwise). Because sys.executable is that launcher, child processes
the tests start (python -I, mypy) run on the same platform without binfmt.
Packages are installed from the host for the interpreter's platform tags.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

from tools import cache, debian, host, musl_python
from tools.project import dependency_group
from tools.targets import INTERPRETERS, PLATFORMS, Target

ROOT = Path(__file__).resolve().parent.parent
# The folders of tests/ that make the whole suite a wheel is tested with; the
# integration's and the bridge's tests need hosts of their own (ha_tests, mqtt_tests).
SUITE = ("binding", "driver", "sim")
DEBIAN_INTERPRETERS = {"3.13": "trixie", "3.14": "sid"}
HOST_VERSIONS = ("3.12", "3.13")
# Bumped when the layout of a test environment (launcher, folders) changes.
ENV_LAYOUT = "launcher-1"


@dataclasses.dataclass(frozen=True)
class Interpreter:
    """A CPython binary of a platform and how the host starts it."""

    platform: Target
    version: str
    binary: Path  # the interpreter's own executable (of its platform)
    origin: str  # where it comes from, for reports
    root: Path | None = None  # a foreign root file system its binary needs
    glibc: str = "2_36"  # the highest manylinux level the root's glibc allows

    def launcher(self, argv0: str) -> str | None:
        """Shell text that starts the binary with `argv0`, or None where a symlink does."""
        binary = shlex.quote(str(self.binary))
        if self.platform.emulated:
            root = f"-L {shlex.quote(str(self.root))} " if self.root else ""
            return f'exec {shlex.join(self.platform.qemu())} {root}-0 {argv0} {binary} "$@"'
        if self.root:  # a newer glibc than the host's: its own loader and libraries
            libs = self.root / "usr/lib" / f"{self.platform.arch}-linux-gnu"
            loader = libs / ("ld-linux-x86-64.so.2" if self.platform.arch == "x86_64" else "ld-linux-aarch64.so.1")
            return (
                f'exec {shlex.quote(str(loader))} --library-path {shlex.quote(str(libs))} --argv0 {argv0} {binary} "$@"'
            )
        return None


# --- interpreters ----------------------------------------------------------------


def _build_debian_root(folder: Path, platform: Target, version: str, suite: str, packages: list[str]) -> None:
    debian.root_file_system(folder, suite, platform.debian_arch, packages)
    # Debian compiles the standard library at install time, which the
    # first stage skips; do it once here rather than on every start.
    interpreter = Interpreter(platform, version, folder / f"usr/bin/python{version}", "", folder)
    with tempfile.TemporaryDirectory() as scratch:
        python = launcher_env(interpreter, Path(scratch))
        host.run([python, "-m", "compileall", "-q", "-j0", folder / f"usr/lib/python{version}"], quiet=True)


def _debian_root(platform: Target, version: str) -> Path:
    suite = DEBIAN_INTERPRETERS[version]
    packages = [f"python{version}"]
    recipe = cache.recipe(_build_debian_root, debian.root_file_system)
    return cache.artefact(
        f"debian-{suite}-{platform.debian_arch}-python{version}",
        [suite, platform.debian_arch, *packages, recipe],
        lambda folder: _build_debian_root(folder, platform, version, suite, packages),
    )


def _glibc_level(root: Path) -> str:
    """The manylinux level a root's glibc satisfies, from the libc6 package it holds."""
    packages = (root / debian.PACKAGES_LIST).read_text(encoding="utf-8").split()
    (libc,) = [name for name in packages if name.startswith("libc6_")]
    major, minor = libc.split("_")[1].split("-")[0].split(".")[:2]
    return f"{major}_{minor}"


def interpreter(platform_name: str, version: str) -> Interpreter:
    """The interpreter for (platform, version), built or unpacked on first use."""
    platform = PLATFORMS[platform_name]
    if (platform_name, version) not in INTERPRETERS:
        raise ValueError(f"no {version} interpreter for {platform_name}")
    if platform.libc == "musl":
        # Built here: make, autotools, patchelf and the rest.
        debian.install("cross", "platforms")
        prefix = musl_python.prefix(platform, version)
        return Interpreter(platform, version, prefix / "bin" / f"python{version}", f"CPython {version} built for musl")
    if not platform.emulated and version in HOST_VERSIONS:
        return Interpreter(platform, version, host.python(version), f"host CPython {version}")
    root = _debian_root(platform, version)
    return Interpreter(
        platform,
        version,
        root / f"usr/bin/python{version}",
        f"Debian {DEBIAN_INTERPRETERS[version]} python{version}",
        root,
        _glibc_level(root),
    )


# --- launcher environments and test runs ---------------------------------------------


def launcher_env(interpreter: Interpreter, folder: Path) -> Path:
    """A virtual environment in `folder` whose bin/python the host can start."""
    major_minor = interpreter.version
    (folder / "bin").mkdir(parents=True, exist_ok=True)
    (folder / "lib" / f"python{major_minor}" / "site-packages").mkdir(parents=True, exist_ok=True)
    (folder / "pyvenv.cfg").write_text(
        f"home = {interpreter.binary.parent}\ninclude-system-site-packages = false\nversion = {major_minor}\n",
        encoding="utf-8",
    )
    python = folder / "bin" / "python"
    python.unlink(missing_ok=True)
    body = interpreter.launcher('"$0"')
    if body is None:
        python.symlink_to(interpreter.binary)
    else:
        python.write_text(f"#!/bin/sh\n{body}\n", encoding="utf-8")
        python.chmod(0o755)
    for alias in ("python3", f"python{major_minor}"):
        (folder / "bin" / alias).unlink(missing_ok=True)
        (folder / "bin" / alias).symlink_to("python")
    return python


def sdist_wheels(requirements: list[str]) -> Path:
    """Wheels built on the host for the dependencies PyPI has only as sdists.

    Installing for another platform takes wheels only; these few are pure
    Python, so a wheel built here serves every platform.
    """

    def build(folder: Path) -> None:
        report = folder / "report.json"
        host.pip("install", "--dry-run", "--ignore-installed", "--report", report, *requirements)
        for item in json.loads(report.read_text(encoding="utf-8"))["install"]:
            if not item["download_info"]["url"].endswith(".whl"):
                metadata = item["metadata"]
                host.pip("wheel", "--no-deps", "--wheel-dir", folder, f"{metadata['name']}=={metadata['version']}")

    return cache.artefact("sdist-wheels", requirements, build)


def _pip_for(interpreter: Interpreter, target: Path, *args: str | Path, find_links: Path | None = None) -> None:
    """pip on the host installing into `target` for the interpreter's platform and version."""
    platforms = [f"--platform={tag}" for tag in interpreter.platform.pip_platforms(interpreter.glibc)]
    links = [f"--find-links={find_links}"] if find_links else []
    host.pip(
        "install",
        "--root-user-action=ignore",
        "--no-compile",
        "--upgrade",
        "--target",
        target,
        "--only-binary=:all:",
        *platforms,
        *links,
        f"--python-version={interpreter.version}",
        "--implementation=cp",
        *args,
    )


def test_environment(platform_name: str, version: str, group: str = "test") -> tuple[Interpreter, Path]:
    """A cached environment holding the dependency group, and its python."""
    chosen = interpreter(platform_name, version)
    requirements = dependency_group(group)

    def build(folder: Path) -> None:
        python = launcher_env(chosen, folder)
        site = folder / "lib" / f"python{version}" / "site-packages"
        _pip_for(chosen, site, *requirements, find_links=sdist_wheels(requirements))
        # Byte-compiled once here: the environment forbids writing bytecode
        # later, and compiling on every start costs most under emulation.
        host.run([python, "-m", "compileall", "-q", "-j0", site], quiet=True)

    recipe = [platform_name, version, str(chosen.binary), *requirements, ENV_LAYOUT]
    folder = cache.artefact(f"env-{platform_name}-{version}", recipe, build)
    return chosen, folder / "bin" / "python"


def install_wheel(chosen: Interpreter, wheel: Path, work: Path) -> Path:
    """A fresh environment in `work` with the wheel installed; returns its python.

    Its site-packages holds the wheel alone plus a .pth line naming the
    cached environment's, so the module is installed as pip installs it
    while the test dependencies are shared and never change.
    """
    shutil.rmtree(work, ignore_errors=True)
    _, cached = test_environment(chosen.platform.platform, chosen.version)
    python = launcher_env(chosen, work)
    site = work / "lib" / f"python{chosen.version}" / "site-packages"
    _pip_for(chosen, site, "--no-deps", wheel)
    (site / "quovel-test-dependencies.pth").write_text(
        f"{cached.parent.parent / 'lib' / f'python{chosen.version}' / 'site-packages'}\n", encoding="utf-8"
    )
    return python


@dataclasses.dataclass
class Result:
    wheel: str
    interpreter: str
    passed: int = 0
    failed: int = 0
    skipped: dict[str, int] = dataclasses.field(default_factory=dict)
    seconds: float = 0.0
    extra: list[str] = dataclasses.field(default_factory=list)

    def save(self, path: Path) -> None:
        path.write_text(json.dumps(dataclasses.asdict(self), indent=1), encoding="utf-8")

    @classmethod
    def load(cls, path: Path) -> Result | None:
        return cls(**json.loads(path.read_text(encoding="utf-8"))) if path.exists() else None

    def line(self) -> str:
        skips = "; ".join(f"{count} x {reason}" for reason, count in self.skipped.items()) or "none"
        return (
            f"{self.wheel} on {self.interpreter}: {self.passed} passed, {self.failed} failed, "
            f"{sum(self.skipped.values())} skipped ({skips}), {self.seconds:.0f} s"
        )


def _junit_counts(report: Path, result: Result) -> None:
    tree = ElementTree.parse(report)
    for case in tree.iter("testcase"):
        outcome = [child for child in case if child.tag in ("failure", "error", "skipped")]
        if not outcome:
            result.passed += 1
        elif outcome[0].tag == "skipped":
            reason = outcome[0].get("message", "").removeprefix("Skipped: ")
            result.skipped[reason] = result.skipped.get(reason, 0) + 1
        else:
            result.failed += 1


def test(
    wheel: Path, platform_name: str, version: str, work: Path | None = None, pytest_args: tuple[str, ...] = ()
) -> Result:
    """The whole Python suite against `wheel` installed for (platform, version).

    Raises CalledProcessError when any test fails or none ran.
    """
    chosen = interpreter(platform_name, version)
    work = work or ROOT / "build" / "platforms" / f"{platform_name}-{version}"
    python = install_wheel(chosen, wheel, work / "env")
    host.run([python, "-m", "compileall", "-q", work / "env" / "lib"], quiet=True)
    result = Result(wheel.name, f"{chosen.origin} ({platform_name})")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    # Under qemu the suite trims its random examples and leak batches.
    env["QUOVEL_EMULATED"] = "1" if chosen.platform.emulated else "0"
    report = work / "junit.xml"
    report.unlink(missing_ok=True)
    (work / "result.json").unlink(missing_ok=True)
    started = time.monotonic()
    # From the tests folder, so that only the installed module can be imported.
    completed = subprocess.run(
        [
            str(python),
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-rfEs",
            f"--junitxml={report}",
            *pytest_args,
            *SUITE,
        ],
        cwd=ROOT / "tests",
        env=env,
        check=False,
    )
    result.seconds = time.monotonic() - started
    if report.exists():
        _junit_counts(report, result)
    print(result.line(), flush=True)
    result.save(work / "result.json")
    if completed.returncode != 0 or result.passed == 0:
        # pytest's 5 (nothing collected) is a failure here too.
        raise subprocess.CalledProcessError(completed.returncode or 5, completed.args)
    return result


def type_check(wheel: Path, platform_name: str, version: str) -> None:
    """stubtest of the shipped stubs against the module, and mypy --strict on the typed example."""
    chosen = interpreter(platform_name, version)
    work = ROOT / "build" / "platforms" / f"{platform_name}-{version}-types"
    python = install_wheel(chosen, wheel, work / "env")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    host.run([python, "-m", "mypy.stubtest", "quovel"], cwd=work, env=env)
    host.run(
        [python, "-m", "mypy", "--strict", "--cache-dir", work / "mypy-cache", ROOT / "examples" / "typed_usage.py"],
        cwd=work,
        env=env,
    )
    host.run([python, ROOT / "examples" / "typed_usage.py"], cwd=work, env=env, quiet=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="The whole suite against a wheel on one interpreter.")
    parser.add_argument("wheel", type=Path)
    parser.add_argument("platform", choices=PLATFORMS)
    parser.add_argument("version")
    parser.add_argument("--types", action="store_true", help="also stubtest and mypy --strict on the typed example")
    args = parser.parse_args(argv)
    test(args.wheel.resolve(), args.platform, args.version)
    if args.types:
        type_check(args.wheel.resolve(), args.platform, args.version)
    return 0


if __name__ == "__main__":
    sys.exit(main())
