"""The pinned cross toolchain: zig from PyPI's `ziglang`, cached once.

zig cc / zig c++ compile for every wheel target from this one x86_64 host,
with their own libc headers (glibc at a chosen version, musl) and libc++.
Its global cache (libc, libc++ and libunwind per target, built on first
use) is kept beside it, so a warm run compiles in seconds.
"""

from __future__ import annotations

from pathlib import Path

from tools import cache, host

ZIG_VERSION = "0.17.1"


def _install(folder: Path) -> None:
    host.pip("install", "--no-deps", "--target", folder / "site", f"ziglang=={ZIG_VERSION}")


def home() -> Path:
    """The folder holding the zig binary, installed on first use."""
    return cache.artefact(f"zig-{ZIG_VERSION}", [ZIG_VERSION], _install) / "site" / "ziglang"


def binary() -> Path:
    return home() / "zig"


def global_cache() -> Path:
    """ZIG_GLOBAL_CACHE_DIR: shared by every build that uses this zig."""
    path = cache.root() / f"zig-global-cache-{ZIG_VERSION}"
    path.mkdir(parents=True, exist_ok=True)
    return path


def environment() -> dict[str, str]:
    """Variables to add to a process that runs zig."""
    return {"ZIG_GLOBAL_CACHE_DIR": str(global_cache()), "ZIG_LOCAL_CACHE_DIR": str(global_cache())}
