"""The release check's verdicts, and the facts it holds the repository to."""

from __future__ import annotations

import re
import zipfile
from pathlib import Path

import pytest

from tools import openssl, release, targets

ROOT = Path(__file__).resolve().parents[2]

CHANGELOG = "# Changelog\n\n## 0.2.0\n\n### Fixed\n\n- a thing\n\n## 0.1.0 - 2026-12-08\n\n## [0.0.9]\n\n- old\n"


@pytest.mark.parametrize(
    ("version", "problem"),
    [
        ("0.2.0", None),
        ("0.0.9", None),
        ("0.1.0", "section 0.1.0 is empty"),
        ("0.3.0", "no section '## 0.3.0'"),
        ("0.2", "no section '## 0.2'"),  # a prefix of 0.2.0 is another version
    ],
)
def test_changelog_needs_a_section_for_the_version(version: str, problem: str | None) -> None:
    found = release.changelog_problems(CHANGELOG, version)
    assert found == [] if problem is None else problem in " ".join(found)


@pytest.mark.parametrize(
    ("manifest", "tag", "fails"),
    [
        ({"version": "0.2.0", "requirements": ["quovel[bleak]==0.2.0"]}, None, False),
        ({"version": "0.2.0", "requirements": ["quovel[bleak]==0.2.0"]}, "v0.2.0", False),
        ({"version": "0.2.0", "requirements": ["quovel[bleak]==0.2.0"]}, "v0.2.1", True),
        ({"version": "0.2.0", "requirements": ["quovel[bleak]==0.1.0"]}, None, True),
        ({"version": "0.2.0", "requirements": ["quovel==0.2.0"]}, None, True),
    ],
)
def test_manifest_and_tag_name_one_version(manifest: dict[str, object], tag: str | None, fails: bool) -> None:
    version = str(manifest["version"])
    assert bool(release.manifest_problems(manifest) + release.tag_problems(tag, version)) is fails


def _wheel(path: Path, version: str, files: dict[str, bytes]) -> Path:
    info = f"quovel-{version}.dist-info"
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)
        archive.writestr(f"{info}/METADATA", f"Metadata-Version: 2.4\nName: quovel\nVersion: {version}\n")
        archive.writestr(f"{info}/RECORD", str(path))  # differs between any two files
    return path


def test_wheel_version_is_read_from_name_and_metadata(tmp_path: Path) -> None:
    good = _wheel(tmp_path / "quovel-0.2.0-cp312-abi3-x.whl", "0.2.0", {})
    assert release.version_problems(good, "0.2.0") == []
    renamed = _wheel(tmp_path / "quovel-0.2.0-cp312-abi3-y.whl", "0.2.0.dev3", {})
    assert release.version_problems(renamed, "0.2.0") == [f"{renamed.name} says version 0.2.0.dev3, not 0.2.0"]
    assert release.version_problems(good, "0.2.1") == [
        f"{good.name} is not named for version 0.2.1",
        f"{good.name} says version 0.2.0, not 0.2.1",
    ]


def test_wheels_compare_by_files_and_contents_but_version_and_record(tmp_path: Path) -> None:
    files = {"quovel.abi3.so": b"\x7fELF", "quovel_bleak/__init__.py": b""}
    tested = _wheel(tmp_path / "a.whl", "0.2.0.dev7", files)
    assert release.wheel_differences(tested, _wheel(tmp_path / "b.whl", "0.2.0", files)) == []
    other = _wheel(tmp_path / "c.whl", "0.2.0", {"quovel.abi3.so": b"\x7fELF!", "extra.py": b""})
    assert release.wheel_differences(tested, other) == [
        "only in a.whl: quovel_bleak/__init__.py",
        "only in c.whl: extra.py",
        "quovel.abi3.so differs",
    ]


@pytest.mark.parametrize(
    ("names", "fails"),
    [
        ([], False),
        (["quovel-0.2.0-cp312-abi3-musllinux_1_2_aarch64.whl"], True),  # a target's wheel missing
        (["quovel-0.2.0.tar.gz"], True),
        (["quovel-0.1.0.tar.gz"], True),  # a stray, older file would be uploaded too
    ],
)
def test_a_tag_publishes_exactly_one_sdist_and_a_wheel_per_target(
    tmp_path: Path, names: list[str], fails: bool
) -> None:
    (tmp_path / "quovel-0.2.0.tar.gz").write_bytes(b"")
    for tag in targets.TAGS:
        _wheel(tmp_path / f"quovel-0.2.0-cp312-abi3-{tag}.whl", "0.2.0", {})
    for name in names:  # removed if there, added if not
        path = tmp_path / name
        if path.exists():
            path.unlink()
        else:
            path.write_bytes(b"")
    assert bool(release.published_problems(tmp_path, "0.2.0")) is fails


def test_readme_names_the_embedded_openssl() -> None:
    # The wheels' own note is checked against the same VERSION when each is built.
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert set(re.findall(r"OpenSSL (\d+\.\d+\.\d+)", readme)) == {openssl.VERSION}
