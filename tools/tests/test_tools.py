"""The build and test tooling's own logic: what decides which packages and
interpreters a platform run gets, and how its outcome is counted."""

from __future__ import annotations

import functools
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from tools import debian, platforms, project, targets


def test_dependency_groups_resolve_includes(tmp_path: Path) -> None:
    pyproject = tmp_path / "pyproject.toml"
    pyproject.write_text(
        '[dependency-groups]\na = ["x==1"]\nb = [{ include-group = "a" }, "y"]\nc = [{ include-group = "b" }, "z>2"]\n',
        encoding="utf-8",
    )
    assert project.dependency_group("c", pyproject) == ["x==1", "y", "z>2"]


def test_every_pin_of_the_test_group_is_exact() -> None:
    # Cached environments are keyed by these strings: a range would let two
    # machines hold different packages under one key.
    assert all("==" in requirement for requirement in project.dependency_group("test"))


@pytest.mark.parametrize(
    ("name", "first", "last", "wheel"),
    [
        ("glibc-x86_64", "manylinux_2_41_x86_64", "manylinux2014_x86_64", "manylinux_2_28_x86_64"),
        ("glibc-aarch64", "manylinux_2_41_aarch64", "manylinux2014_aarch64", "manylinux_2_28_aarch64"),
        ("musl-x86_64", "musllinux_1_2_x86_64", "musllinux_1_1_x86_64", "musllinux_1_2_x86_64"),
        ("musl-aarch64", "musllinux_1_2_aarch64", "musllinux_1_1_aarch64", "musllinux_1_2_aarch64"),
    ],
)
def test_platform_tags(name: str, first: str, last: str, wheel: str) -> None:
    platform = targets.PLATFORMS[name]
    tags = platform.pip_platforms("2_41")
    assert (tags[0], tags[-1]) == (first, last)
    assert len(tags) == len(set(tags))
    # The wheel built for the platform must be installable by its own tags.
    assert platform.tag in tags
    assert platform.tag == wheel


@pytest.mark.parametrize("root", [None, Path("/cache/a root")])
def test_launcher_starts_the_binary_with_its_arguments(tmp_path: Path, root: Path | None) -> None:
    """The launcher script passes every argument through unchanged, spaces and quotes included."""
    binary = tmp_path / "dir with space" / "python3.13"
    chosen = platforms.Interpreter(targets.PLATFORMS["glibc-aarch64"], "3.13", binary, "test", root)
    body = chosen.launcher('"$0"')
    assert body is not None
    words = shlex.split(body.replace('"$0"', "ARGV0").replace('"$@"', "ARGS"))
    assert words[0] == "exec" and words[-2:] == [str(binary), "ARGS"]
    assert ("-L" in words) == (root is not None)
    assert words[words.index("-0") + 1] == "ARGV0"
    # The emulated CPU model matters: the default is many times slower.
    assert words[words.index("-cpu") + 1] == targets.QEMU_CPU


def test_launcher_environment_runs_children(tmp_path: Path) -> None:
    """A launcher environment's python is sys.executable of itself, so a child starts the same way."""
    host = platforms.Interpreter(
        targets.PLATFORMS["glibc-x86_64"],
        f"{sys.version_info[0]}.{sys.version_info[1]}",
        Path(sys.executable).resolve(),
        "host",
    )
    python = platforms.launcher_env(host, tmp_path / "env")
    probe = (
        "import sys, subprocess; print(subprocess.run([sys.executable, '-c', 'import sys; print(sys.prefix)'], "
        "capture_output=True, text=True, check=True).stdout.strip())"
    )
    out = subprocess.run([str(python), "-I", "-c", probe], capture_output=True, text=True, check=True).stdout
    assert Path(out.strip()) == tmp_path / "env"


def test_junit_counts_group_skip_reasons(tmp_path: Path) -> None:
    report = tmp_path / "junit.xml"
    report.write_text(
        "<testsuites><testsuite>"
        '<testcase name="a"/><testcase name="b"/>'
        '<testcase name="c"><skipped message="Skipped: needs x"/></testcase>'
        '<testcase name="d"><skipped message="needs x"/></testcase>'
        '<testcase name="e"><failure message="no"/></testcase>'
        '<testcase name="f"><error message="setup"/></testcase>'
        "</testsuite></testsuites>",
        encoding="utf-8",
    )
    result = platforms.Result("w", "i")
    platforms._junit_counts(report, result)
    assert (result.passed, result.failed, result.skipped) == (2, 2, {"needs x": 2})


def test_source_versions_are_tried_newest_first() -> None:
    versions = ["1:1.3-1", "1:1.3-1+deb13u1", "1:1.2-9"]
    ordered = sorted(versions, key=functools.cmp_to_key(debian.compare_versions), reverse=True)
    assert ordered == ["1:1.3-1+deb13u1", "1:1.3-1", "1:1.2-9"]


def test_every_debian_package_is_listed_once() -> None:
    listed = [package for packages in debian.PACKAGES.values() for package in packages]
    assert len(listed) == len(set(listed))
