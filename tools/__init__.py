"""Build and test tooling of the repository (not shipped in the wheel)."""
