"""CPython for musl, cross-built with zig from Debian's copy of the upstream tarball.

The prefix is self-contained: zlib, libffi and sqlite are linked into the
extension modules that need them, and musl's loader (from Debian's package)
sits in the prefix and is the interpreter's program interpreter, so the
binary starts on a glibc host without anything installed there, natively on
x86_64 and under qemu-user on aarch64.
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import tarfile
import time
from pathlib import Path

from tools import cache, debian, host, zig
from tools.targets import Target

ROOT = Path(__file__).resolve().parent.parent
# Where the upstream tarballs come from: each CPython from the suite that
# packages it, the libraries it needs from Debian 13. (sid and forky list a
# python3.14 source package, but the archive serves none of its files.)
SOURCES = {"3.13": "trixie"}
LIBRARY_SUITE = "trixie"


def build_python(version: str) -> Path:
    """A native CPython built from the same tarball, which cross-building CPython runs.

    It must be the same release: the cross build runs it on the new
    standard library, which does not load on an older patch release.
    """
    recipe = [version, SOURCES[version], cache.recipe(_build_native, _unpack, _orig_tarball)]
    folder = cache.artefact(f"python{version}-build-host", recipe, lambda f: _build_native(f, version))
    return folder / "bin" / f"python{version}"


def _build_native(prefix: Path, version: str) -> None:
    work = ROOT / "build" / "musl-python" / f"build-python-{version}"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    apt = debian.Apt(work / "apt", SOURCES[version], "amd64")
    cpython = _unpack(_orig_tarball(apt, f"python{version}", work / "src"), work / "src")
    host_env = {k: v for k, v in os.environ.items() if k not in ("CC", "CXX", "AR", "RANLIB")}
    host.run(
        ["./configure", f"--prefix={prefix}", "--without-ensurepip", "--disable-test-modules"],
        cwd=cpython,
        env=host_env,
        quiet=True,
    )
    host.run(["make", f"-j{host.jobs()}"], cwd=cpython, env=host_env, quiet=True)
    host.run(["make", "install"], cwd=cpython, env=host_env, quiet=True)
    shutil.rmtree(work, ignore_errors=True)


def _zig_tools(folder: Path, triple: str) -> dict[str, str]:
    """Wrapper scripts standing in for a cross toolchain, as configure scripts expect."""
    folder.mkdir(parents=True, exist_ok=True)
    zig_binary = shlex.quote(str(zig.binary()))
    # -O2 always: zig's debug mode links a sanitizer runtime that needs a newer musl.
    tools = {
        # zig makes __DATE__ an error, for reproducible builds; CPython records it.
        "CC": f'exec {zig_binary} cc -target {triple} -O2 "$@" -Wno-date-time',
        # Configure scripts only probe the C++ compiler; nothing built here is
        # C++, and linking libc++ would make zig build it once per flag set.
        "CXX": f'exec {zig_binary} c++ -target {triple} -O2 -nostdlib++ "$@"',
        "AR": f'exec {zig_binary} ar "$@"',
        "RANLIB": f'exec {zig_binary} ranlib "$@"',
    }
    environment = dict(os.environ, **zig.environment())
    for variable, body in tools.items():
        script = folder / f"{triple}-{variable.lower()}"
        script.write_text(f"#!/bin/sh\n{body}\n", encoding="utf-8")
        script.chmod(0o755)
        environment[variable] = str(script)
    return environment


def _unpack(tarball: Path, into: Path) -> Path:
    with tarfile.open(tarball) as archive:
        archive.extractall(into, filter="data")
        top = archive.getnames()[0].split("/")[0]
    return into / top


def _orig_tarball(apt: debian.Apt, package: str, into: Path) -> Path:
    files = apt.source(package, into / package)
    (orig,) = [f for f in files if ".orig.tar." in f.name and ".asc" not in f.name]
    return orig


def prefix(target: Target, version: str) -> Path:
    """The installed prefix of CPython `version` for the musl target, built on first use."""
    recipe = [
        version,
        target.zig,
        target.debian_arch,
        SOURCES[version],
        LIBRARY_SUITE,
        zig.ZIG_VERSION,
        # The libraries are linked into its extension modules.
        cache.recipe(_build, _build_libraries, _zig_tools, _unpack, _orig_tarball),
    ]
    return cache.artefact(f"python{version}-musl-{target.arch}", recipe, lambda folder: _build(folder, target, version))


def _libraries(target: Target) -> Path:
    """zlib, libffi and sqlite for musl on `arch`: static, position-independent.

    The extension modules that need them link them in, so a prefix needs no
    library search path; both CPython versions share them.
    """
    recipe = [
        target.zig,
        target.debian_arch,
        LIBRARY_SUITE,
        zig.ZIG_VERSION,
        cache.recipe(_build_libraries, _zig_tools, _unpack, _orig_tarball),
    ]
    return cache.artefact(f"musl-libs-{target.arch}", recipe, lambda folder: _build_libraries(folder, target))


def _build_libraries(deps: Path, target: Target) -> None:
    triple = target.zig
    work = ROOT / "build" / "musl-libs" / triple
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    apt = debian.Apt(work / "apt", LIBRARY_SUITE, target.debian_arch)
    env = _zig_tools(work / "bin", triple)

    zlib = _unpack(_orig_tarball(apt, "zlib", work / "src"), work / "src")
    host.run(["./configure", "--static", f"--prefix={deps}"], cwd=zlib, env=dict(env, CFLAGS="-fPIC"), quiet=True)
    host.run(["make", f"-j{host.jobs()}", "libz.a"], cwd=zlib, env=env, quiet=True)
    host.run(["make", "install"], cwd=zlib, env=env, quiet=True)

    libffi = _unpack(_orig_tarball(apt, "libffi", work / "src"), work / "src")
    if not (libffi / "configure").exists():  # Debian's tarball is cut from the repository
        host.run(["autoreconf", "-fi"], cwd=libffi, quiet=True)
    host.run(
        [
            "./configure",
            f"--host={triple}",
            "--disable-shared",
            "--enable-static",
            "--with-pic",
            "--disable-docs",
            "--disable-multi-os-directory",
            f"--prefix={deps}",
        ],
        cwd=libffi,
        env=env,
        quiet=True,
    )
    host.run(["make", f"-j{host.jobs()}", "install"], cwd=libffi, env=env, quiet=True)

    # sqlite's source tree generates its one-file amalgamation with host
    # tools (tclsh); only that file is compiled for the target.
    sqlite = _unpack(_orig_tarball(apt, "sqlite3", work / "src"), work / "src")
    host_env = {k: v for k, v in os.environ.items() if k not in ("CC", "CXX", "AR", "RANLIB")}
    host.run(["./configure"], cwd=sqlite, env=host_env, quiet=True)
    host.run(["make", "sqlite3.c"], cwd=sqlite, env=host_env, quiet=True)
    (deps / "include").mkdir(parents=True, exist_ok=True)
    shutil.copy(sqlite / "sqlite3.h", deps / "include")
    host.run(
        [
            env["CC"],
            "-fPIC",
            "-DSQLITE_THREADSAFE=1",
            "-DSQLITE_ENABLE_FTS5",
            "-DSQLITE_ENABLE_MATH_FUNCTIONS",
            "-c",
            sqlite / "sqlite3.c",
            "-o",
            work / "sqlite3.o",
        ],
        env=env,
    )
    host.run([env["AR"], "rcs", deps / "lib" / "libsqlite3.a", work / "sqlite3.o"], env=env)
    shutil.rmtree(work, ignore_errors=True)


def _build(prefix: Path, target: Target, version: str) -> None:
    triple, arch = target.zig, target.arch
    deps = _libraries(target)
    work = ROOT / "build" / "musl-python" / f"{triple}-{version}"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    apt = debian.Apt(work / "apt", SOURCES[version], target.debian_arch)
    env = _zig_tools(work / "bin", triple)
    started = time.monotonic()

    cpython = _unpack(_orig_tarball(apt, f"python{version}", work / "src"), work / "src")
    site = work / "config.site"
    # Answers configure cannot find out by running programs when cross-compiling.
    site.write_text("ac_cv_file__dev_ptmx=yes\nac_cv_file__dev_ptc=no\nac_cv_buggy_getaddrinfo=no\n", encoding="utf-8")
    lib = deps / "lib"
    env.update(
        CONFIG_SITE=str(site),
        PKG_CONFIG_LIBDIR=str(lib / "pkgconfig"),
        CFLAGS="-fPIE",
        # A dynamic, position-independent executable: zig links musl
        # programs statically by default, and a non-PIE one fails at start.
        LINKFORSHARED="-Xlinker -export-dynamic -dynamic -fPIE -pie",
        ZLIB_CFLAGS=f"-I{deps / 'include'}",
        ZLIB_LIBS=f"-L{lib} -lz",
        LIBFFI_CFLAGS=f"-I{deps / 'include'}",
        LIBFFI_LIBS=f"-L{lib} -lffi",
        LIBSQLITE3_CFLAGS=f"-I{deps / 'include'}",
        LIBSQLITE3_LIBS=f"-L{lib} -lsqlite3 -lm",
    )
    host.run(
        [
            "./configure",
            f"--host={triple}",
            "--build=x86_64-pc-linux-gnu",
            f"--with-build-python={build_python(version)}",
            f"--prefix={prefix}",
            "--without-ensurepip",
            "--disable-test-modules",
            "--without-static-libpython",
        ],
        cwd=cpython,
        env=env,
        quiet=True,
    )
    # configure reads the platform triplet from libc headers that zig's
    # compiler does not use; without it extension modules carry no platform
    # in their names, and no wheel's extension modules would load.
    makefile = cpython / "Makefile"
    abi = "cpython-" + version.replace(".", "")
    text = makefile.read_text(encoding="utf-8")
    # (MULTIARCH stays empty: the interpreter names its sysconfig data after it.)
    for variable, value in (("SOABI", f"{abi}-{triple}"), ("EXT_SUFFIX", f".{abi}-{triple}.so")):
        text, count = re.subn(rf"^{variable}=.*$", f"{variable}=\t{value}", text, flags=re.MULTILINE)
        if count != 1:
            raise RuntimeError(f"no {variable} in CPython's Makefile")
    makefile.write_text(text, encoding="utf-8")
    host.run(["make", f"-j{host.jobs()}"], cwd=cpython, env=env, quiet=True)
    host.run(["make", "install"], cwd=cpython, env=env, quiet=True)

    # musl's loader, from Debian's package, kept inside the prefix and named
    # as the interpreter's loader, so the binary starts without anything
    # installed on the host.
    (loader_deb,) = apt.download(["musl"], work / "debs")
    debian.unpack_deb(loader_deb, work / "musl")
    (libc,) = (work / "musl" / "usr/lib" / triple).glob("libc.so")
    loader = prefix / "lib" / f"ld-musl-{arch}.so.1"
    shutil.copy(libc, loader)
    host.run(["patchelf", "--set-interpreter", loader, prefix / "bin" / f"python{version}"])
    shutil.rmtree(work, ignore_errors=True)
    print(f"built CPython {version} for musl on {arch} in {time.monotonic() - started:.0f} s", flush=True)
