"""The distribution: the sdist and one cp312-abi3 wheel per Linux target,
cross-built from this one x86_64 host with zig, plus the core's GoogleTest
suite per target (natively, or under qemu-user for aarch64).

Each wheel is built from the sdist, as an index would, with libcrypto of
OpenSSL 3.5 linked in privately, then checked: the tag auditwheel derives
agrees with the target, the stable ABI audit is clean, the extension needs
nothing but libc (and libm) at run time and exports only its init function,
and the wheel records which OpenSSL it embeds.
"""

from __future__ import annotations

import functools
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile
from pathlib import Path
from typing import Any

from tools import cache, debian, googletest, host, openssl, project, targets
from tools.targets import Target

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "wheels"
TOOLS_VENV = ROOT / ".venv" / "wheel-tools"


def _log(message: str) -> None:
    print(f"== {message}", flush=True)


# --- the pinned build tools ---------------------------------------------------


def _has_pins(python: Path, pins: list[str]) -> bool:
    probe = (
        "import importlib.metadata as m, json, sys\n"
        "def ok(pin):\n"
        "    name, _, version = pin.partition('==')\n"
        "    try: return m.version(name) == version\n"
        "    except m.PackageNotFoundError: return False\n"
        "sys.exit(0 if all(ok(p) for p in json.loads(sys.argv[1])) else 1)\n"
    )
    return subprocess.run([str(python), "-c", probe, json.dumps(pins)]).returncode == 0


@functools.cache
def tools_bin() -> Path:
    """The folder holding the pinned build tools: the running environment's when
    it has the `wheel` dependency group installed, else a private one."""
    pins = project.dependency_group("wheel")
    if sys.version_info >= (3, 12) and _has_pins(Path(sys.executable), pins):
        return Path(sys.executable).parent
    python = TOOLS_VENV / "bin" / "python"
    if python.exists() and _has_pins(python, pins):
        return TOOLS_VENV / "bin"
    TOOLS_VENV.parent.mkdir(parents=True, exist_ok=True)
    # Sessions running side by side would build it twice at once.
    with cache.locked(TOOLS_VENV.parent / ".wheel-tools.lock"):
        if not (python.exists() and _has_pins(python, pins)):
            _log(f"installing the wheel build tools into {TOOLS_VENV}")
            # CPython 3.12 or later: the stable-ABI headers of 3.12 are what the wheel promises.
            found = host.pythons()
            if not found:
                raise RuntimeError("building the wheels needs CPython 3.12 or later")
            host.run([next(iter(found.values())), "-m", "venv", "--clear", TOOLS_VENV], quiet=True)
            host.pip("install", *pins, python=python)
    return TOOLS_VENV / "bin"


def _environment(**extra: str) -> dict[str, str]:
    bindir = tools_bin()
    environment = targets.build_environment()
    environment["PATH"] = f"{bindir}{os.pathsep}{environment.get('PATH', '')}"
    # Byte-code files are not part of the build; stray caches must not change it.
    environment["PYTHONDONTWRITEBYTECODE"] = "1"
    environment["SOURCE_DATE_EPOCH"] = _source_date_epoch()
    environment.update(extra)
    return environment


def _source_date_epoch() -> str:
    """The time of the commit being built, so that rebuilding it gives the same files."""
    result = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%ct"], capture_output=True, text=True)
    stamp = result.stdout.strip()
    return stamp if result.returncode == 0 and stamp else targets.SOURCE_DATE_EPOCH


def sdist_epoch(sdist: Path) -> str:
    """The timestamp the sdist was made with: its wheels reuse it, so that a
    commit made meanwhile cannot change them."""
    with tarfile.open(sdist) as archive:
        info = next(member for member in archive.getmembers() if member.name.endswith("/PKG-INFO"))
    return str(int(info.mtime))


# --- sdist ----------------------------------------------------------------------

_SDIST_MUST_HOLD = (
    "PKG-INFO",
    "pyproject.toml",
    "CMakeLists.txt",
    "core/CMakeLists.txt",
    "binding/CMakeLists.txt",
    "binding/exports.map",
    "src/quovel-stubs/__init__.pyi",
)


def _version(version: str | None) -> dict[str, str]:
    """The build environment's version override: what a tag `v<version>` would give."""
    return {"SETUPTOOLS_SCM_PRETEND_VERSION": version} if version else {}


