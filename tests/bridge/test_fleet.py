"""Choosing a lock's server among several bridges, and commands handed on: no broker needed."""

from __future__ import annotations

import json
from typing import Any

import pytest

from quovel_mqtt.fleet import Coordinator, Fleet, Handoff, Handoffs, Hearing, Recent, Report
from quovel_mqtt.topics import Topics

L = "c43a510b7e19"


def fleet_of(me: str, reports: dict[str, Report], online: set[str]) -> Fleet:
    fleet = Fleet(me)
    for bridge_id in online:
        fleet.on_availability(bridge_id, True)
    for bridge_id, report in reports.items():
        fleet.on_report(L, bridge_id, report)
    return fleet


HEARS = Report(True, -70)
# (reports, bridges online besides "a", the server)
CASES = [
    ({"b": HEARS, "c": Report(True, -55)}, {"b", "c"}, "c"),
    ({"b": HEARS, "c": Report(True, -55)}, {"b"}, "b"),  # c's Last Will
    ({"b": Report(True, -70), "c": Report(True, -70)}, {"b", "c"}, "b"),  # a tie: the smaller id
    ({"b": Report(False, -40), "c": Report(True, -90)}, {"b", "c"}, "c"),  # b stopped hearing it
    ({"b": Report(True, -40, free_slot=False), "c": Report(True, -80)}, {"b", "c"}, "c"),
    ({"b": Report(False, None), "c": Report(False, -60)}, {"b", "c"}, "c"),  # nobody hears it: still kept
    ({"b": Report(True, None), "c": Report(True, -99)}, {"b", "c"}, "c"),
    ({"b": HEARS}, set(), None),  # b is offline and a is not configured for it
    ({"a": Report(False, None), "b": HEARS}, {"b"}, "b"),
]


@pytest.mark.parametrize(("reports", "online", "server"), CASES)
def test_every_bridge_names_the_same_server(reports: dict[str, Report], online: set[str], server: str | None) -> None:
    views = [fleet_of(me, reports, online | {"a"} - {me}) for me in sorted(online | {"a"})]
    assert {view.server(L) for view in views} == {server}


def test_availability_and_withdrawn_reports() -> None:
    fleet = fleet_of("a", {"a": Report(False, None), "b": HEARS}, {"b"})
    fleet.on_availability("a", False)  # our own earlier Will: we are connected now
    assert fleet.server(L) == "b"
    fleet.on_availability("b", False)
    assert (fleet.server(L), fleet.keeper()) == ("a", "a")
    fleet.on_report(L, "a", None)
    assert fleet.known(L) and fleet.server(L) is None
    assert not fleet.known("000000000000") and fleet.servers() == {L: None}


def test_reports_move_in_steps() -> None:
    hearing = Hearing(step=6)
    assert hearing.due(True, True, 1.0) == Report(True, None, True, 1.0)
    hearing.heard(-70)
    assert hearing.due(True, True, 2.0) == Report(True, -70, True, 2.0)
    for rssi in (-66, -74, -67, None):
        hearing.heard(rssi)
        assert hearing.due(True, True, 3.0) is None
    for _ in range(5):
        hearing.heard(-50)
    assert hearing.due(True, True, 4.0) == Report(True, -53, True, 4.0)
    assert hearing.due(False, True, 5.0) == Report(False, -53, True, 5.0)
    assert hearing.due(False, False, 6.0) is not None


@pytest.mark.parametrize(
    ("payload", "report"),
    [
        (Report(True, -61, False, 12.5).encode(), Report(True, -61, False, 12.5)),
        ('{"available": true}', Report(True, None)),
        ('{"available": "yes", "rssi": true}', Report(False, None)),
        ("", None),
        ("[1]", None),
        ('{"rssi": -50}', None),
    ],
)
def test_report_payloads(payload: str, report: Report | None) -> None:
    assert Report.decode(payload) == report


def test_a_handoff_leaves_once() -> None:
    handoffs = Handoffs()
    for number, server in enumerate("bbc"):
        handoffs.add(Handoff(f"id{number}", L, "LOCK", server, started=float(number)))
    assert [h.id for h in handoffs.lost("b")] == ["id0", "id1"]
    assert handoffs.settled("id0") is None and len(handoffs) == 1
    assert handoffs.expired(10.0, limit=9.0) == []
    assert [h.id for h in handoffs.expired(11.0, limit=9.0)] == ["id2"]
    assert handoffs.settled("id2") is None
    recent = Recent(size=2)
    assert [recent.first_time(i) for i in ("x", "x", "y", "z", "x")] == [True, False, True, True, True]


@pytest.mark.parametrize(
    ("topic", "parsed"),
    [
        ("quovel/bridge/garage/availability", ("availability", "garage")),
        (f"quovel/{L}/bridges/garage", ("report", L, "garage")),
        (f"quovel/bridge/hall/set/{L}", ("forward", L)),
        (f"quovel/bridge/garage/accepted/{L}", ("accepted", L, "garage")),
        (f"quovel/{L}/result", ("result", L)),
        (f"quovel/bridge/garage/set/{L}", None),
        (f"quovel/{L}/set", ("command", L)),
        (f"quovel/{L}/state", None),
        (f"other/{L}/set", None),
    ],
)
def test_topics_parse(topic: str, parsed: tuple[str, ...] | None) -> None:
    assert Topics("quovel", "homeassistant", "hall").parse(topic) == parsed


