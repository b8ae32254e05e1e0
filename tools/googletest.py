"""GoogleTest built per wheel target with zig, for the core's suite on each
target; the source is the host's googletest package. Cached by its version,
the toolchain and this file."""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

from tools import cache, debian, targets


def prefix(target: str, cmake: Path, ninja: Path) -> Path:
    """An install prefix of GoogleTest (without GoogleMock) for the target,
    built with the given cmake and ninja."""
    debian.install("googletest")
    version = debian.installed_version("googletest")

    def build(folder: Path) -> None:
        print(f"== building GoogleTest {version} for {targets.zig_target(target)}", flush=True)
        environment = targets.build_environment()
        # Inside the artefact's folder, so that an interrupted build leaves nothing behind.
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            steps = [
                [
                    str(cmake),
                    "-S",
                    "/usr/src/googletest",
                    "-B",
                    scratch,
                    "-G",
                    "Ninja",
                    f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    f"-DCMAKE_TOOLCHAIN_FILE={targets.toolchain_file(target)}",
                    "-DCMAKE_BUILD_TYPE=Release",
                    "-DBUILD_GMOCK=OFF",
                    "-DCMAKE_CXX_STANDARD=23",
                    f"-DCMAKE_INSTALL_PREFIX={folder}",
                ],
                [str(cmake), "--build", scratch, "-j", targets.jobs()],
                [str(cmake), "--install", scratch],
            ]
            for step in steps:
                subprocess.run(step, check=True, env=environment, stdout=subprocess.DEVNULL)

    return cache.artefact(
        f"googletest-{target}", ["googletest", version, *targets.cache_inputs(target), Path(__file__)], build
    )