def build_sdist(out: Path, version: str | None = None) -> Path:
    """Builds and checks the sdist into `out` (as version `version` if given); returns its path."""
    out.mkdir(parents=True, exist_ok=True)
    environment = _environment(**_version(version))
    _log("building the sdist")
    before = set(out.glob("quovel-*.tar.gz"))
    for stale in before:
        stale.unlink()
    host.run(
        [tools_bin() / "python", "-m", "build", "--sdist", "--no-isolation", "--outdir", out, ROOT],
        env=environment,
        log=WORK / "logs" / "sdist.log",
    )
    (sdist,) = out.glob("quovel-*.tar.gz")
    with tarfile.open(sdist) as archive:
        names = archive.getnames()
    top = names[0].split("/")[0]
    inside = {name.removeprefix(f"{top}/") for name in names}
    missing = [name for name in _SDIST_MUST_HOLD if name not in inside]
    strays = sorted(name for name in inside if name.split("/")[0] in {"build", ".venv", ".git"})
    if missing or strays:
        raise RuntimeError(f"{sdist.name}: missing {missing}, should not hold {strays[:5]}")
    _log(f"sdist {sdist.name}: {sdist.stat().st_size} bytes")
    return sdist


def _sync_tree(sdist: Path, tree: Path) -> Path:
    """Unpacks the sdist over the previous unpacking, rewriting only files whose
    contents changed: the sdist's fixed timestamps would otherwise hide edits
    from an incremental build, or force a full one."""
    with tarfile.open(sdist) as archive:
        members = [member for member in archive.getmembers() if member.isfile()]
        wanted: dict[Path, bytes] = {}
        for member in members:
            relative = Path(*Path(member.name).parts[1:])
            handle = archive.extractfile(member)
            assert handle is not None
            wanted[relative] = handle.read()
    for relative, data in wanted.items():
        path = tree / relative
        if not path.exists() or path.read_bytes() != data:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data)
    for path in sorted(tree.rglob("*"), reverse=True):
        if path.is_file() and path.relative_to(tree) not in wanted:
            path.unlink()
    return tree


# --- wheels ---------------------------------------------------------------------

_INSPECT_ELF = """
import json, sys
from elftools.elf.elffile import ELFFile
from elftools.elf.dynamic import DynamicSection
with open(sys.argv[1], "rb") as handle:
    elf = ELFFile(handle)
    needed = [tag.needed for section in elf.iter_sections() if isinstance(section, DynamicSection)
              for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]
    dynsym = elf.get_section_by_name(".dynsym")
    exported = sorted(symbol.name for symbol in dynsym.iter_symbols()
                      if symbol["st_shndx"] != "SHN_UNDEF" and symbol.name
                      and symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
    print(json.dumps({"machine": elf["e_machine"], "needed": needed, "exported": exported}))
"""


def inspect_extension(path: Path) -> dict[str, Any]:
    """Machine, NEEDED entries and exported symbols of an ELF file (any architecture)."""
    output = host.run([tools_bin() / "python", "-c", _INSPECT_ELF, path], env=_environment(), capture=True)
    result: dict[str, Any] = json.loads(output)
    return result


def needed_problems(target: Target, needed: list[str]) -> list[str]:
    """What is wrong with an extension's NEEDED entries for the target, if anything."""
    problems = [f"needs {name}" for name in needed if name not in target.needed]
    # A musl extension that names no libc at all would not load on Alpine.
    if target.libc == "musl" and not target.needed & set(needed):
        problems.append(f"does not name musl's {' or '.join(sorted(target.needed))}")
    return problems


def audited_tag(show_output: str) -> str:
    """The platform tag `auditwheel show` says the wheel is consistent with."""
    marker = "consistent with the following platform tag:"
    text = " ".join(show_output.split())
    if marker not in text:
        raise RuntimeError(f"unexpected auditwheel show output:\n{show_output}")
    return text.split(marker, 1)[1].split('"')[1]


def _policy_rank(tag: str) -> tuple[int, int]:
    """(major, minor) of a manylinux or musllinux tag."""
    parts = tag.split("_")
    return int(parts[1]), int(parts[2])


