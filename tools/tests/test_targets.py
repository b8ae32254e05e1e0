"""The target table and what derives from it: toolchain files, the classifiers,
that nothing else lists the targets, and the cache keys of build recipes."""

from __future__ import annotations

import importlib.util
import re
import tomllib
from collections.abc import Callable
from pathlib import Path

import pytest

from tools import cache, host, targets

ROOT = Path(__file__).resolve().parents[2]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))


@pytest.mark.parametrize("target", targets.TARGETS, ids=targets.TAGS)
def test_row_agrees_with_its_toolchain_file_and_tag(target: targets.Target) -> None:
    text = target.toolchain_file.read_text(encoding="utf-8")
    assert re.findall(r"^set\(QUOVEL_ZIG_TARGET (\S+)\)$", text, re.MULTILINE) == [target.zig]
    assert re.findall(r"^set\(CMAKE_SYSTEM_PROCESSOR (\S+)\)$", text, re.MULTILINE) == [target.arch]
    musl = re.findall(r"^set\(QUOVEL_MUSL_LIBC (\S+)\)$", text, re.MULTILINE)
    assert musl == ([] if target.libc == "gnu" else sorted(target.needed))
    assert target.tag.startswith("manylinux_" if target.libc == "gnu" else "musllinux_")
    assert target.tag.endswith(f"_{target.arch}") and target.zig.startswith(f"{target.arch}-linux-{target.libc}")
    assert target.openssl_platform == f"linux-{target.arch}"
    assert set(target.interpreters) <= set(host.PYTHON_VERSIONS)


def test_every_toolchain_file_has_a_row() -> None:
    files = {path.stem for path in targets.TOOLCHAINS.glob("*.cmake")} - {"zig"}
    assert files == set(targets.TAGS)


def test_classifiers_name_the_tested_versions() -> None:
    classified = {
        c.rpartition(" :: ")[2] for c in PYPROJECT["project"]["classifiers"] if re.fullmatch(r".* :: 3\.\d+", c)
    }
    assert classified == {version for _, version in targets.INTERPRETERS}
    assert PYPROJECT["project"]["requires-python"] == f">={host.PYTHON_VERSIONS[0]}"


def test_no_other_build_file_lists_the_targets() -> None:
    # A target is its row and toolchain file: the packaging configuration and
    # the release workflow take the wheels the test run built, whatever they are.
    files = [ROOT / "pyproject.toml", *sorted((ROOT / ".github" / "workflows").glob("*.yml"))]
    named = {
        f"{path.relative_to(ROOT)}: {word}"
        for path in files
        for word in re.findall(r"(?:many|musl)linux\w*", path.read_text(encoding="utf-8"))
    }
    assert not named


def _functions(folder: Path, name: str, source: str) -> Callable[..., object]:
    path = folder / f"{name}.py"
    path.write_text(source, encoding="utf-8")
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    function: Callable[..., object] = module.build
    return function


BUILD = 'def build(folder):\n    """Makes it."""\n    run(["make", "-j2", folder])  # quick\n'
SAME = "def build(folder):\n    # Reworded, reformatted.\n    run(\n        ['make', '-j2', folder],\n    )\n"
OTHER = 'def build(folder):\n    run(["make", "-j2", "install", folder])\n'


def test_recipe_keys_follow_the_code_not_its_layout(tmp_path: Path) -> None:
    first, same, other = (
        cache.recipe(_functions(tmp_path, name, source))
        for name, source in (("first", BUILD), ("same", SAME), ("other", OTHER))
    )
    assert first == same
    assert first != other