class Bus:
    """Bridges' coordinators on one in-memory broker: every message reaches every one of them."""

    def __init__(self, *names: str) -> None:
        self.sent: list[tuple[str, str]] = []
        self.served: list[tuple[str, str, str, str]] = []
        self.gained: dict[str, set[str]] = {name: set() for name in names}
        self.nodes = {name: Coordinator(Topics("quovel", "ha", name), _Host(self, name), [L]) for name in names}
        for name in names:
            self.deliver(f"quovel/bridge/{name}/availability", "online")

    def deliver(self, topic: str, payload: str) -> None:
        self.sent.append((topic, payload))
        for node in list(self.nodes.values()):
            node.on_message(topic, payload)

    def results(self) -> list[dict[str, Any]]:
        return [json.loads(p) for t, p in self.sent if t == f"quovel/{L}/result"]

    def kill(self, name: str) -> None:
        del self.nodes[name]
        self.deliver(f"quovel/bridge/{name}/availability", "offline")


class _Host:
    def __init__(self, bus: Bus, name: str) -> None:
        self.bus, self.name = bus, name

    def publish(self, topic: str, payload: str, *, retain: bool, expiry: int | None = None) -> None:
        if self.name in self.bus.nodes:
            self.bus.deliver(topic, payload)

    def serve(self, object_id: str, command: str, command_id: str) -> None:
        self.bus.served.append((self.name, object_id, command, command_id))

    def lock_state(self, object_id: str) -> str | None:
        return "LOCKED"

    def serve_afresh(self, object_ids: set[str]) -> None:
        self.bus.gained[self.name] |= object_ids


def test_a_command_handed_on_is_carried_out_once_and_answered_once() -> None:
    bus = Bus("a", "b", "c")
    bus.nodes["b"].report(L, True, True)
    bus.nodes["a"].heard(L, -80)
    bus.nodes["a"].report(L, True, True)
    bus.nodes["b"].heard(L, -50)
    bus.nodes["b"].report(L, True, True)
    assert bus.gained["b"] == {L} and not bus.gained["c"]
    assert [node.serves(L) for node in bus.nodes.values()] == [False, True, False]
    # c is configured for it too but hears nothing: it hands commands on as a stranger would.
    assert bus.nodes["c"].on_command(L, "UNLOCK") and bus.nodes["a"].on_command(L, "LOCK")
    assert [(s[0], s[2]) for s in bus.served] == [("b", "UNLOCK"), ("b", "LOCK")]
    # The same handoff delivered twice is carried out once.
    forward = next(m for m in bus.sent if m[0] == f"quovel/bridge/b/set/{L}")
    bus.deliver(*forward)
    assert len(bus.served) == 2
    assert not bus.nodes["a"].handoffs and len(bus.nodes["a"].taken) == 2
    bus.deliver(f"quovel/{L}/result", json.dumps({"id": bus.served[0][3], "command": "UNLOCK", "result": "ok"}))
    # b dies with LOCK taken and unanswered: one failed result, from the keeper alone.
    bus.kill("b")
    results = bus.results()
    assert [(r["command"], r["result"]) for r in results] == [("UNLOCK", "ok"), ("LOCK", "failed")]
    assert results[1]["kind"] == "unreachable" and "may or may not" in results[1]["message"]
    assert bus.nodes["a"].serves(L) and bus.nodes["c"].on_command(L, "REFRESH") and bus.served[-1][0] == "a"


def test_handoffs_not_taken_fail_once() -> None:
    now = [0.0]
    bus = Bus("a", "b")
    bus.nodes["a"] = Coordinator(Topics("quovel", "ha", "a"), _Host(bus, "a"), [], clock=lambda: now[0])
    bus.deliver("quovel/bridge/b/availability", "online")
    bus.nodes["b"].report(L, True, True)
    silent = bus.nodes.pop("b")  # alive, but hears no message
    for command in ("LOCK", "UNLOCK"):
        assert bus.nodes["a"].on_command(L, command)
    now[0] = 14.0
    bus.nodes["a"].tick()
    assert bus.results() == []
    now[0] = 15.0
    bus.nodes["a"].tick()
    bus.nodes["b"] = silent
    bus.kill("b")
    assert [(r["command"], r["kind"]) for r in bus.results()] == [("LOCK", "unreachable"), ("UNLOCK", "unreachable")]
    # Now nobody online is configured for it: one answer each, and the lock is said to be offline.
    assert bus.nodes["a"].on_command(L, "LOCK") and not bus.nodes["a"].on_command("000000000000", "LOCK")
    assert bus.results()[-1]["message"] == "no bridge online serves this lock"
    assert (f"quovel/{L}/availability", "offline") in bus.sent


def test_results_after_a_dropped_connection() -> None:
    bus = Bus("a", "b")
    a = bus.nodes["a"]
    a.report(L, True, True)
    assert a.on_command(L, "LOCK")
    taken = bus.served[-1][3]
    a.disconnected()
    a.connected()
    # b answered it when our Will came: ours would be a second result.
    assert not a.may_answer(taken) and a.may_answer(None)
    assert a.on_command(L, "UNLOCK") and a.may_answer(bus.served[-1][3])
