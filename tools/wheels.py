"""The distribution: the sdist and one cp312-abi3 wheel per Linux target,
cross-built from this one x86_64 host with zig, plus the core's GoogleTest
suite per target (natively, or under qemu-user for aarch64).

Each wheel is built from the sdist, as an index would, with libcrypto of
OpenSSL 3.5 linked in privately, then checked: the tag auditwheel derives
agrees with the target, the stable ABI audit is clean, the extension needs
nothing but libc (and libm) at run time and exports only its init function,
and the wheel records which OpenSSL it embeds.

    python -m tools.wheels [--target T ...] [--core-tests] --out DIR
"""

from __future__ import annotations

import argparse
import functools
import glob
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

from tools import debian, googletest, openssl, project, targets

TARGETS: tuple[str, ...] = (
    "manylinux_2_28_x86_64",
    "manylinux_2_28_aarch64",
    "musllinux_1_2_x86_64",
    "musllinux_1_2_aarch64",
)

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "wheels"
TOOLS_VENV = ROOT / ".venv" / "wheel-tools"
# qemu's default CPU emulates pointer authentication, which makes everything
# many times slower; this one has none.
QEMU_CPU = "cortex-a72"

# Shared libraries the extension may need, per libc; anything else (OpenSSL,
# a C++ runtime) would have to be on the user's machine.
_ALLOWED_NEEDED = {
    # Before glibc 2.34 threads and dlopen lived in their own libraries, and
    # zig links against 2.28's.
    "gnu": {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"},
    "musl": {"libc.musl-x86_64.so.1", "libc.musl-aarch64.so.1"},
}


def _log(message: str) -> None:
    print(f"== {message}", flush=True)


def architecture(target: str) -> str:
    return "aarch64" if target.endswith("aarch64") else "x86_64"


def libc(target: str) -> str:
    return "musl" if target.startswith("musllinux") else "gnu"


def _check_target(target: str) -> None:
    if target not in TARGETS:
        raise RuntimeError(f"unknown target {target!r}; known: {', '.join(TARGETS)}")
    # OpenSSL's build runs Configure (perl, with modules beyond perl-base) and make.
    debian.install("perl", "make")


# --- the pinned build tools ---------------------------------------------------


def _wheel_group() -> list[str]:
    return project.dependency_group("wheel")


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


def host_pythons() -> list[str]:
    """The host's CPython 3.12 and later, one per version, oldest first."""
    found = []
    for version in ("3.12", "3.13", "3.14"):
        candidates = [
            shutil.which(f"python{version}"),
            *sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}*/bin/python{version}"))),
        ]
        for candidate in candidates:
            # A pyenv shim for a version that is not selected exists but fails.
            if candidate and subprocess.run([candidate, "-c", "import venv"], capture_output=True).returncode == 0:
                found.append(candidate)
                break
    return found


def _build_python() -> str:
    """CPython 3.12 or later: the stable-ABI headers of 3.12 are what the wheel promises."""
    if sys.version_info >= (3, 12):
        return sys.executable
    found = host_pythons()
    if not found:
        raise RuntimeError("building the wheels needs CPython 3.12 or later")
    return found[0]


