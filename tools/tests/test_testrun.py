"""The test command's order: what waits for what, and what never overlaps."""

from __future__ import annotations

from tools import testrun

LISTED = [
    {"session": name, "name": name.split("(")[0]}
    for name in [
        "tools_tests",
        "fuzz_run",
        "fuzz_coverage",
        "lint",
        "sdist",
        "wheel(target='a')",
        "wheel(target='b')",
        "platforms_all",
        "ha_tests",
        "release_check",
    ]
]


def test_the_sdist_and_the_wheels_come_first_and_the_platform_runs_wait_for_every_wheel() -> None:
    sessions = testrun.plan(LISTED)
    assert [s.name for s in sessions[:3]] == ["sdist", "wheel(target='a')", "wheel(target='b')"]
    by_name = {s.name: s for s in sessions}
    assert by_name["platforms_all"].needs == {"wheel(target='a')", "wheel(target='b')"}
    assert by_name["wheel(target='a')"].needs == {"sdist"}
    assert by_name["fuzz_coverage"].needs == {"fuzz_run"}


def test_every_session_runs_once_and_sessions_sharing_a_folder_never_overlap() -> None:
    sessions = testrun.plan(LISTED)
    rounds = []
    while any(s.status == "waiting" for s in sessions):
        while (session := testrun.runnable(sessions)) is not None:
            session.status = "running"
        running = [s for s in sessions if s.status == "running"]
        assert running, "nothing can start: a cycle"
        for resource in testrun.SHARED:
            assert sum(resource in s.resources for s in running) <= 1
        rounds.append({s.name for s in running})
        for session in running:
            session.status = "passed"
    assert sum(len(r) for r in rounds) == len(LISTED)
    assert {"sdist", "fuzz_run"} <= rounds[0] and "lint" not in rounds[0]
