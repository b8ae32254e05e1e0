"""Facts read from pyproject.toml, for the tools that need them."""

from __future__ import annotations

import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def dependency_group(name: str, pyproject: Path = ROOT / "pyproject.toml") -> list[str]:
    """The requirements of a PEP 735 dependency group, includes resolved."""
    groups = tomllib.loads(pyproject.read_text(encoding="utf-8"))["dependency-groups"]
    found: list[str] = []
    for item in groups[name]:
        found += dependency_group(item["include-group"], pyproject) if isinstance(item, dict) else [item]
    return found
