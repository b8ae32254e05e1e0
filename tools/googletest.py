"""GoogleTest built per wheel target with zig, for the core's suite on each
target; the source is the host's googletest package. Cached by its version,
the toolchain and the build below."""

from __future__ import annotations

import tempfile
from pathlib import Path

from tools import cache, debian, host, targets


def _build(folder: Path, target: targets.Target, cmake: Path, ninja: Path) -> None:
    # Inside the artefact's folder, so that an interrupted build leaves nothing behind.
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        configure: list[str | Path] = [
            cmake,
            "-S",
            "/usr/src/googletest",
            "-B",
            scratch,
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={ninja}",
            f"-DCMAKE_TOOLCHAIN_FILE={target.toolchain_file}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DBUILD_GMOCK=OFF",
            "-DCMAKE_CXX_STANDARD=23",
            f"-DCMAKE_INSTALL_PREFIX={folder}",
        ]
        build: list[str | Path] = [cmake, "--build", scratch, "-j", str(host.jobs())]
        install: list[str | Path] = [cmake, "--install", scratch]
        for step in (configure, build, install):
            host.run(step, env=targets.build_environment(), quiet=True)


def prefix(target: targets.Target, cmake: Path, ninja: Path) -> Path:
    """An install prefix of GoogleTest (without GoogleMock) for the target,
    built with the given cmake and ninja."""
    debian.install("cross")
    version = debian.installed_version("googletest")

    def build(folder: Path) -> None:
        print(f"== building GoogleTest {version} for {target.zig}", flush=True)
        _build(folder, target, cmake, ninja)

    inputs = ["googletest", version, *targets.cache_inputs(target), cache.recipe(_build)]
    return cache.artefact(f"googletest-{target.tag}", inputs, build)
