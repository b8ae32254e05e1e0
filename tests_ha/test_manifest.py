"""What Home Assistant and HACS read from the repository matches the library."""

from __future__ import annotations

import json
from importlib.metadata import version
from pathlib import Path

from homeassistant.const import __version__ as HA_VERSION

import quovel_bleak

ROOT = Path(__file__).resolve().parent.parent


def test_the_manifest_matches_locks_as_the_driver_documents_and_requires_this_release() -> None:
    manifest = json.loads((ROOT / "custom_components/quovel/manifest.json").read_text(encoding="utf-8"))
    assert manifest["bluetooth"] == [dict(quovel_bleak.BLUETOOTH_MATCHER)]
    assert manifest["requirements"] == [f"quovel[bleak]=={version('quovel')}"]
    assert manifest["version"] == version("quovel")
    hacs = json.loads((ROOT / "hacs.json").read_text(encoding="utf-8"))
    # The oldest Home Assistant HACS offers it to is no newer than the one tested here.
    assert tuple(map(int, hacs["homeassistant"].split("."))) <= tuple(map(int, HA_VERSION.split(".")))
