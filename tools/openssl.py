"""libcrypto of OpenSSL 3.5 LTS, configured down to what a private, statically
linked copy needs, built per wheel target with zig from the upstream tarball
in Debian 13's source package (SHA-256 checked), and cached.

VERSION is the one place the embedded OpenSSL's version is written: the
wheels record it beside its licence (checked by tools/wheels.py) and the
README names it (checked by the tools tests).
"""

from __future__ import annotations

import hashlib
import shutil
import tarfile
import tempfile
from collections.abc import Mapping
from pathlib import Path

from tools import cache, debian, host, targets, zig

VERSION = "3.5.7"
DEBIAN_VERSION = f"{VERSION}-1~deb13u2"
TARBALL = f"openssl_{VERSION}.orig.tar.gz"
SHA256 = "a8c0d28a529ca480f9f36cf5792e2cd21984552a3c8e4aa11a24aa31aeac98e8"
# The archive this project can reach serves the trixie pool, not the security one.
SUITES = ("trixie",)
# The module uses AES alone: without the other algorithms and the protocols
# each target's build is about a third shorter.
UNUSED = (
    "argon2", "aria", "bf", "blake2", "camellia", "cast", "chacha", "cmac", "cmp", "cms", "comp", "ct",
    "default-thread-pool", "des", "dgram", "dh", "dsa", "dtls", "ec", "ec2m", "ecdh", "ecdsa", "ecx",
    "gost", "http", "idea", "md4", "mdc2", "ml-dsa", "ml-kem", "ocb", "ocsp", "poly1305", "psk", "quic",
    "rc2", "rc4", "rc5", "rfc3779", "rmd160", "scrypt", "sctp", "seed", "siphash", "siv", "slh-dsa",
    "sm2", "sm3", "sm4", "sock", "srp", "srtp", "ssl", "ssl-trace", "thread-pool", "tls", "ts",
    "ui-console", "whirlpool",
)  # fmt: skip
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
    *(f"no-{feature}" for feature in UNUSED),
    "-fPIC",
)


def _check(tarball: Path) -> Path:
    digest = hashlib.sha256(tarball.read_bytes()).hexdigest()
    if digest != SHA256:
        raise RuntimeError(f"{tarball.name}: SHA-256 {digest}, expected {SHA256}")
    return tarball


def _compile(tarball: Path, folder: Path, openssl_platform: str, environment: Mapping[str, str]) -> None:
    """Builds libcrypto from the tarball into `folder` (lib/libcrypto.a, include/openssl/, LICENSE.txt)."""
    # Inside the artefact's folder, so that an interrupted build leaves nothing behind.
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        with tarfile.open(_check(tarball)) as archive:
            archive.extractall(scratch, filter="tar")
        tree = Path(scratch) / f"openssl-{VERSION}"
        # The scratch folder's name must not reach the objects' debug information.
        flags = [*CONFIGURE, f"-ffile-prefix-map={tree}=openssl-{VERSION}"]
        log = folder / "build.log"
        host.run(["perl", "Configure", openssl_platform, *flags], cwd=tree, env=environment, log=log)
        for goal in ("build_generated", "libcrypto.a"):
            host.run(["make", f"-j{host.jobs()}", goal], cwd=tree, env=environment, log=log)
        (folder / "lib").mkdir()
        shutil.copy2(tree / "libcrypto.a", folder / "lib" / "libcrypto.a")
        (folder / "include").mkdir()
        shutil.copytree(tree / "include" / "openssl", folder / "include" / "openssl")
        shutil.copy2(tree / "LICENSE.txt", folder / "LICENSE.txt")


def _zig_environment(triple: str) -> dict[str, str]:
    zig_binary = str(zig.binary())
    return {
        **targets.build_environment(),
        "CC": f"{zig_binary} cc -target {triple}",
        "AR": f"{zig_binary} ar",
        "RANLIB": f"{zig_binary} ranlib",
    }


def prefix(target: targets.Target) -> Path:
    """A prefix with include/openssl/, lib/libcrypto.a and LICENSE.txt for the target."""

    def build(folder: Path) -> None:
        debian.install("cross")
        sources = debian.source_package("openssl", DEBIAN_VERSION, SUITES)
        print(f"== building libcrypto {VERSION} for {target.zig}", flush=True)
        _compile(sources / TARBALL, folder, target.openssl_platform, _zig_environment(target.zig))

    # OpenSSL's own build runs zig directly: the CMake toolchain files play no part.
    inputs = [
        "openssl",
        DEBIAN_VERSION,
        SHA256,
        *CONFIGURE,
        targets.SOURCE_DATE_EPOCH,
        zig.ZIG_VERSION,
        target.zig,
        target.openssl_platform,
        cache.recipe(_compile, _zig_environment, targets.build_environment),
    ]
    return cache.artefact(f"libcrypto-{target.tag}", inputs, build)
