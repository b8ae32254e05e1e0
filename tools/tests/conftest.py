import sys
from pathlib import Path

# The tests import the build tooling as the package `tools`, from the checkout.
sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