@functools.cache
def tools_bin() -> Path:
    """The folder holding the pinned build tools: the running environment's when
    it has the `wheel` dependency group installed, else a private one."""
    pins = _wheel_group()
    here = Path(sys.executable).parent
    if sys.version_info >= (3, 12) and _has_pins(Path(sys.executable), pins):
        return here
    python = TOOLS_VENV / "bin" / "python"
    if not (python.exists() and _has_pins(python, pins)):
        _log(f"installing the wheel build tools into {TOOLS_VENV}")
        for step in (
            [_build_python(), "-m", "venv", "--clear", str(TOOLS_VENV)],
            [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", *pins],
        ):
            result = subprocess.run(step, capture_output=True, text=True)
            if result.returncode != 0:
                print(result.stdout + result.stderr, file=sys.stderr)
                raise subprocess.CalledProcessError(result.returncode, step)
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


def _sdist_epoch(sdist: Path) -> str:
    """The timestamp the sdist was made with: its wheels reuse it, so that a
    commit made meanwhile cannot change them."""
    with tarfile.open(sdist) as archive:
        info = next(member for member in archive.getmembers() if member.name.endswith("/PKG-INFO"))
    return str(int(info.mtime))


def _run(command: list[str], environment: dict[str, str], log: Path | None = None, **options: object) -> str:
    """Runs a command; with a log, its output goes there and its tail is shown on failure."""
    if log is None:
        result = subprocess.run(
            command,
            env=environment,
            text=True,
            stdout=subprocess.PIPE,  # type: ignore[call-overload]
            stderr=subprocess.STDOUT,
            **options,
        )
    else:
        log.parent.mkdir(parents=True, exist_ok=True)
        with open(log, "w") as output:
            result = subprocess.run(
                command,
                env=environment,
                text=True,
                stdout=output,  # type: ignore[call-overload]
                stderr=subprocess.STDOUT,
                **options,
            )
    if result.returncode != 0:
        text = log.read_text() if log else result.stdout
        print(text[-6000:], file=sys.stderr)
        raise subprocess.CalledProcessError(result.returncode, command)
    return result.stdout if log is None else ""


# --- sdist ----------------------------------------------------------------------

_SDIST_MUST_HOLD = (
    "PKG-INFO",
    "pyproject.toml",
    "CMakeLists.txt",
    "core/CMakeLists.txt",
    "python/CMakeLists.txt",
    "python/exports.map",
    "stubs/quovel-stubs/__init__.pyi",
)


def build_sdist(out: Path) -> Path:
    """Builds and checks the sdist into `out`; returns its path."""
    out.mkdir(parents=True, exist_ok=True)
    environment = _environment()
    _log("building the sdist")
    before = set(out.glob("quovel-*.tar.gz"))
    for stale in before:
        stale.unlink()
    _run(
        [str(tools_bin() / "python"), "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
        environment,
        WORK / "logs" / "sdist.log",
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


def inspect_extension(path: Path) -> dict[str, object]:
    """Machine, NEEDED entries and exported symbols of an ELF file (any architecture)."""
    output = _run([str(tools_bin() / "python"), "-c", _INSPECT_ELF, str(path)], _environment())
    result: dict[str, object] = json.loads(output)
    return result


def needed_problems(target: str, needed: list[str]) -> list[str]:
    """What is wrong with an extension's NEEDED entries for the target, if anything."""
    allowed = _ALLOWED_NEEDED[libc(target)]
    problems = [f"needs {name}" for name in needed if name not in allowed]
    if libc(target) == "musl" and f"libc.musl-{architecture(target)}.so.1" not in needed:
        problems.append(f"does not name musl's libc.musl-{architecture(target)}.so.1")
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


def tag_problems(target: str, audited: str) -> list[str]:
    """A wheel may claim its audited tag or a newer one of the same libc and
    architecture, never an older one (that would promise too old a libc)."""
    family, arch = target.split("_")[0], architecture(target)
    if audited.split("_")[0] != family or not audited.endswith(arch):
        return [f"auditwheel sees {audited}, not a {family} {arch} wheel"]
    if _policy_rank(audited) > _policy_rank(target):
        return [f"needs {audited}, newer than its tag {target}"]
    return []


_ARCHITECTURE_MACHINE = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}


def check_wheel(target: str, wheel: Path) -> dict[str, object]:
    """Every check a distributed wheel must pass; returns what was measured."""
    environment = _environment()
    bindir = tools_bin()
    problems: list[str] = []
    expected_name_end = f"-cp312-abi3-{target}.whl"
    if not wheel.name.endswith(expected_name_end):
        problems.append(f"file name does not end in {expected_name_end}")

    show = _run([str(bindir / "auditwheel"), "show", str(wheel)], environment)
    audited = audited_tag(show)
    problems += tag_problems(target, audited)
    abi3 = " ".join(
        _run(
            [str(bindir / "abi3audit"), "--strict", "--summary", str(wheel)], {**environment, "COLUMNS": "200"}
        ).split()
    )
    abi3 = abi3.partition(f"{wheel.name}: ")[2]
    if "0 ABI version mismatches and 0 ABI violations" not in abi3:
        problems.append(f"abi3audit: {abi3}")

    scratch = WORK / "inspect" / target
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
    needed = list(elf["needed"])  # type: ignore[call-overload]
    problems += needed_problems(target, needed)
    if elf["machine"] != _ARCHITECTURE_MACHINE[architecture(target)]:
        problems.append(f"is built for {elf['machine']}")
    if elf["exported"] != ["PyInit_quovel"]:
        problems.append(f"exports {elf['exported'][:8]}")  # type: ignore[index]
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


def build_wheel(target: str, out: Path, sdist: Path | None = None, work: Path | None = None) -> Path:
    """Builds the target's wheel from the sdist (built first unless given),
    tagged for the target, checks it, and puts it in `out`. The build folder (`work`,
    build/wheels/<target> by default) is kept for incremental rebuilds."""
    _check_target(target)
    started = time.monotonic()
    out.mkdir(parents=True, exist_ok=True)
    libcrypto = openssl.prefix(target)
    if sdist is None:
        sdist = build_sdist(WORK / "sdist")
    work = work or WORK / target
    tree = _sync_tree(sdist, work / "src")
    raw = work / "raw"
    shutil.rmtree(raw, ignore_errors=True)
    environment = _environment(
        CMAKE_TOOLCHAIN_FILE=str(targets.toolchain_file(target)),
        # The platform part of the wheel's tag when cross-compiling: the
        # target's tag itself. auditwheel repair cannot set it (it offers
        # only the host's architecture and libc), and with libcrypto and
        # libc++ linked in there is nothing to graft; `auditwheel show`
        # checks the tag instead.
        _PYTHON_HOST_PLATFORM=target,
        # No build paths in the binary, so that where it was built does not matter.
        CFLAGS=f"-ffile-prefix-map={tree}=quovel",
        CXXFLAGS=f"-ffile-prefix-map={tree}=quovel",
        SOURCE_DATE_EPOCH=_sdist_epoch(sdist),
    )
    _log(f"building the {target} wheel")
    _run(
        [
            str(tools_bin() / "python"),
            "-m",
            "build",
            "--wheel",
            "--no-isolation",
            "--outdir",
            str(raw),
            f"-Cbuild-dir={work / 'cmake'}",
            # Named outright, so that a build folder configured against an older
            # cached libcrypto cannot keep pointing at it.
            f"-Ccmake.define.OPENSSL_ROOT_DIR={libcrypto}",
            f"-Ccmake.define.OPENSSL_INCLUDE_DIR={libcrypto / 'include'}",
            f"-Ccmake.define.OPENSSL_CRYPTO_LIBRARY={libcrypto / 'lib' / 'libcrypto.a'}",
            "-Ccmake.define.QUOVEL_STATIC_OPENSSL=ON",
            # Stripped by the linker, not by whichever strip the host has.
            "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-Wl,--strip-all",
            "-Cinstall.strip=false",
            "-Cbuild.verbose=true",
            str(tree),
        ],
        environment,
        work / "build.log",
    )
    (wheel,) = raw.glob("quovel-*.whl")
    measured = check_wheel(target, wheel)
    for stale in out.glob(f"quovel-*-{target}.whl"):
        stale.unlink()
    final = Path(shutil.copy2(wheel, out / wheel.name))
    measured["seconds"] = round(time.monotonic() - started, 1)
    (work / "measured.json").write_text(json.dumps(measured, indent=2))
    _log(
        f"{final.name}: {measured['size']} bytes, auditwheel {measured['auditwheel']}, "
        f"NEEDED {' '.join(measured['needed'])}, abi3audit: {measured['abi3audit']}, {measured['seconds']} s"
    )  # type: ignore[arg-type]
    return final


def smoke_import(wheel: Path) -> list[str]:
    """Imports the wheel's module with each host CPython that can load it
    (the whole suite on every platform is the platform tests' job)."""
    versions = []
    for python in host_pythons():
        folder = WORK / "smoke" / Path(python).name
        shutil.rmtree(folder, ignore_errors=True)
        _run(
            [
                python,
                "-m",
                "pip",
                "install",
                "-q",
                "--disable-pip-version-check",
                "--no-deps",
                "--target",
                str(folder),
                str(wheel),
            ],
            _environment(),
        )
        probe = (
            "import sys; sys.path.insert(0, sys.argv[1]); import quovel; "
            "assert quovel.__file__.startswith(sys.argv[1]), quovel.__file__; "
            "print(sys.version.split()[0])"
        )
        versions.append(_run([python, "-c", probe, str(folder)], _environment()).strip())
    _log(f"{wheel.name} imports on CPython {', '.join(versions)}")
    return versions


# --- the core's C++ suite per target ----------------------------------------------


def _qemu(target: str) -> list[str]:
    if architecture(target) == "x86_64":
        return []
    debian.install("qemu-user-static")
    command = ["qemu-aarch64-static", "-cpu", QEMU_CPU]
    if libc(target) == "gnu":
        command += ["-L", str(debian.binary_root("arm64", ("libc6",)))]
    return command


def core_tests(target: str) -> None:
    """Builds the core's GoogleTest suite for the target and runs it there:
    natively for x86_64, under qemu-user for aarch64 (where, unlike x86_64,
    `char` is unsigned)."""
    _check_target(target)
    environment = _environment()
    cmake, ninja = tools_bin() / "cmake", tools_bin() / "ninja"
    libcrypto = openssl.prefix(target)
    gtest = googletest.prefix(target, cmake, ninja)
    build = WORK / target / "core-tests"
    # musl executables are linked statically, so qemu needs no root file system.
    linker_flags = "-static" if libc(target) == "musl" else ""
    _log(f"building the core tests for {target}")
    _run(
        [
            str(cmake),
            "-S",
            str(ROOT),
            "-B",
            str(build),
            "-G",
            "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={ninja}",
            f"-DCMAKE_TOOLCHAIN_FILE={targets.toolchain_file(target)}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUOVEL_BUILD_PYTHON=OFF",
            "-DQUOVEL_BUILD_TESTS=ON",
            "-DQUOVEL_STATIC_OPENSSL=ON",
            f"-DOPENSSL_ROOT_DIR={libcrypto}",
            f"-DOPENSSL_INCLUDE_DIR={libcrypto / 'include'}",
            f"-DOPENSSL_CRYPTO_LIBRARY={libcrypto / 'lib' / 'libcrypto.a'}",
            f"-DGTest_DIR={gtest / 'lib' / 'cmake' / 'GTest'}",
            f"-DCMAKE_EXE_LINKER_FLAGS={linker_flags}",
        ],
        environment,
        build / "configure.log",
    )
    _run([str(cmake), "--build", str(build), "-j", "2"], environment, build / "build.log")
    executable = build / "core" / "quovel_core_tests"
    _log(f"running the core tests for {target}" + (" under qemu" if architecture(target) != "x86_64" else ""))
    subprocess.run([*_qemu(target), str(executable), "--gtest_brief=1"], env=environment, check=True)


# --- command line -------------------------------------------------------------------


def check_reproducible(target: str, wheel: Path, sdist: Path) -> None:
    """Builds the wheel again from scratch in another folder; the bytes must match."""
    again = WORK / "again" / target
    shutil.rmtree(again, ignore_errors=True)
    rebuilt = build_wheel(target, again / "out", sdist, work=again)
    first, second = (hashlib.sha256(path.read_bytes()).hexdigest() for path in (wheel, rebuilt))
    if first != second:
        raise RuntimeError(f"{wheel.name}: a second build differs ({first[:12]} != {second[:12]})")
    _log(f"{wheel.name}: rebuilt from scratch elsewhere, same sha256 {first[:16]}")


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tools.wheels", description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--target", action="append", choices=TARGETS, help="a wheel target (repeatable; default: all four)"
    )
    parser.add_argument("--core-tests", action="store_true", help="also run the C++ core suite for each target")
    parser.add_argument("--no-wheels", action="store_true", help="only the core tests, no sdist or wheels")
    parser.add_argument(
        "--reproducible",
        action="store_true",
        help="build the sdist and each wheel a second time from scratch and compare",
    )
    parser.add_argument("--out", type=Path, required=True, help="folder for the sdist and the wheels")
    options = parser.parse_args(arguments)
    targets = options.target or list(TARGETS)
    out = options.out.resolve()
    if not options.no_wheels:
        sdist = build_sdist(out)
        if options.reproducible:
            again = build_sdist(WORK / "again" / "sdist")
            if again.read_bytes() != sdist.read_bytes():
                raise RuntimeError(f"{sdist.name}: a second build differs")
            _log(f"{sdist.name}: built twice, same bytes")
        for target in targets:
            wheel = build_wheel(target, out, sdist)
            if target == "manylinux_2_28_x86_64":
                smoke_import(wheel)
            if options.reproducible:
                check_reproducible(target, wheel, sdist)
        print("\n| wheel | bytes | auditwheel show | abi3audit | NEEDED | seconds |\n|---|---|---|---|---|---|")
        for target in targets:
            row = json.loads((WORK / target / "measured.json").read_text())
            print(
                f"| {row['wheel']} | {row['size']} | {row['auditwheel']} | {row['abi3audit']} | "
                f"{' '.join(row['needed'])} | {row['seconds']} |"
            )
    if options.core_tests:
        for target in targets:
            core_tests(target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
