"""What Home Assistant and HACS read from the repository matches the library."""

from __future__ import annotations

import json
import struct
from importlib.metadata import version
from pathlib import Path

import pytest
import voluptuous as vol
from awesomeversion import AwesomeVersion
from homeassistant.const import __version__ as HA_VERSION
from homeassistant.helpers import config_validation as cv
from packaging.version import Version

import quovel_bleak

ROOT = Path(__file__).resolve().parents[2]
INTEGRATION = ROOT / "custom_components" / "quovel"
MANIFEST = json.loads((INTEGRATION / "manifest.json").read_text(encoding="utf-8"))
HACS = json.loads((ROOT / "hacs.json").read_text(encoding="utf-8"))

# What HACS 2.0's validation accepts in hacs.json, and requires of an integration's manifest.
HACS_JSON = vol.Schema(
    {
        vol.Required("name"): str,
        vol.Optional("content_in_root"): bool,
        vol.Optional("country"): vol.Any(str, [str]),
        vol.Optional("filename"): str,
        vol.Optional("hacs"): str,
        vol.Optional("hide_default_branch"): bool,
        vol.Optional("homeassistant"): str,
        vol.Optional("persistent_directory"): str,
        vol.Optional("render_readme"): bool,
        vol.Optional("zip_release"): bool,
    },
    extra=vol.PREVENT_EXTRA,
)
HACS_MANIFEST = vol.Schema(
    {
        vol.Required("domain"): INTEGRATION.name,
        vol.Required("name"): str,
        vol.Required("documentation"): cv.url,
        vol.Required("issue_tracker"): cv.url,
        vol.Required("codeowners"): [vol.Match(r"^@")],
        vol.Required("version"): vol.Coerce(AwesomeVersion),
        vol.Required("requirements"): [str],
    },
    extra=vol.ALLOW_EXTRA,
)


def test_the_manifest_matches_locks_as_the_driver_documents_and_requires_this_release() -> None:
    assert MANIFEST["bluetooth"] == [dict(quovel_bleak.BLUETOOTH_MATCHER)]
    assert MANIFEST["requirements"] == [f"quovel[bleak]=={MANIFEST['version']}"]
    # A tagged build is that release; between tags the pin names the release to come,
    # and release_check refuses a tag that differs from it.
    installed, pinned = Version(version("quovel")), Version(MANIFEST["version"])
    assert installed == pinned or (installed.is_devrelease and not pinned.is_devrelease)
    # The oldest Home Assistant HACS offers it to is no newer than the one tested here.
    assert tuple(map(int, HACS["homeassistant"].split("."))) <= tuple(map(int, HA_VERSION.split(".")))


def test_hacs_accepts_the_repository_and_offers_tagged_releases_only() -> None:
    HACS_JSON(HACS)
    HACS_MANIFEST(MANIFEST)
    # Between tags the manifest pins a release that is not published yet: the
    # default branch must never be installable. Releases are the tag's sources.
    assert HACS["hide_default_branch"] is True and not HACS.get("zip_release")


def _png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR", f"{path.name} is not a PNG"
    width, height = struct.unpack(">II", data[16:24])
    return width, height


# Home Assistant serves these names from brand/; the brands guidelines give
# the sizes: a square icon, a logo whose shorter side is within a range.
BRAND_SIZES = {
    "icon.png": ((256, 256), None),
    "icon@2x.png": ((512, 512), None),
    "logo.png": (None, (128, 256)),
    "logo@2x.png": (None, (256, 512)),
}


@pytest.mark.parametrize("name", sorted(BRAND_SIZES))
def test_brand_image_exists_at_its_size(name: str) -> None:
    exact, shorter = BRAND_SIZES[name]
    size = _png_size(INTEGRATION / "brand" / name)
    if exact:
        assert size == exact
    else:
        assert shorter[0] <= min(size) <= shorter[1] and size[0] >= size[1], size


def test_brand_folder_holds_only_what_home_assistant_serves() -> None:
    served = {
        f"{dark}{kind}{scale}.png" for dark in ("", "dark_") for kind in ("icon", "logo") for scale in ("", "@2x")
    }
    assert {path.name for path in (INTEGRATION / "brand").iterdir()} <= served
