"""libcrypto of OpenSSL 3.5 LTS, built per wheel target with zig and cached.

The source is Debian 13's source package (the upstream tarball as signed into
the archive), configured down to what a private, statically linked copy
needs. The cache key covers the version, the flags, the toolchain and this
file.
"""

from __future__ import annotations

import shutil
import subprocess
import tarfile
import tempfile
from pathlib import Path

from tools import cache, debian, targets, zig

VERSION = "3.5.7"
DEBIAN_VERSION = f"{VERSION}-1~deb13u2"
# The archive this project can reach serves the trixie pool, not the security one.
SUITES = ("trixie",)
CONFIGURE = (
    "no-shared",
    "no-tests",
    "no-apps",
    "no-docs",
    "no-engine",
    "no-legacy",
    "no-module",
    # A private copy must not read whatever openssl.cnf the host has (or
    # $OPENSSL_CONF names): such a file can ask for providers this build cannot load.
    "no-autoload-config",
    "-fPIC",
)
# OpenSSL's own name for each architecture's Linux platform.
_PLATFORM = {"x86_64": "linux-x86_64", "aarch64": "linux-aarch64"}


def prefix(target: str) -> Path:
    """A prefix with include/openssl/, lib/libcrypto.a and LICENSE.txt for the target."""
    triple = targets.zig_target(target)

    def build(folder: Path) -> None:
        sources = debian.source_package("openssl", DEBIAN_VERSION, SUITES)
        tarball = sources / f"openssl_{VERSION}.orig.tar.gz"
        print(f"== building libcrypto {VERSION} for {triple}", flush=True)
        # Inside the artefact's folder, so that an interrupted build leaves nothing behind.
        with tempfile.TemporaryDirectory(dir=folder) as scratch:
            with tarfile.open(tarball) as archive:
                archive.extractall(scratch, filter="tar")
            tree = Path(scratch) / f"openssl-{VERSION}"
            zig_binary = str(zig.binary())
            environment = {
                **targets.build_environment(),
                "CC": f"{zig_binary} cc -target {triple}",
                "AR": f"{zig_binary} ar",
                "RANLIB": f"{zig_binary} ranlib",
            }
            # The scratch folder's name must not reach the objects' debug information.
            flags = [*CONFIGURE, f"-ffile-prefix-map={tree}=openssl-{VERSION}"]
            steps = [
                ["perl", "Configure", _PLATFORM[triple.partition("-")[0]], *flags],
                ["make", f"-j{targets.jobs()}", "build_generated"],
                ["make", f"-j{targets.jobs()}", "libcrypto.a"],
            ]
            log = folder / "build.log"
            with open(log, "w") as output:
                for step in steps:
                    result = subprocess.run(step, cwd=tree, env=environment, stdout=output, stderr=subprocess.STDOUT)
                    if result.returncode != 0:
                        print(log.read_text()[-4000:])
                        raise subprocess.CalledProcessError(result.returncode, step)
            (folder / "lib").mkdir()
            shutil.copy2(tree / "libcrypto.a", folder / "lib" / "libcrypto.a")
            (folder / "include").mkdir()
            shutil.copytree(tree / "include" / "openssl", folder / "include" / "openssl")
            shutil.copy2(tree / "LICENSE.txt", folder / "LICENSE.txt")

    # OpenSSL's own build runs zig directly: the CMake toolchain files play no part.
    inputs = ["openssl", DEBIAN_VERSION, *CONFIGURE, targets.SOURCE_DATE_EPOCH, zig.ZIG_VERSION, triple, Path(__file__)]
    return cache.artefact(f"libcrypto-{target}", inputs, build)
