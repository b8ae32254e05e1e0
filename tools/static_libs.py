"""Static libraries built per wheel target with zig, each cached by its inputs.

libcrypto comes from Debian 13's source package of OpenSSL 3.5 LTS (the
upstream tarball as signed into the archive), configured down to what a
private, statically linked copy needs. GoogleTest, for the core suite on each
target, comes from the host's googletest package.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tarfile
import tempfile
from pathlib import Path

from tools import cache, debian, zig

ROOT = Path(__file__).resolve().parent.parent
TOOLCHAINS = ROOT / "cmake" / "toolchains"

OPENSSL_VERSION = "3.5.7"
OPENSSL_DEBIAN_VERSION = f"{OPENSSL_VERSION}-1~deb13u2"
# The archive this project can reach serves the trixie pool, not the security one.
OPENSSL_SUITES = ("trixie",)
OPENSSL_CONFIGURE = (
    "no-shared", "no-tests", "no-apps", "no-docs", "no-engine", "no-legacy", "no-module",
    # A private copy must not read whatever openssl.cnf the host has (or
    # $OPENSSL_CONF names): such a file can ask for providers this build cannot load.
    "no-autoload-config",
    "-fPIC",
)
# OpenSSL's own name for each zig target's platform.
_OPENSSL_PLATFORM = {"x86_64": "linux-x86_64", "aarch64": "linux-aarch64"}

# Build stamps inside the libraries (OpenSSL's "built on" date) follow this.
SOURCE_DATE_EPOCH = "1767225600"  # 2026-01-01


def toolchain_file(target: str) -> Path:
    """The CMake toolchain file of a wheel target such as musllinux_1_2_aarch64."""
    path = TOOLCHAINS / f"{target}.cmake"
    if not path.is_file():
        raise RuntimeError(f"no toolchain file for {target}")
    return path


def zig_target(target: str) -> str:
    for line in toolchain_file(target).read_text().splitlines():
        if line.startswith("set(QUOVEL_ZIG_TARGET "):
            return line.removeprefix("set(QUOVEL_ZIG_TARGET ").removesuffix(")")
    raise RuntimeError(f"{toolchain_file(target)} names no zig target")


def _toolchain_inputs(target: str) -> list[str | bytes | Path]:
    return [zig.ZIG_VERSION, zig_target(target), toolchain_file(target), TOOLCHAINS / "zig.cmake",
            Path(__file__)]


def build_environment() -> dict[str, str]:
    return {**os.environ, **zig.environment(), "ZIG": str(zig.binary()), "SOURCE_DATE_EPOCH": SOURCE_DATE_EPOCH}


def _jobs() -> str:
    # The build machine is shared; two jobs at most.
    return str(min(2, os.cpu_count() or 1))


def openssl(target: str) -> Path:
    """A prefix with include/openssl/ and lib/libcrypto.a for the target."""
    triple = zig_target(target)

    def build(folder: Path) -> None:
        sources = debian.source_package("openssl", OPENSSL_DEBIAN_VERSION, OPENSSL_SUITES)
        tarball = sources / f"openssl_{OPENSSL_VERSION}.orig.tar.gz"
        print(f"== building libcrypto {OPENSSL_VERSION} for {triple}", flush=True)
        with tempfile.TemporaryDirectory(dir=cache.root()) as scratch:
            with tarfile.open(tarball) as archive:
                archive.extractall(scratch, filter="tar")
            tree = Path(scratch) / f"openssl-{OPENSSL_VERSION}"
            zig_binary = str(zig.binary())
            environment = {
                **build_environment(),
                "CC": f"{zig_binary} cc -target {triple}",
                "AR": f"{zig_binary} ar",
                "RANLIB": f"{zig_binary} ranlib",
            }
            architecture = triple.partition("-")[0]
            log = folder / "build.log"
            with open(log, "w") as output:
                steps = [
                    ["perl", "Configure", _OPENSSL_PLATFORM[architecture], *OPENSSL_CONFIGURE],
                    ["make", f"-j{_jobs()}", "build_generated"],
                    ["make", f"-j{_jobs()}", "libcrypto.a"],
                ]
                for step in steps:
                    result = subprocess.run(step, cwd=tree, env=environment, stdout=output, stderr=subprocess.STDOUT)
                    if result.returncode != 0:
                        print(log.read_text()[-4000:])
                        raise subprocess.CalledProcessError(result.returncode, step)
            (folder / "lib").mkdir()
            shutil.copy2(tree / "libcrypto.a", folder / "lib" / "libcrypto.a")
            (folder / "include").mkdir()
            shutil.copytree(tree / "include" / "openssl", folder / "include" / "openssl")
            shutil.copy2(tree / "LICENSE.txt", folder / "LICENSE.txt")

    inputs = ["openssl", OPENSSL_DEBIAN_VERSION, *OPENSSL_CONFIGURE, SOURCE_DATE_EPOCH, *_toolchain_inputs(target)]
    return cache.artefact(f"libcrypto-{target}", inputs, build)


def cmake_tools() -> tuple[str, str]:
    """cmake and ninja from PATH, where the pinned build tools come first."""
    found = [shutil.which(name) for name in ("cmake", "ninja")]
    if None in found:
        raise RuntimeError("cmake and ninja must be on PATH (the wheel dependency group)")
    return str(found[0]), str(found[1])


def googletest(target: str) -> Path:
    """An install prefix of GoogleTest (without GoogleMock) built for the target."""
    debian.install("googletest")
    version = debian.installed_version("googletest")

    def build(folder: Path) -> None:
        cmake, ninja = cmake_tools()
        print(f"== building GoogleTest {version} for {zig_target(target)}", flush=True)
        with tempfile.TemporaryDirectory(dir=cache.root()) as scratch:
            subprocess.run(
                [cmake, "-S", "/usr/src/googletest", "-B", scratch, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                 f"-DCMAKE_TOOLCHAIN_FILE={toolchain_file(target)}", "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_GMOCK=OFF", "-DCMAKE_CXX_STANDARD=23", f"-DCMAKE_INSTALL_PREFIX={folder}"],
                check=True, env=build_environment(), stdout=subprocess.DEVNULL)
            subprocess.run([cmake, "--build", scratch, "-j", _jobs()], check=True, env=build_environment(),
                           stdout=subprocess.DEVNULL)
            subprocess.run([cmake, "--install", scratch], check=True, env=build_environment(),
                           stdout=subprocess.DEVNULL)

    return cache.artefact(f"googletest-{target}", ["googletest", version, *_toolchain_inputs(target)], build)
