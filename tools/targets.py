"""The wheel targets, one row each: everything the toolchain, libcrypto, the
wheel, its checks, the interpreters it is tested on and the nox sessions
derive from. A new target is one row here plus its CMake toolchain file in
cmake/toolchains/ (named after the tag, naming the row's zig triple).
"""

from __future__ import annotations

import dataclasses
import os
from pathlib import Path

from tools import zig

ROOT = Path(__file__).resolve().parent.parent
TOOLCHAINS = ROOT / "cmake" / "toolchains"

# Build stamps inside libraries (OpenSSL's "built on" date) follow this.
SOURCE_DATE_EPOCH = "1767225600"  # 2026-01-01
# qemu's default CPU model emulates pointer authentication, which Debian's
# arm64 binaries use on every call: about 19 times slower than this one.
QEMU_CPU = "cortex-a72"


@dataclasses.dataclass(frozen=True)
class Target:
    tag: str  # the wheel's platform tag
    zig: str  # zig's target triple (glibc with its version)
    libc: str  # "gnu" or "musl"
    arch: str  # "x86_64" or "aarch64"
    debian_arch: str  # Debian's name of the architecture
    openssl_platform: str  # OpenSSL's Configure target
    needed: frozenset[str]  # the shared libraries the extension may need at run time
    elf_machine: str  # e_machine of the extension, as pyelftools names it
    interpreters: tuple[str, ...]  # the CPython versions the wheel is tested on

    @property
    def platform(self) -> str:
        """The platform's name in test runs: glibc-x86_64, musl-aarch64."""
        return f"{'glibc' if self.libc == 'gnu' else 'musl'}-{self.arch}"

    @property
    def emulated(self) -> bool:
        return self.arch != os.uname().machine

    @property
    def toolchain_file(self) -> Path:
        return TOOLCHAINS / f"{self.tag}.cmake"

    def qemu(self) -> list[str]:
        """The command prefix that runs the target's executables here (empty when native)."""
        return ["qemu-aarch64-static", "-cpu", QEMU_CPU] if self.emulated else []

    def pip_platforms(self, glibc: str = "2_36") -> list[str]:
        """pip's --platform tags for an interpreter of this platform (with that glibc), best first."""
        if self.libc == "musl":
            return [f"musllinux_1_{minor}_{self.arch}" for minor in (2, 1)]
        major, minor = (int(part) for part in glibc.split("_"))
        tags = [f"manylinux_{major}_{m}_{self.arch}" for m in range(minor, 16, -1)]
        return tags + [f"manylinux2014_{self.arch}"]


# Before glibc 2.34 threads and dlopen lived in their own libraries, and zig
# links against 2.28's.
_GLIBC_2_28 = frozenset({"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2"})

TARGETS: tuple[Target, ...] = (
    Target(
        tag="manylinux_2_28_x86_64",
        zig="x86_64-linux-gnu.2.28",
        libc="gnu",
        arch="x86_64",
        debian_arch="amd64",
        openssl_platform="linux-x86_64",
        needed=_GLIBC_2_28 | {"ld-linux-x86-64.so.2"},
        elf_machine="EM_X86_64",
        interpreters=("3.12", "3.13", "3.14"),
    ),
    Target(
        tag="manylinux_2_28_aarch64",
        zig="aarch64-linux-gnu.2.28",
        libc="gnu",
        arch="aarch64",
        debian_arch="arm64",
        openssl_platform="linux-aarch64",
        needed=_GLIBC_2_28 | {"ld-linux-aarch64.so.1"},
        elf_machine="EM_AARCH64",
        interpreters=("3.13", "3.14"),
    ),
    Target(
        tag="musllinux_1_2_x86_64",
        zig="x86_64-linux-musl",
        libc="musl",
        arch="x86_64",
        debian_arch="amd64",
        openssl_platform="linux-x86_64",
        needed=frozenset({"libc.musl-x86_64.so.1"}),
        elf_machine="EM_X86_64",
        interpreters=("3.13",),
    ),
    Target(
        tag="musllinux_1_2_aarch64",
        zig="aarch64-linux-musl",
        libc="musl",
        arch="aarch64",
        debian_arch="arm64",
        openssl_platform="linux-aarch64",
        needed=frozenset({"libc.musl-aarch64.so.1"}),
        elf_machine="EM_AARCH64",
        interpreters=("3.13",),
    ),
)
TAGS = tuple(target.tag for target in TARGETS)
PLATFORMS = {target.platform: target for target in TARGETS}
# (platform, version): every interpreter the wheels are tested on.
INTERPRETERS = tuple((target.platform, version) for target in TARGETS for version in target.interpreters)


def get(tag: str) -> Target:
    for target in TARGETS:
        if target.tag == tag:
            return target
    raise RuntimeError(f"unknown target {tag!r}; known: {', '.join(TAGS)}")


def cache_inputs(target: Target) -> list[str | bytes | Path]:
    """What every artefact built with a target's CMake toolchain depends on."""
    return [zig.ZIG_VERSION, target.zig, target.toolchain_file, TOOLCHAINS / "zig.cmake"]


def build_environment() -> dict[str, str]:
    """The process environment for builds with zig (the toolchain files read $ZIG)."""
    return {**os.environ, **zig.environment(), "ZIG": str(zig.binary()), "SOURCE_DATE_EPOCH": SOURCE_DATE_EPOCH}
