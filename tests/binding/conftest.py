"""The fixtures shared by the suites (tests/support/fixtures.py), for these tests."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # tests/, for the shared helpers in support/

from support.fixtures import sim_link, sim_lock

__all__ = ["sim_lock", "sim_link"]
