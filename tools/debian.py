"""Everything taken from Debian's archive: the host's packages, listed once
here by job, and, through a private apt configuration, packages and source
packages of other suites and architectures, and minimal root file systems.

The private configuration has its own lists, cache and empty package
status, and debootstrap only fetches and unpacks, so the host's apt setup
is neither read for packages nor changed. Both use the mirror the host's
apt already uses.
"""

from __future__ import annotations

import functools
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

from tools import cache, host

# The host packages each job needs (Debian names), each package listed once;
# a session installs those of its jobs that are missing.
PACKAGES = {
    "core": ["g++", "libssl-dev", "libgtest-dev", "libgmock-dev", "pkg-config"],
    "fuzz": ["clang-19", "libclang-rt-19-dev"],
    "coverage": ["llvm-19"],
    "bench": ["libbenchmark-dev"],
    # Instruction counts of the hot paths (callgrind).
    "instructions": ["valgrind"],
    # The MQTT bridge's tests run against a real broker.
    "mqtt": ["mosquitto"],
    # Cross builds: OpenSSL's Configure (perl, with modules beyond perl-base),
    # GoogleTest's sources, qemu for aarch64 executables.
    "cross": ["perl", "make", "googletest", "qemu-user-static"],
    # Interpreters of every platform: roots, and musl CPython with its libraries.
    "platforms": [
        "debootstrap",
        "patchelf",
        "tcl",
        "autoconf",
        "automake",
        "libtool",
        "libltdl-dev",  # LT_SYS_SYMBOL_USCORE, which libffi's autoreconf needs
        "xz-utils",
    ],
}
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
PACKAGES_LIST = "debootstrap-packages.txt"  # the .debs a root was made from
_HOST_SOURCES = ("/etc/apt/sources.list.d/debian.sources", "/etc/apt/sources.list")


def _installed(package: str) -> bool:
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package], capture_output=True, text=True).stdout
    return status == "install ok installed"


def install(*jobs: str) -> None:
    """Installs the host packages of these jobs that are missing; no-op when all are there."""
    missing = sorted({package for job in jobs for package in PACKAGES[job] if not _installed(package)})
    if not missing:
        return
    # Sessions run side by side: one apt at a time, the others wait for it
    # (dpkg's own lock would fail them instead).
    with cache.locked(cache.root() / ".apt.lock"):
        missing = [package for package in missing if not _installed(package)]
        if not missing:
            return
        print(f"== installing system packages: {' '.join(missing)}", flush=True)
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        environment = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
        host.run([*sudo, "apt-get", "update", "-qq"], env=environment)
        host.run(
            [*sudo, "apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing], env=environment, quiet=True
        )


def installed_version(package: str) -> str:
    return host.run(["dpkg-query", "-W", "-f=${Version}", package], capture=True)


@functools.cache
def mirror() -> str:
    """The archive URI the host's apt is configured with (Debian's own where
    there is no apt)."""
    for name in _HOST_SOURCES:
        path = Path(name)
        if not path.exists():
            continue
        text = path.read_text(encoding="utf-8")
        for match in re.finditer(r"^(?:URIs:\s*|deb\s+(?:\[[^]]*\]\s+)?)(\S+)", text, re.MULTILINE):
            uri = match.group(1)
            if "security" not in uri:
                return uri.rstrip("/")
    if Path("/etc/apt").exists():
        raise RuntimeError("no Debian mirror found in the host's apt sources")
    return "https://deb.debian.org/debian"


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
            # The unprivileged download user cannot write into this state.
            "-o",
            "APT::Sandbox::User=root",
        ]
        host.run(["apt-get", "-qq", *self.options, "update"])

    def download(self, packages: list[str], into: Path) -> list[Path]:
        """The binary packages' .debs, downloaded into `into`."""
        into.mkdir(parents=True, exist_ok=True)
        host.run(["apt-get", "-qq", *self.options, "download", *packages], cwd=into, quiet=True)
        return [deb for package in packages for deb in sorted(into.glob(f"{package}_*.deb"))]

    def source_versions(self, package: str) -> list[str]:
        """The source package's versions in this suite, newest first (empty if it has none)."""
        result = subprocess.run(
            ["apt-cache", *self.options, "showsrc", "--only-source", package],
            capture_output=True,
            text=True,
            check=False,
        )
        versions = re.findall(r"^Version:\s*(\S+)", result.stdout, re.MULTILINE)
        return sorted(set(versions), key=functools.cmp_to_key(compare_versions), reverse=True)

    def source(self, package: str, into: Path, version: str | None = None) -> list[Path]:
        """The source package's files (.dsc and tarballs), downloaded, not unpacked.

        Without a version, the newest the suite lists; as an index can list a
        version whose files the mirror no longer holds, the older versions
        listed are tried in turn.
        """
        for candidate in [version] if version else self.source_versions(package):
            folder = into / candidate
            folder.mkdir(parents=True, exist_ok=True)
            fetched = subprocess.run(
                [
                    "apt-get",
                    "-qq",
                    *self.options,
                    "source",
                    "--download-only",
                    "--only-source",
                    f"{package}={candidate}",
                ],
                cwd=folder,
                stdout=subprocess.DEVNULL,
                check=False,
            )
            if fetched.returncode == 0:
                print(f"source {package} {candidate}", flush=True)
                return sorted(folder.iterdir())
            shutil.rmtree(folder)
        raise RuntimeError(f"no source package {package}{f' {version}' if version else ''} could be fetched")


