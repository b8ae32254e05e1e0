"""Helpers shared by the test suites: tests/ is on sys.path in each conftest."""
