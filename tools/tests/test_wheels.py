"""The distribution tooling: the wheel checks' verdicts, the incremental
unpacking of the sdist, and what a source build says when it cannot build."""

from __future__ import annotations

import io
import re
import shutil
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

from tools import openssl, targets, wheels

NEEDED_CASES = [
    ("manylinux_2_28_x86_64", ["libm.so.6", "libpthread.so.0", "libc.so.6", "ld-linux-x86-64.so.2"], []),
    ("manylinux_2_28_aarch64", ["libcrypto.so.3", "libc.so.6"], ["needs libcrypto.so.3"]),
    ("manylinux_2_28_x86_64", ["libstdc++.so.6", "libc.so.6"], ["needs libstdc++.so.6"]),
    ("musllinux_1_2_aarch64", ["libc.musl-aarch64.so.1"], []),
    # What zig records before the musl name is patched in.
    ("musllinux_1_2_x86_64", ["libc.so"], ["needs libc.so", "does not name musl's libc.musl-x86_64.so.1"]),
    (
        "musllinux_1_2_aarch64",
        ["libc.musl-x86_64.so.1"],
        ["needs libc.musl-x86_64.so.1", "does not name musl's libc.musl-aarch64.so.1"],
    ),
    ("manylinux_2_28_aarch64", ["libc.so.6", "ld-linux-x86-64.so.2"], ["needs ld-linux-x86-64.so.2"]),
]


@pytest.mark.parametrize(("target", "needed", "problems"), NEEDED_CASES)
def test_needed_entries(target: str, needed: list[str], problems: list[str]) -> None:
    assert wheels.needed_problems(targets.get(target), needed) == problems


TAG_CASES = [
    ("manylinux_2_28_x86_64", "manylinux_2_26_x86_64", True),
    ("manylinux_2_28_x86_64", "manylinux_2_28_x86_64", True),
    # The binary needs a newer glibc than its tag promises.
    ("manylinux_2_28_x86_64", "manylinux_2_34_x86_64", False),
    ("manylinux_2_28_aarch64", "manylinux_2_17_x86_64", False),
    ("musllinux_1_2_x86_64", "manylinux_2_17_x86_64", False),
    ("musllinux_1_2_aarch64", "musllinux_1_1_aarch64", True),
]


@pytest.mark.parametrize(("target", "audited", "consistent"), TAG_CASES)
def test_tag_consistency(target: str, audited: str, consistent: bool) -> None:
    assert (wheels.tag_problems(targets.get(target), audited) == []) is consistent


def test_audited_tag_is_read_across_line_breaks() -> None:
    output = (
        "quovel-0.1.0-cp312-abi3-manylinux_2_28_x86_64.whl is consistent with the\n"
        'following platform tag: "manylinux_2_26_x86_64".\n\nThe wheel references ...'
    )
    assert wheels.audited_tag(output) == "manylinux_2_26_x86_64"
    with pytest.raises(RuntimeError):
        wheels.audited_tag("nothing useful")


def _sdist(path: Path, files: dict[str, bytes]) -> Path:
    with tarfile.open(path, "w:gz") as archive:
        for name, data in files.items():
            member = tarfile.TarInfo(f"quovel-0.1.0/{name}")
            member.size, member.mtime = len(data), 1_000_000
            archive.addfile(member, io.BytesIO(data))
    return path


def test_sync_tree_rewrites_changed_files_only(tmp_path: Path) -> None:
    tree = tmp_path / "tree"
    wheels._sync_tree(_sdist(tmp_path / "a.tar.gz", {"a.cpp": b"1", "b.cpp": b"2", "gone.cpp": b"3"}), tree)
    kept_mtime = (tree / "a.cpp").stat().st_mtime_ns
    # Same timestamps in the archive, different contents: the edit must still land.
    wheels._sync_tree(_sdist(tmp_path / "b.tar.gz", {"a.cpp": b"1", "b.cpp": b"22"}), tree)
    assert (tree / "b.cpp").read_bytes() == b"22"
    assert (tree / "a.cpp").stat().st_mtime_ns == kept_mtime
    assert not (tree / "gone.cpp").exists()


# --- source builds ---------------------------------------------------------------