def tag_problems(target: Target, audited: str) -> list[str]:
    """A wheel may claim its audited tag or a newer one of the same libc and
    architecture, never an older one (that would promise too old a libc)."""
    family = target.tag.split("_")[0]
    if audited.split("_")[0] != family or not audited.endswith(target.arch):
        return [f"auditwheel sees {audited}, not a {family} {target.arch} wheel"]
    if _policy_rank(audited) > _policy_rank(target.tag):
        return [f"needs {audited}, newer than its tag {target.tag}"]
    return []


def check_wheel(target: Target, wheel: Path) -> dict[str, Any]:
    """Every check a distributed wheel must pass; returns what was measured."""
    environment = _environment()
    bindir = tools_bin()
    problems: list[str] = []
    expected_name_end = f"-cp312-abi3-{target.tag}.whl"
    if not wheel.name.endswith(expected_name_end):
        problems.append(f"file name does not end in {expected_name_end}")

    audited = audited_tag(host.run([bindir / "auditwheel", "show", wheel], env=environment, capture=True))
    problems += tag_problems(target, audited)
    abi3_output = host.run(
        [bindir / "abi3audit", "--strict", "--summary", wheel], env={**environment, "COLUMNS": "200"}, capture=True
    )
    abi3 = " ".join(abi3_output.split()).partition(f"{wheel.name}: ")[2]
    if "0 ABI version mismatches and 0 ABI violations" not in abi3:
        problems.append(f"abi3audit: {abi3}")

    scratch = WORK / "inspect" / target.tag
    shutil.rmtree(scratch, ignore_errors=True)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        extensions = [name for name in names if name.endswith(".abi3.so")]
        if len(extensions) != 1:
            raise RuntimeError(f"{wheel.name}: holds {len(extensions)} stable-ABI extensions, not 1")
        archive.extract(extensions[0], scratch)
        notes = [name for name in names if name.endswith(".dist-info/licenses/OpenSSL.txt")]
        openssl_note = archive.read(notes[0]).decode() if notes else "nothing"
    elf = inspect_extension(scratch / extensions[0])
    needed: list[str] = elf["needed"]
    problems += needed_problems(target, needed)
    if elf["machine"] != target.elf_machine:
        problems.append(f"is built for {elf['machine']}")
    if elf["exported"] != ["PyInit_quovel"]:
        problems.append(f"exports {elf['exported'][:8]}")
    if f"OpenSSL {openssl.VERSION} " not in openssl_note:
        problems.append(f"records {openssl_note.strip()!r}, not OpenSSL {openssl.VERSION}")
    if problems:
        raise RuntimeError(f"{wheel.name}: " + "; ".join(problems))
    return {
        "wheel": wheel.name,
        "size": wheel.stat().st_size,
        "sha256": hashlib.sha256(wheel.read_bytes()).hexdigest(),
        "auditwheel": audited,
        "abi3audit": abi3,
        "needed": needed,
    }


def _openssl_defines(libcrypto: Path) -> list[str]:
    # Named outright, so that a build folder configured against an older
    # cached libcrypto cannot keep pointing at it.
    return [
        f"OPENSSL_ROOT_DIR={libcrypto}",
        f"OPENSSL_INCLUDE_DIR={libcrypto / 'include'}",
        f"OPENSSL_CRYPTO_LIBRARY={libcrypto / 'lib' / 'libcrypto.a'}",
        "QUOVEL_STATIC_OPENSSL=ON",
    ]


def compile_wheel(target: Target, tree: Path, work: Path, epoch: str, version: str | None = None) -> Path:
    """Builds the target's wheel from a source tree (an unpacked sdist, or the
    checkout) into work/raw, with the build folder work/cmake kept for
    incremental rebuilds; returns it unchecked."""
    libcrypto = openssl.prefix(target)
    raw = work / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    environment = _environment(
        CMAKE_TOOLCHAIN_FILE=str(target.toolchain_file),
        # The platform part of the wheel's tag when cross-compiling: the
        # target's tag itself. auditwheel repair cannot set it (it offers
        # only the host's architecture and libc), and with libcrypto and
        # libc++ linked in there is nothing to graft; `auditwheel show`
        # checks the tag instead.
        _PYTHON_HOST_PLATFORM=target.tag,
        # No build paths in the binary, so that where it was built does not matter.
        CFLAGS=f"-ffile-prefix-map={tree}=quovel",
        CXXFLAGS=f"-ffile-prefix-map={tree}=quovel",
        SOURCE_DATE_EPOCH=epoch,
        **_version(version),
    )
    host.run(
        [
            tools_bin() / "python",
            "-m",
            "build",
            "--wheel",
            "--no-isolation",
            "--outdir",
            raw,
            f"-Cbuild-dir={work / 'cmake'}",
            *(f"-Ccmake.define.{define}" for define in _openssl_defines(libcrypto)),
            # Stripped by the linker, not by whichever strip the host has.
            "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all",
            "-Cinstall.strip=false",
            "-Cbuild.verbose=true",
            tree,
        ],
        env=environment,
        log=work / "build.log",
    )
    (wheel,) = raw.glob("quovel-*.whl")
    return wheel


