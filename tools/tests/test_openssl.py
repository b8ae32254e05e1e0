"""The private libcrypto the wheels embed."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from tools import openssl, targets, zig

FETCH = r"""
#include <openssl/evp.h>
#include <stdio.h>
int main(void) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(NULL, "AES-128-CBC", NULL);
    puts(cipher ? "fetched" : "failed");
    EVP_CIPHER_free(cipher);
    return cipher ? 0 : 1;
}
"""

# Asks for a provider no build here can load.
BAD_CONFIG = """openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
bogus = bogus_sect
[bogus_sect]
activate = 1
"""


def test_embedded_libcrypto_ignores_the_hosts_openssl_config(tmp_path: Path) -> None:
    source = tmp_path / "fetch.c"
    source.write_text(FETCH)
    config = tmp_path / "openssl.cnf"
    config.write_text(BAD_CONFIG)
    environment = {**os.environ, "OPENSSL_CONF": str(config)}

    target = targets.get("manylinux_2_28_x86_64")
    prefix = openssl.prefix(target)
    ours = tmp_path / "ours"
    subprocess.run(
        [
            str(zig.binary()),
            "cc",
            "-target",
            target.zig,
            "-O2",
            f"-I{prefix / 'include'}",
            str(source),
            str(prefix / "lib" / "libcrypto.a"),
            "-lpthread",
            "-ldl",
            "-o",
            str(ours),
        ],
        check=True,
        env=targets.build_environment(),
    )
    assert subprocess.run([str(ours)], env=environment, capture_output=True, text=True).stdout == "fetched\n"

    # The control: a libcrypto that reads the file fails on it, so the file does test something.
    if shutil.which("gcc") and Path("/usr/include/openssl/evp.h").exists():
        system = tmp_path / "system"
        subprocess.run(["gcc", str(source), "-o", str(system), "-lcrypto"], check=True)
        assert subprocess.run([str(system)], env=environment, capture_output=True, text=True).stdout == "failed\n"
