"""The wheel targets' cross toolchains: one CMake toolchain file per target
in cmake/toolchains/, each naming the zig target it compiles for."""

from __future__ import annotations

import os
from pathlib import Path

from tools import zig

ROOT = Path(__file__).resolve().parent.parent
TOOLCHAINS = ROOT / "cmake" / "toolchains"

# Build stamps inside libraries (OpenSSL's "built on" date) follow this.
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


def cache_inputs(target: str) -> list[str | bytes | Path]:
    """What every artefact built with a target's toolchain depends on."""
    return [zig.ZIG_VERSION, zig_target(target), toolchain_file(target), TOOLCHAINS / "zig.cmake"]


def build_environment() -> dict[str, str]:
    """The process environment for builds with zig (the toolchain files read $ZIG)."""
    return {**os.environ, **zig.environment(), "ZIG": str(zig.binary()), "SOURCE_DATE_EPOCH": SOURCE_DATE_EPOCH}


def jobs() -> str:
    # The build machine is shared; two jobs at most.
    return str(min(2, os.cpu_count() or 1))
