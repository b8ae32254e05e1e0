"""Debian's archive as a source of interpreters, loaders and upstream tarballs.

Everything goes through a private apt configuration (its own lists, cache and
empty package status) or debootstrap, so the host's apt setup is neither read
for packages nor changed. The mirror is the one the host's apt already uses.
"""

from __future__ import annotations

import functools
import re
import shutil
import subprocess
from pathlib import Path

KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
PACKAGES_LIST = "debootstrap-packages.txt"  # the .debs a root was made from
DEFAULT_MIRROR_FILES = ("/etc/apt/sources.list.d/debian.sources", "/etc/apt/sources.list")


def mirror() -> str:
    """The archive URI the host's apt is configured with."""
    for name in DEFAULT_MIRROR_FILES:
        path = Path(name)
        if not path.exists():
            continue
        text = path.read_text(encoding="utf-8")
        for match in re.finditer(r"^(?:URIs:\s*|deb\s+(?:\[[^]]*\]\s+)?)(\S+)", text, re.MULTILINE):
            uri = match.group(1)
            if "security" not in uri:
                return uri.rstrip("/")
    raise RuntimeError("no Debian mirror found in the host's apt sources")


def run(command: list[str], **kwargs: object) -> subprocess.CompletedProcess[str]:
    print("+", " ".join(command), flush=True)
    return subprocess.run(command, check=True, text=True, **kwargs)  # type: ignore[call-overload, no-any-return]


class Apt:
    """apt-get against one suite and architecture, with state of its own under `folder`."""

    def __init__(self, folder: Path, suite: str, arch: str) -> None:
        self.folder = folder
        for sub in ("lists/partial", "archives/partial", "etc/preferences.d", "etc/apt.conf.d"):
            (folder / sub).mkdir(parents=True, exist_ok=True)
        (folder / "status").touch()
        source = f"[arch={arch} signed-by={KEYRING}] {mirror()} {suite} main"
        (folder / "etc/sources.list").write_text(f"deb {source}\ndeb-src {source}\n", encoding="utf-8")
        self.options = [
            "-o",
            f"Dir::Etc::SourceList={folder / 'etc/sources.list'}",
            "-o",
            "Dir::Etc::SourceParts=/nonexistent",
            "-o",
            f"Dir::Etc::PreferencesParts={folder / 'etc/preferences.d'}",
            "-o",
            f"Dir::Etc::Parts={folder / 'etc/apt.conf.d'}",
            "-o",
            f"Dir::State::Lists={folder / 'lists'}",
            "-o",
            f"Dir::State::status={folder / 'status'}",
            "-o",
            f"Dir::Cache::Archives={folder / 'archives'}",
            "-o",
            f"Dir::Cache::pkgcache={folder / 'pkgcache.bin'}",
            "-o",
            f"Dir::Cache::srcpkgcache={folder / 'srcpkgcache.bin'}",
            "-o",
            f"APT::Architecture={arch}",
            "-o",
            f"APT::Architectures={arch}",
            "-o",
            "Debug::NoLocking=1",
            "-o",
            "APT::Sandbox::User=root",
        ]
        run(["apt-get", "-qq", *self.options, "update"])

    def download(self, package: str, into: Path) -> Path:
        """The binary package's .deb, downloaded into `into`."""
        into.mkdir(parents=True, exist_ok=True)
        run(["apt-get", "-qq", *self.options, "download", package], cwd=into)
        (deb,) = into.glob(f"{package}_*.deb")
        return deb

    def source_versions(self, package: str) -> list[str]:
        """The source package's versions in this suite, newest first (empty if it has none)."""
        result = subprocess.run(
            ["apt-cache", *self.options, "showsrc", "--only-source", package],
            capture_output=True,
            text=True,
            check=False,
        )
        versions = re.findall(r"^Version:\s*(\S+)", result.stdout, re.MULTILINE)
        return sorted(set(versions), key=functools.cmp_to_key(_compare_versions), reverse=True)

    def source(self, package: str, into: Path) -> list[Path]:
        """The source package's files (.dsc and tarballs), downloaded, not unpacked.

        An index can list a version whose files the mirror no longer holds:
        the older versions listed are tried in turn.
        """
        for version in self.source_versions(package):
            folder = into / version
            folder.mkdir(parents=True, exist_ok=True)
            fetched = subprocess.run(
                ["apt-get", "-qq", *self.options, "source", "--download-only", "--only-source", f"{package}={version}"],
                cwd=folder,
                check=False,
            )
            if fetched.returncode == 0:
                print(f"source {package} {version}", flush=True)
                return sorted(folder.iterdir())
            shutil.rmtree(folder)
        raise RuntimeError(f"no source package {package} could be fetched")


def _compare_versions(a: str, b: str) -> int:
    if subprocess.run(["dpkg", "--compare-versions", a, "gt", b], check=False).returncode == 0:
        return 1
    return 0 if a == b else -1


def unpack_deb(deb: Path, into: Path) -> None:
    run(["dpkg-deb", "-x", str(deb), str(into)])


def root_file_system(folder: Path, suite: str, arch: str, packages: list[str]) -> None:
    """A minimal Debian root in `folder` holding `packages` and what they depend on.

    The first stage of debootstrap only fetches and unpacks, so a foreign
    architecture needs no emulator registered; the packages' maintainer
    scripts never run, which interpreters do not need.
    """
    run(
        [
            "debootstrap",
            "--foreign",
            f"--arch={arch}",
            "--variant=minbase",
            f"--include={','.join(packages)}",
            suite,
            str(folder),
            mirror(),
        ],
        stdout=subprocess.DEVNULL,
    )
    # The first stage leaves the included packages as .debs for the second.
    debs = sorted((folder / "var/cache/apt/archives").glob("*.deb"))
    for deb in debs:
        unpack_deb(deb, folder)
        deb.unlink()
    (folder / PACKAGES_LIST).write_text("\n".join(deb.name for deb in debs) + "\n", encoding="utf-8")
    shutil.rmtree(folder / "debootstrap", ignore_errors=True)
