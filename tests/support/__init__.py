"""Helpers shared by the test suites: tests/ is on sys.path in each conftest."""

import os

# Runs several times slower than a native one (under sanitizers, or an
# interpreter under qemu) take fewer random examples and smaller batches;
# the native runs keep the full counts.
SANITIZED = os.environ.get("QUOVEL_SANITIZED") == "1"
EMULATED = os.environ.get("QUOVEL_EMULATED") == "1"
SLOW = SANITIZED or EMULATED
