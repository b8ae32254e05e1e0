"""What the build takes from Debian's archive: host packages, and source
packages of other suites fetched without touching the host's apt setup."""

from __future__ import annotations

import os
import subprocess
import tempfile
from pathlib import Path

from tools import cache

_ARCHIVE_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def _root_prefix() -> list[str]:
    return [] if os.geteuid() == 0 else ["sudo"]


def install(*packages: str) -> None:
    """Installs the host packages that are missing, quietly; no-op when all are there."""
    missing = [
        package
        for package in packages
        if subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True).stdout
        != "install ok installed"
    ]
    if not missing:
        return
    print(f"== installing system packages: {' '.join(missing)}", flush=True)
    environment = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
    subprocess.run([*_root_prefix(), "apt-get", "update", "-qq"], check=True, env=environment)
    subprocess.run(
        [*_root_prefix(), "apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing],
        check=True,
        env=environment,
        stdout=subprocess.DEVNULL,
    )


def installed_version(package: str) -> str:
    return subprocess.run(
        ["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True, check=True
    ).stdout


def _private_apt(state: Path, lines: list[str], *extra: str) -> list[str]:
    """apt-get options for a private list of sources and state under `state`."""
    (state / "lists" / "partial").mkdir(parents=True, exist_ok=True)
    (state / "archives" / "partial").mkdir(parents=True, exist_ok=True)
    (state / "sources.list").write_text("".join(lines))
    return [
        "-o",
        f"Dir::Etc::SourceList={state / 'sources.list'}",
        "-o",
        "Dir::Etc::SourceParts=/dev/null",
        "-o",
        f"Dir::State::Lists={state / 'lists'}",
        "-o",
        f"Dir::Cache={state}",
        # The unprivileged download user cannot write into the cache.
        "-o",
        "APT::Sandbox::User=root",
        *extra,
    ]


def source_package(package: str, version: str, suites: tuple[str, ...]) -> Path:
    """The cached files of a source package (.dsc, orig and debian tarballs).

    apt fetches them with a private list of deb-src lines, so the signatures
    and hashes are checked as usual while the host's sources stay as they are.
    """

    def fetch(folder: Path) -> None:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            lines = []
            for suite in suites:
                mirror = "debian-security" if suite.endswith("-security") else "debian"
                lines.append(f"deb-src [signed-by={_ARCHIVE_KEYRING}] http://deb.debian.org/{mirror} {suite} main\n")
            options = _private_apt(Path(scratch), lines)
            print(f"== fetching the source package {package} {version}", flush=True)
            subprocess.run(["apt-get", "-qq", *options, "update"], check=True)
            subprocess.run(
                ["apt-get", "-qq", *options, "source", "--download-only", f"{package}={version}"],
                check=True,
                cwd=folder,
                stdout=subprocess.DEVNULL,
            )

    return cache.artefact(f"debsrc-{package}", [package, version, *suites], fetch)


def binary_root(architecture: str, packages: tuple[str, ...], suite: str = "bookworm") -> Path:
    """A folder with the given binary packages of another architecture unpacked
    into it (no maintainer scripts): enough of a root for qemu-user's -L."""

    def fetch(folder: Path) -> None:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            state = Path(scratch)
            line = f"deb [arch={architecture} signed-by={_ARCHIVE_KEYRING}] http://deb.debian.org/debian {suite} main\n"
            options = _private_apt(
                state, [line], "-o", f"APT::Architecture={architecture}", "-o", f"APT::Architectures::={architecture}"
            )
            print(f"== fetching {' '.join(packages)} for {architecture}", flush=True)
            subprocess.run(["apt-get", "-qq", *options, "update"], check=True)
            subprocess.run(
                ["apt-get", "-qq", *options, "download", *packages], check=True, cwd=state, stdout=subprocess.DEVNULL
            )
            for deb in sorted(state.glob("*.deb")):
                subprocess.run(["dpkg-deb", "-x", str(deb), str(folder)], check=True)

    return cache.artefact(f"debroot-{suite}-{architecture}", [suite, architecture, *packages], fetch)