def build_wheel(
    target: Target, out: Path, sdist: Path | None = None, work: Path | None = None, version: str | None = None
) -> Path:
    """Builds the target's wheel from the sdist (built first unless given),
    tagged for the target, checks it, and puts it in `out`. The build folder (`work`,
    build/wheels/<target> by default) is kept for incremental rebuilds."""
    debian.install("cross")
    started = time.monotonic()
    out.mkdir(parents=True, exist_ok=True)
    work = work or WORK / target.tag
    if sdist is None:
        # One per target: wheels may be built side by side.
        sdist = build_sdist(work / "sdist", version)
    tree = _sync_tree(sdist, work / "src")
    _log(f"building the {target.tag} wheel")
    wheel = compile_wheel(target, tree, work, sdist_epoch(sdist), version)
    measured = check_wheel(target, wheel)
    for stale in out.glob(f"quovel-*-{target.tag}.whl"):
        stale.unlink()
    final = Path(shutil.copy2(wheel, out / wheel.name))
    measured["seconds"] = round(time.monotonic() - started, 1)
    (work / "measured.json").write_text(json.dumps(measured, indent=2))
    _log(
        f"{final.name}: {measured['size']} bytes, auditwheel {measured['auditwheel']}, "
        f"NEEDED {' '.join(measured['needed'])}, abi3audit: {measured['abi3audit']}, {measured['seconds']} s"
    )
    return final


def built(dist: Path, target: Target) -> Path:
    """The target's wheel in `dist`."""
    found = sorted(dist.glob(f"quovel-*-cp312-abi3-{target.tag}.whl"))
    if not found:
        raise RuntimeError(f"no {target.tag} wheel in {dist}: run nox -s 'wheel(target=\"{target.tag}\")' first")
    return found[-1]


# --- the core's C++ suite per target ----------------------------------------------


def core_tests(target: Target) -> None:
    """Builds the core's GoogleTest suite for the target and runs it there:
    natively for x86_64, under qemu-user for aarch64 (where, unlike x86_64,
    `char` is unsigned)."""
    debian.install("cross")
    environment = _environment()
    cmake, ninja = tools_bin() / "cmake", tools_bin() / "ninja"
    libcrypto = openssl.prefix(target)
    gtest = googletest.prefix(target, cmake, ninja)
    build = WORK / target.tag / "core-tests"
    # musl executables are linked statically, so qemu needs no root file system.
    linker_flags = "-static" if target.libc == "musl" else ""
    _log(f"building the core tests for {target.tag}")
    host.run(
        [
            cmake,
            "-S",
            ROOT,
            "-B",
            build,
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={ninja}",
            f"-DCMAKE_TOOLCHAIN_FILE={target.toolchain_file}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUOVEL_BUILD_PYTHON=OFF",
            "-DQUOVEL_BUILD_TESTS=ON",
            *(f"-D{define}" for define in _openssl_defines(libcrypto)),
            f"-DGTest_DIR={gtest / 'lib' / 'cmake' / 'GTest'}",
            f"-DCMAKE_EXE_LINKER_FLAGS={linker_flags}",
        ],
        env=environment,
        log=build / "configure.log",
    )
    host.run([cmake, "--build", build, "-j", str(host.jobs())], env=environment, log=build / "build.log")
    emulator = target.qemu()
    if emulator and target.libc == "gnu":
        emulator += ["-L", str(debian.binary_root(target.debian_arch, ("libc6",)))]
    _log(f"running the core tests for {target.tag}" + (" under qemu" if emulator else ""))
    host.run([*emulator, build / "core" / "quovel_core_tests", "--gtest_brief=1"], env=environment)
