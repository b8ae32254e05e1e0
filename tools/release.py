"""What a version tag would publish, checked on every test run.

A tag `vX` publishes the sdist and the four wheels the test run built in
build/dist/. Before that tag exists, this builds the sdist and the host's
wheel as the tag would (version X, from the integration's manifest), and
proves:

- the integration's requirement (`quovel[bleak]==X`) installs that wheel
  through Home Assistant's own installer call (`install_package` with the
  arguments `requirements.pip_kwargs` gives it: uv, Home Assistant's package
  constraints), with the wheel's folder as uv's find-links;
- CHANGELOG.md has a section for X;
- the wheel's version is X;
- the sdist builds the wheel the test run tested: the same files with the
  same contents, but for the version in the metadata (and RECORD's hashes).
  Both come out of one incremental build folder, so this shows what the
  sdist changes, not that a fresh build would give the same bytes.

On the tag itself, the tag must name X, build/dist must hold exactly the
files to publish, of version X, and its sdist must rebuild its wheel.
"""

from __future__ import annotations

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tools import targets, wheels

ROOT = Path(__file__).resolve().parent.parent
MANIFEST = ROOT / "custom_components" / "quovel" / "manifest.json"
CHANGELOG = ROOT / "CHANGELOG.md"
WORK = ROOT / "build" / "release"
# The wheel Home Assistant's test environment (glibc x86_64) installs.
HOST = next(t for t in targets.TARGETS if t.libc == "gnu" and not t.emulated)


def _log(message: str) -> None:
    print(f"== {message}", flush=True)


# --- the facts a release must agree on ------------------------------------------


def manifest_problems(manifest: dict[str, Any]) -> list[str]:
    """The manifest must require exactly the release it names."""
    version = manifest.get("version", "")
    expected = [f"quovel[bleak]=={version}"]
    if manifest.get("requirements") != expected:
        return [f"manifest.json requires {manifest.get('requirements')}, not {expected} (its version)"]
    return []


def changelog_section(text: str, version: str) -> str | None:
    """The body of CHANGELOG.md's section for the version, headed `## X` (or `## [X]`, a date after it)."""
    heading = re.compile(rf"^## \[?{re.escape(version)}\]?(?=\s|$).*$", re.MULTILINE)
    found = heading.search(text)
    return None if found is None else text[found.end() :].split("\n## ", 1)[0].strip()


def changelog_problems(text: str, version: str) -> list[str]:
    section = changelog_section(text, version)
    if section is None:
        return [f"CHANGELOG.md has no section '## {version}'"]
    return [] if section else [f"CHANGELOG.md's section {version} is empty"]


def tag_problems(tag: str | None, version: str) -> list[str]:
    if tag is not None and tag != f"v{version}":
        return [f"tag {tag}, but the manifest names {version}"]
    return []


def wheel_version(wheel: Path) -> str:
    with zipfile.ZipFile(wheel) as archive:
        (metadata,) = [name for name in archive.namelist() if name.endswith(".dist-info/METADATA")]
        text = archive.read(metadata).decode()
    found = re.search(r"^Version: (\S+)$", text, re.MULTILINE)
    return found.group(1) if found else ""


def version_problems(artefact: Path, version: str) -> list[str]:
    """The file name and, for a wheel, its metadata both carry the version."""
    problems = []
    if not artefact.name.startswith(f"quovel-{version}-") and artefact.name != f"quovel-{version}.tar.gz":
        problems.append(f"{artefact.name} is not named for version {version}")
    if artefact.suffix == ".whl" and (found := wheel_version(artefact)) != version:
        problems.append(f"{artefact.name} says version {found}, not {version}")
    return problems


def _contents(wheel: Path) -> dict[str, bytes]:
    """A wheel's files with its version taken out of the metadata folder's name and
    METADATA, and without RECORD (the files' hashes, which change with any of them)."""
    version = wheel_version(wheel)
    folder = f"quovel-{version}.dist-info/"
    contents = {}
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            if name == f"{folder}RECORD":
                continue
            data = archive.read(name)
            if name == f"{folder}METADATA":
                data = data.replace(f"\nVersion: {version}\n".encode(), b"\nVersion: *\n", 1)
            contents[name.replace(folder, "quovel-*.dist-info/", 1)] = data
    return contents


def wheel_differences(first: Path, second: Path) -> list[str]:
    """What differs between two wheels but for their versions (and RECORD)."""
    a, b = _contents(first), _contents(second)
    problems = [f"only in {first.name}: {name}" for name in sorted(a.keys() - b.keys())]
    problems += [f"only in {second.name}: {name}" for name in sorted(b.keys() - a.keys())]
    problems += [f"{name} differs" for name in sorted(a.keys() & b.keys()) if a[name] != b[name]]
    return problems


def published_problems(dist: Path, version: str) -> list[str]:
    """What the release workflow uploads from build/dist must be the sdist and one wheel per target, of the version."""
    published = sorted(dist.glob("quovel-*.tar.gz")) + sorted(dist.glob("quovel-*.whl"))
    expected = sorted([f"quovel-{version}.tar.gz", *(f"quovel-{version}-cp312-abi3-{t}.whl" for t in targets.TAGS)])
    if sorted(p.name for p in published) != expected:
        return [f"build/dist holds {sorted(p.name for p in published)}, not {expected}"]
    return [problem for artefact in published for problem in version_problems(artefact, version)]


