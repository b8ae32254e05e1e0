"""What Home Assistant and HACS read from the repository matches the library."""

from __future__ import annotations

import json
from importlib.metadata import version
from pathlib import Path

from homeassistant.const import __version__ as HA_VERSION
from packaging.version import Version

import quovel_bleak

ROOT = Path(__file__).resolve().parent.parent


def test_the_manifest_matches_locks_as_the_driver_documents_and_requires_this_release() -> None:
    manifest = json.loads((ROOT / "custom_components/quovel/manifest.json").read_text(encoding="utf-8"))
    assert manifest["bluetooth"] == [dict(quovel_bleak.BLUETOOTH_MATCHER)]
    assert manifest["requirements"] == [f"quovel[bleak]=={manifest['version']}"]
    # A tagged build is that release; between tags the pin names the release to come,
    # and the release workflow refuses a tag that differs from it.
    installed, pinned = Version(version("quovel")), Version(manifest["version"])
    assert installed == pinned or (installed.is_devrelease and not pinned.is_devrelease)
    hacs = json.loads((ROOT / "hacs.json").read_text(encoding="utf-8"))
    # The oldest Home Assistant HACS offers it to is no newer than the one tested here.
    assert tuple(map(int, hacs["homeassistant"].split("."))) <= tuple(map(int, HA_VERSION.split(".")))