@pytest.fixture(scope="module")
def sdist(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return wheels.build_sdist(tmp_path_factory.mktemp("sdist"))


def _old_gxx(folder: Path) -> str:
    script = folder / "g++-claims-11"
    script.write_text('#!/bin/sh\nexec g++ -U__GNUC__ -D__GNUC__=11 -Wno-builtin-macro-redefined "$@"\n')
    script.chmod(0o755)
    return str(script)


@pytest.mark.parametrize(
    ("define", "message"),
    [
        # Where the host keeps OpenSSL's headers and libraries, out of sight.
        ("CMAKE_IGNORE_PATH=/usr/include;/usr/lib/x86_64-linux-gnu", "Could NOT find OpenSSL"),
        ("CMAKE_CXX_COMPILER={old_gxx}", "quovel needs a C++23 compiler: g++ 12 or later, or clang 16 or later"),
    ],
    ids=["no-openssl", "old-compiler"],
)
def test_source_build_says_what_to_install(sdist: Path, tmp_path: Path, define: str, message: str) -> None:
    if "{old_gxx}" in define and shutil.which("g++") is None:
        pytest.skip("needs g++ to stand in for an older one")
    define = define.format(old_gxx=_old_gxx(tmp_path) if "{old_gxx}" in define else "")
    bindir = wheels.tools_bin()
    result = subprocess.run(
        [
            str(bindir / "python"),
            "-m",
            "pip",
            "wheel",
            "--no-build-isolation",
            "--no-deps",
            "-w",
            str(tmp_path),
            f"--config-settings=cmake.define.{define}",
            str(sdist),
        ],
        capture_output=True,
        text=True,
        env=wheels._environment(),
    )
    output = " ".join((result.stdout + result.stderr).split())
    assert result.returncode != 0
    assert message in output
    assert "quovel could not be built from source." in output
    assert not list(tmp_path.glob("*.whl"))


# --- the checks on a whole wheel ---------------------------------------------------


def _fake_wheel(folder: Path, libraries: list[str], exported: list[str], note: str | None) -> Path:
    """A glibc x86_64 wheel whose extension is a stand-in built by the host's gcc."""
    source = folder / "module.c"
    source.write_text("".join(f"int {name}(void) {{ return 0; }}\n" for name in exported))
    extension = folder / "quovel.abi3.so"
    subprocess.run(
        [
            "gcc",
            "-shared",
            "-fPIC",
            "-Wl,--no-as-needed",
            "-o",
            str(extension),
            str(source),
            *[f"-l:{library}" for library in libraries],
        ],
        check=True,
    )
    wheel = folder / "quovel-0.1.0-cp312-abi3-manylinux_2_28_x86_64.whl"
    info = "quovel-0.1.0.dist-info"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.write(extension, "quovel.abi3.so")
        archive.writestr(f"{info}/METADATA", "Metadata-Version: 2.1\nName: quovel\nVersion: 0.1.0\n")
        archive.writestr(
            f"{info}/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: false\nTag: cp312-abi3-manylinux_2_28_x86_64\n"
        )
        if note is not None:
            archive.writestr(f"{info}/licenses/OpenSSL.txt", note)
        archive.writestr(f"{info}/RECORD", "".join(f"{name},,\n" for name in [*archive.namelist(), f"{info}/RECORD"]))
    return wheel


NOTE = f"The extension module links libcrypto of OpenSSL {openssl.VERSION} statically; ..."


@pytest.mark.skipif(
    shutil.which("gcc") is None or not Path("/usr/lib/x86_64-linux-gnu/libcrypto.so.3").exists(),
    reason="needs the host's gcc and libcrypto.so.3 to make stand-in extensions",
)
@pytest.mark.parametrize(
    ("libraries", "exported", "note", "problem"),
    [
        ([], ["PyInit_quovel"], NOTE, None),
        (["libcrypto.so.3"], ["PyInit_quovel"], NOTE, "needs libcrypto.so.3"),
        ([], ["PyInit_quovel", "EVP_EncryptInit_ex"], NOTE, "exports ['EVP_EncryptInit_ex', 'PyInit_quovel']"),
        ([], ["PyInit_quovel"], None, "records 'nothing'"),
        ([], ["PyInit_quovel"], "libcrypto of OpenSSL 3.0.19 ...", "not OpenSSL"),
    ],
    ids=["clean", "needs-libcrypto", "leaks-symbols", "no-openssl-note", "other-openssl"],
)
def test_check_wheel_verdicts(
    tmp_path: Path, libraries: list[str], exported: list[str], note: str | None, problem: str | None
) -> None:
    wheel = _fake_wheel(tmp_path, libraries, exported, note)
    if problem is None:
        measured = wheels.check_wheel(targets.get("manylinux_2_28_x86_64"), wheel)
        assert measured["needed"] == ["libc.so.6"]
    else:
        with pytest.raises(RuntimeError, match=re.escape(problem)):
            wheels.check_wheel(targets.get("manylinux_2_28_x86_64"), wheel)