def current_tag() -> str | None:
    """The version tag the checkout is exactly at, if any."""
    result = subprocess.run(
        ["git", "-C", str(ROOT), "describe", "--exact-match", "--tags", "--match", "v*", "HEAD"],
        capture_output=True,
        text=True,
    )
    return result.stdout.strip() if result.returncode == 0 else None


# --- Home Assistant's installer ---------------------------------------------------

# Run by Home Assistant's interpreter: its own call, with the keyword
# arguments it gives every requirement, into a folder of its own (the
# `target` Home Assistant passes outside a virtual environment), so that the
# cached environment stays as it is.
_INSTALL = """
import logging, sys
from homeassistant import requirements
from homeassistant.util import package
logging.basicConfig(level=logging.INFO, format="%(message)s")
requirement, target = sys.argv[1:]
kwargs = {**requirements.pip_kwargs(None), "target": target}
sys.exit(0 if package.install_package(requirement, **kwargs) else 1)
"""

_IMPORT = """
import importlib.metadata, json, sys
sys.path.insert(0, sys.argv[1])
import quovel, quovel_bleak, bleak, bleak_retry_connector
print(json.dumps({"version": importlib.metadata.version("quovel"), "module": quovel.__file__}))
"""


def ha_install(requirement: str, wheel: Path, scratch: Path) -> list[str]:
    """Installs `requirement` as Home Assistant would, finding `wheel` beside the index; what went wrong."""
    from tools import ha_env

    python = ha_env.environment()
    links = scratch / "links"
    target = scratch / "deps"
    shutil.rmtree(scratch, ignore_errors=True)
    links.mkdir(parents=True)
    shutil.copy2(wheel, links / wheel.name)
    environment = {**os.environ, "UV_FIND_LINKS": str(links)}
    _log(f"installing {requirement} with Home Assistant's installer (find-links {links})")
    result = subprocess.run(
        [str(python), "-c", _INSTALL, requirement, str(target)], env=environment, capture_output=True, text=True
    )
    if result.returncode != 0:
        return [f"Home Assistant cannot install {requirement}: {' '.join(result.stderr.split())[-2000:]}"]
    found = subprocess.run([str(python), "-c", _IMPORT, str(target)], capture_output=True, text=True)
    if found.returncode != 0:
        return [f"{requirement} installed but does not import: {found.stderr.strip()[-1000:]}"]
    loaded = json.loads(found.stdout)
    module = Path(loaded["module"])
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".abi3.so")]
        ours = hashlib.sha256(archive.read(name)).hexdigest()
    problems = []
    if not module.is_relative_to(target) or hashlib.sha256(module.read_bytes()).hexdigest() != ours:
        problems.append(f"Home Assistant's installer did not take {wheel.name} (it loads {module})")
    if loaded["version"] != wheel_version(wheel):
        problems.append(f"Home Assistant's installer installed quovel {loaded['version']}")
    return problems


# --- the whole check --------------------------------------------------------------


def _timed(label: str, action: Callable[[], Any], timings: dict[str, float]) -> Any:
    started = time.monotonic()
    result = action()
    timings[label] = time.monotonic() - started
    return result


def check(dist: Path, tested: Path | None) -> list[str]:
    """Builds what a tag would publish (on a tag, from build/dist's sdist) and returns
    every problem found, printing how long each step took. `tested` is the host's
    wheel the test run built and tested, None if it is missing or stale."""
    timings: dict[str, float] = {}
    manifest = json.loads(MANIFEST.read_text(encoding="utf-8"))
    version = str(manifest.get("version", ""))
    tag = current_tag()
    problems = facts()
    _log(f"release {version}" + (f" (tag {tag})" if tag else ", as tag v" + version + " would build it"))

    if tag:
        problems += published_problems(dist, version)
    given = dist / f"quovel-{version}.tar.gz"
    if tag and given.exists():
        sdist = given
    else:
        sdist = _timed("sdist", lambda: wheels.build_sdist(WORK / "dist", version), timings)
    problems += version_problems(sdist, version)
    if tested is None:
        tested = _timed("tested wheel (none current in build/dist)", lambda: wheels.build_wheel(HOST, dist), timings)
    # From the same build folder as the tested wheel: what the sdist changes is rebuilt.
    wheel: Path = _timed(
        "wheel from the sdist", lambda: wheels.build_wheel(HOST, WORK / "dist", sdist=sdist, version=version), timings
    )
    problems += version_problems(wheel, version)
    problems += [f"{tested.name} (tested) and {wheel.name}: {d}" for d in wheel_differences(tested, wheel)]

    problems += _timed(
        "Home Assistant's installer",
        lambda: ha_install(manifest["requirements"][0], wheel, WORK / "ha-install"),
        timings,
    )
    _log("; ".join(f"{label} {seconds:.0f} s" for label, seconds in timings.items()))
    return problems


def facts() -> list[str]:
    """The checks that need no build: the manifest, the tag and the changelog."""
    manifest = json.loads(MANIFEST.read_text(encoding="utf-8"))
    version = str(manifest.get("version", ""))
    return (
        manifest_problems(manifest)
        + tag_problems(current_tag(), version)
        + changelog_problems(CHANGELOG.read_text(encoding="utf-8"), version)
    )


def main(argv: list[str]) -> int:
    """Without arguments, `facts()`; with --notes, the changelog's section for the manifest's version."""
    if argv == ["--notes"]:
        version = json.loads(MANIFEST.read_text(encoding="utf-8"))["version"]
        print(changelog_section(CHANGELOG.read_text(encoding="utf-8"), version) or "")
        return 0
    found = facts()
    print("\n".join(found) or "the manifest, the tag and the changelog agree")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