def compare_versions(a: str, b: str) -> int:
    if subprocess.run(["dpkg", "--compare-versions", a, "gt", b], check=False).returncode == 0:
        return 1
    return 0 if a == b else -1


def unpack_deb(deb: Path, into: Path) -> None:
    host.run(["dpkg-deb", "-x", deb, into])


def source_package(package: str, version: str, suites: tuple[str, ...]) -> Path:
    """A cached folder with the files of a source package (.dsc, orig and debian
    tarballs), from the first of the suites that has that version; apt checks
    their signatures and hashes as usual."""

    def fetch(folder: Path) -> None:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            for suite in suites:
                apt = Apt(Path(scratch) / suite, suite, "amd64")
                try:
                    files = apt.source(package, Path(scratch) / "files", version)
                except RuntimeError:
                    continue
                for file in files:
                    shutil.move(file, folder / file.name)
                return
        raise RuntimeError(f"no source package {package} {version} in {', '.join(suites)}")

    return cache.artefact(f"debsrc-{package}", [package, version, *suites], fetch)


def binary_root(architecture: str, packages: tuple[str, ...], suite: str = "bookworm") -> Path:
    """A folder with the given binary packages of another architecture unpacked
    into it (no maintainer scripts): enough of a root for qemu-user's -L."""

    def fetch(folder: Path) -> None:
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            apt = Apt(Path(scratch) / "apt", suite, architecture)
            for deb in apt.download(list(packages), Path(scratch) / "debs"):
                unpack_deb(deb, folder)

    return cache.artefact(f"debroot-{suite}-{architecture}", [suite, architecture, *packages], fetch)


def root_file_system(folder: Path, suite: str, arch: str, packages: list[str]) -> None:
    """A minimal Debian root in `folder` holding `packages` and what they depend on.

    The first stage of debootstrap only fetches and unpacks, so a foreign
    architecture needs no emulator registered; the packages' maintainer
    scripts never run, which interpreters do not need.
    """
    host.run(
        [
            "debootstrap",
            "--foreign",
            f"--arch={arch}",
            "--variant=minbase",
            f"--include={','.join(packages)}",
            suite,
            folder,
            mirror(),
        ],
        quiet=True,
    )
    # The first stage leaves the included packages as .debs for the second.
    debs = sorted((folder / "var/cache/apt/archives").glob("*.deb"))
    for deb in debs:
        unpack_deb(deb, folder)
        deb.unlink()
    (folder / PACKAGES_LIST).write_text("\n".join(deb.name for deb in debs) + "\n", encoding="utf-8")
    shutil.rmtree(folder / "debootstrap", ignore_errors=True)
